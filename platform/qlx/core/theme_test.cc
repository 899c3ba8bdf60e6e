// Theme lists as a consumer walks them (a bounded reader), hop lists and theme building.
#include "theme.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <optional>

#include "broker_test_util.h"
#include "errors.h"

namespace qlx::test {
namespace {

// Reads words and names of a theme list, never past its end.
class ListReader {
 public:
  ListReader(const void* data, size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
  std::optional<uint32_t> word(size_t at) const {
    if (at > size_ || size_ - at < 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, data_ + at, 4);
    return v;
  }
  // A NUL-terminated name inside [at, limit).
  std::optional<std::string> name(size_t at, size_t limit) const {
    if (limit > size_ || at >= limit) return std::nullopt;
    const void* nul = std::memchr(data_ + at, 0, limit - at);
    if (!nul) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data_ + at),
                       static_cast<const unsigned char*>(nul) - (data_ + at));
  }
  // Offset of the data of the first item of `type`.
  std::optional<size_t> item(uint32_t type, uint32_t* length) const {
    auto count = word(8);
    size_t at = kListHeader;
    for (uint32_t i = 0; count && i < *count; ++i) {
      auto t = word(at + 8), n = word(at + 12);
      if (!t || !n || *n > size_ - at - kItemHeader) return std::nullopt;
      if (*t == type) {
        *length = *n;
        return at + kItemHeader;
      }
      at += kItemHeader + ((static_cast<size_t>(*n) + 3) & ~size_t{3});
    }
    return std::nullopt;
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

Theme chain() {
  Theme t;
  t.id = newThemeId();
  t.origin = "client:C1";
  t.hops = {{kHopBusinessComponent, "E"}, {kHopClient, "C1"}, {kHopNative, "N"}};
  return t;
}

TEST(ThemeList, ThemeIdQueryHoldsOneItemOfType1) {
  Theme t = chain();
  std::vector<unsigned char> list;
  ASSERT_TRUE(renderThemeList(t, kQlxQueryThemeId, list));
  ListReader r(list.data(), list.size());
  EXPECT_EQ(r.word(8), 1u);
  uint32_t length = 0;
  auto at = r.item(kQlxItemThemeId, &length);
  ASSERT_TRUE(at);
  ASSERT_EQ(length, 24u);
  EXPECT_EQ(std::memcmp(&list[*at], t.id.data(), 24), 0);
  EXPECT_EQ(r.word(0), list.size());
  EXPECT_FALSE(renderThemeList(t, 2, list));
}

TEST(ThemeList, WorkflowItemGivesFollowingHopsAndNextHopRecord) {
  struct Case {
    int32_t position;
    uint32_t following;
    uint32_t type;
    size_t nameAt;
    const char* name;
  } cases[] = {
      {0, 2, kHopClient, kHopClientName, "C1"},
      {1, 1, kHopNative, kHopNativeName, "N"},
      {2, 0, 0, kHopComponentName, ""},
  };
  for (const Case& c : cases) {
    Theme t = chain();
    t.position = c.position;
    std::vector<unsigned char> list;
    ASSERT_TRUE(renderThemeList(t, kQlxQueryWorkflow, list));
    ListReader r(list.data(), list.size());
    uint32_t length = 0;
    auto data = r.item(kQlxItemWorkflow, &length);
    ASSERT_TRUE(data);
    ASSERT_GE(length, kWorkflowNextHop + kHopRecordSize);
    EXPECT_EQ(r.word(*data + kWorkflowFollowing), c.following) << c.position;
    const size_t next = *data + kWorkflowNextHop;
    EXPECT_EQ(r.word(next), c.type);
    EXPECT_EQ(r.name(next + c.nameAt, next + c.nameAt + kQlxNameLength + 1), c.name);
  }
}

TEST(ThemeList, ComponentNameIsCutTo132AndTerminated) {
  Theme t = chain();
  t.hops[1] = Hop{kHopBusinessComponent, std::string(200, 'Z')};
  std::vector<unsigned char> list;
  ASSERT_TRUE(renderThemeList(t, kQlxQueryWorkflow, list));
  ListReader r(list.data(), list.size());
  uint32_t length = 0;
  auto data = r.item(kQlxItemWorkflow, &length);
  ASSERT_TRUE(data);
  const size_t name = *data + kWorkflowNextHop + kHopComponentName;
  EXPECT_EQ(r.name(name, name + kQlxNameLength + 1), std::string(132, 'Z'));
}

TEST(Hops, EncodingRoundTripsAndRejectsTruncation) {
  std::vector<Hop> hops = {{1, "E"}, {100, ""}, {4, std::string(300, 'n')}};
  std::string data = encodeHops(hops);
  std::vector<Hop> back;
  ASSERT_TRUE(decodeHops(data, back));
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2].name, hops[2].name);
  for (size_t cut : {size_t{1}, size_t{7}, data.size() - 1})
    EXPECT_FALSE(decodeHops(std::string_view(data).substr(0, data.size() - cut), back)) << cut;
  data[4] = '\xFF';  // a name length far beyond the data
  EXPECT_FALSE(decodeHops(data, back));
}

TEST(Hops, BuildInsertsOrReplacesAfterTheCurrentHop) {
  Theme t = chain();
  std::vector<Hop> svc = {{kHopBusinessComponent, "G"}};
  Theme inserted = buildTheme(t, svc, kQlxBuildInsert);
  ASSERT_EQ(inserted.hops.size(), 4u);
  EXPECT_EQ(inserted.hops[1].name, "G");
  EXPECT_EQ(inserted.hops[2].name, "C1");
  EXPECT_EQ(inserted.id, t.id);
  Theme replaced = buildTheme(t, svc, kQlxBuildReplace);
  ASSERT_EQ(replaced.hops.size(), 2u);
  EXPECT_EQ(replaced.following(), 1);
}

TEST(Hops, ThemeTableDropsTheOldestBeyondItsLimit) {
  ThemeTable table(2);
  QLXHANDLE a = table.add(chain()), b = table.add(chain());
  EXPECT_TRUE(table.close(a));
  EXPECT_FALSE(table.close(a));
  QLXHANDLE c = table.add(chain()), d = table.add(chain());
  EXPECT_EQ(table.find(b), nullptr);
  EXPECT_NE(table.find(c), nullptr);
  EXPECT_NE(table.find(d), nullptr);
  EXPECT_EQ(table.size(), 2u);
}

// The list the C interface hands out walks the same way, and is released once.
using ThemeQuery = BrokerTest;

TEST_F(ThemeQuery, QueryThroughTheInterface) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "CHAIN", "q");
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  QLXBUFFER list{};
  ASSERT_EQ(qlxQueryTheme(e, got.theme, kQlxQueryWorkflow, &list), 1);
  EXPECT_EQ(list.Owned, 1u);
  ListReader r(list.Data, list.Length);
  uint32_t length = 0;
  auto id = r.item(kQlxItemThemeId, &length);
  ASSERT_TRUE(id);
  EXPECT_EQ(std::memcmp(static_cast<char*>(list.Data) + *id, got.msg.CorrelId, 24), 0);
  auto data = r.item(kQlxItemWorkflow, &length);
  ASSERT_TRUE(data);
  EXPECT_EQ(r.word(*data + kWorkflowFollowing), 2u);
  const size_t next = *data + kWorkflowNextHop;
  EXPECT_EQ(r.word(next), static_cast<uint32_t>(kHopBusinessComponent));
  EXPECT_EQ(r.name(next + kHopComponentName, next + kHopRecordSize), "F");
  ASSERT_EQ(qlxFreeBuffer(e, &list), 1);
  EXPECT_EQ(list.Data, nullptr);
  EXPECT_EQ(qlxQueryTheme(e, got.theme, 3, &list), 0);
  EXPECT_EQ(qlxQueryTheme(e, 77, 1, &list), 0);
}


// Ids carry a per-process salt drawn once: a child after fork must still make ids of its own
// (its process id and a fresh salt), never one its parent made or makes.
TEST(ThemeIds, UniqueWithinAProcessAndAcrossFork) {
  std::set<std::string> seen;
  auto make = [](int n, int fd) {
    for (int i = 0; i < n; ++i) {
      const ThemeId id = newThemeId();
      if (write(fd, id.data(), id.size()) != static_cast<ssize_t>(id.size())) return false;
    }
    return true;
  };
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  const ThemeId before = newThemeId();  // the parent's salt exists before the fork
  seen.insert(std::string(reinterpret_cast<const char*>(before.data()), before.size()));
  const pid_t child = fork();
  if (child == 0) _exit(make(500, pipes[1]) ? 0 : 1);
  ASSERT_TRUE(make(500, pipes[1]));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  close(pipes[1]);
  ThemeId id{};
  std::set<std::string> salts;
  while (read(pipes[0], id.data(), id.size()) == static_cast<ssize_t>(id.size())) {
    seen.insert(std::string(reinterpret_cast<const char*>(id.data()), id.size()));
    salts.insert(std::string(reinterpret_cast<const char*>(id.data()) + 16, 8));
  }
  close(pipes[0]);
  EXPECT_EQ(seen.size(), 1001u);
  EXPECT_EQ(salts.size(), 2u);  // the child drew its own
}

}  // namespace
}  // namespace qlx::test
