// Entries kept between gets: what the generation word lets a connection serve again, and
// that an edit through another connection of the home reaches the next get.
#include "directory_cache.h"

#include <map>
#include <memory>
#include <optional>

#include "directory_test_util.h"

namespace qlx::testing {
namespace {

// A directory behind a lookup that counts its reads and can be made to fail.
class FakeDirectory {
 public:
  DirectoryLookup lookup() {
    return [this](int type, const std::string& name, DirectoryRead& read) {
      ++reads;
      if (failNext) {
        failNext = false;
        read.failure = "disk on fire";
        return -1;
      }
      auto found = entries.find({type, name});
      if (found == entries.end()) return 0;
      read.first = {found->second};
      return 1;
    };
  }
  std::map<std::pair<int, std::string>, std::string> entries{{{14, "D"}, "v1"}};
  int reads = 0;
  bool failNext = false;
};

// One step of a case: what is done, and for a get what it must answer.
enum class Do { kGet, kGetMissing, kGetFails, kBegin, kBegin2, kEnd, kEnd2, kChange, kKillEditor };
struct Step {
  Do what;
  int readsAfter;  // the inner lookup's reads counted after the step
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"kept while nothing is edited", {{Do::kGet, 1}, {Do::kGet, 1}, {Do::kGet, 1}}},
    {"an edit reaches the next get",
     {{Do::kGet, 1}, {Do::kBegin, 1}, {Do::kChange, 1}, {Do::kEnd, 1}, {Do::kGet, 2},
      {Do::kGet, 2}}},
    {"read again while an edit is under way",
     {{Do::kGet, 1}, {Do::kBegin, 1}, {Do::kGet, 2}, {Do::kGet, 3}, {Do::kEnd, 3},
      {Do::kGet, 4}, {Do::kGet, 4}}},
    {"an edit that failed still moves the word",
     {{Do::kGet, 1}, {Do::kBegin, 1}, {Do::kEnd, 1}, {Do::kGet, 2}}},
    {"an editor that died leaves every get reading until the next edit",
     {{Do::kGet, 1}, {Do::kKillEditor, 1}, {Do::kChange, 1}, {Do::kGet, 2}, {Do::kGet, 3},
      {Do::kBegin, 3}, {Do::kEnd, 3}, {Do::kGet, 4}, {Do::kGet, 4}}},
    {"the first edit's end leaves the word odd while a second one runs",
     {{Do::kBegin, 0}, {Do::kBegin2, 0}, {Do::kEnd, 0}, {Do::kGet, 1}, {Do::kChange, 1},
      {Do::kGet, 2}, {Do::kEnd2, 2}, {Do::kGet, 3}, {Do::kGet, 3}}},
    {"a missing entry is kept", {{Do::kGetMissing, 1}, {Do::kGetMissing, 1}}},
    {"a failed read is not kept",
     {{Do::kGetFails, 1}, {Do::kGet, 2}, {Do::kGet, 2}}},
};

TEST(DirectoryCache, GenerationWordDecidesWhatIsReadAgain) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeDirectory fake;
    std::atomic<uint32_t> word{0};
    DirectoryLookup cached = cachingLookup(fake.lookup(), &word);
    std::optional<DirectoryEditMark> first, second;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      DirectoryRead read;
      switch (c.steps[i].what) {
        case Do::kGet:
          ASSERT_EQ(cached(14, "D", read), 1);
          ASSERT_EQ(read.first.size(), 1u);
          EXPECT_EQ(read.first[0], (fake.entries[{14, "D"}]));
          break;
        case Do::kGetMissing: EXPECT_EQ(cached(14, "X", read), 0); break;
        case Do::kGetFails:
          fake.failNext = true;
          EXPECT_EQ(cached(14, "D", read), -1);
          break;
        case Do::kBegin: first.emplace(word); break;
        case Do::kBegin2: second.emplace(word); break;
        case Do::kEnd: first.reset(); break;
        case Do::kEnd2: second.reset(); break;
        case Do::kChange: fake.entries[std::make_pair(14, std::string("D"))] += "+"; break;
        case Do::kKillEditor: word.store(word.load() + 3); break;  // marked, never ended
      }
      EXPECT_EQ(fake.reads, c.steps[i].readsAfter);
    }
  }
}

// Types are told apart, and past the bound the cache starts over rather than growing.
TEST(DirectoryCache, KeysAndBound) {
  FakeDirectory fake;
  fake.entries[{2, "D"}] = "element";
  std::atomic<uint32_t> word{0};
  DirectoryLookup cached = cachingLookup(fake.lookup(), &word);
  DirectoryRead a, b;
  ASSERT_EQ(cached(14, "D", a), 1);
  ASSERT_EQ(cached(2, "D", b), 1);
  EXPECT_EQ(a.first[0], "v1");
  EXPECT_EQ(b.first[0], "element");
  for (size_t i = 0; i <= kDirectoryCacheEntries; ++i) {
    DirectoryRead read;
    EXPECT_EQ(cached(14, "N" + std::to_string(i), read), 0);
  }
  const int reads = fake.reads;
  DirectoryRead again;
  ASSERT_EQ(cached(14, "D", again), 1);
  EXPECT_EQ(again.first[0], "v1");
  EXPECT_EQ(fake.reads, reads + 1);
}

// Two connections of one home, as a component and qlxadm are: an edit through one reaches
// the other's next get, whatever that connection read before.
class DirectoryCacheAcrossStores : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(command({"load", writeFile("d.toml", kSmallDirectory)}), 0) << err_.str();
    server_ = makeStore();
    std::string error;
    ASSERT_TRUE(server_->open(error)) << error;
    directory_ = server_->directory();
  }
  void TearDown() override {
    directory_.reset();
    server_.reset();
    DirectoryTest::TearDown();
  }
  std::string first(const char* record, const char* key) {
    qlxDictionary entry;
    if (!directory_->get(nullptr, record, qlxEntryDictionary, entry, nullptr)) return "(none)";
    const char* value = entry.getEntryValue(key);
    return value ? value : "(no pair)";
  }

  std::unique_ptr<BrokerStore> server_;
  std::unique_ptr<qlxDirInterface> directory_;
};

TEST_F(DirectoryCacheAcrossStores, EditReachesTheNextGet) {
  ASSERT_EQ(first("ZVRBroker", "ORDERS C1"), "upper -oe1s");
  ASSERT_EQ(first("ZVRBroker", "ORDERS C1"), "upper -oe1s");
  ASSERT_EQ(command({"set", "ZVRBroker", "ORDERS C1", "lower"}), 0) << err_.str();
  EXPECT_EQ(first("ZVRBroker", "ORDERS C1"), "lower");
  ASSERT_EQ(command({"set", "ZVRBroker", "NEW C1", "x"}), 0) << err_.str();
  EXPECT_EQ(first("ZVRBroker", "NEW C1"), "x");
  ASSERT_EQ(command({"delete", "dictionary", "ZVRBroker"}), 0) << err_.str();
  EXPECT_EQ(first("ZVRBroker", "ORDERS C1"), "(none)");
  ASSERT_EQ(command({"load", writeFile("d2.toml", kSmallDirectory)}), 0) << err_.str();
  EXPECT_EQ(first("ZVRBroker", "ORDERS C1"), "upper -oe1s");
}

}  // namespace
}  // namespace qlx::testing
