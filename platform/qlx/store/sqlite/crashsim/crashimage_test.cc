// What the crash images make of a trace: which changes a crash keeps when nothing more
// reached the disk and when everything did. A wrong rule here would make the crash tests
// pass on images no disk can hold, or miss images it can.
#include "crashimage.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qlx::crashsim {
namespace {

Op write(int file, const std::string& bytes, int64_t offset = 0) {
  return Op{OpKind::kWrite, file, offset, bytes};
}
Op sync(int file, size_t cover) { return Op{OpKind::kSync, file, static_cast<int64_t>(cover), ""}; }
Op create(int file) { return Op{OpKind::kCreate, file, 0, ""}; }
Op remove(int file) { return Op{OpKind::kDelete, file, 0, ""}; }
Op dirSync(int file) { return Op{OpKind::kDirSync, file, 0, ""}; }

struct Case {
  const char* name;
  Files base;
  std::vector<Op> ops;  // on the files "a" (0) and "b" (1)
  // The content of "a" after a crash at the end: nothing more written back, everything.
  std::optional<std::string> none;
  std::optional<std::string> all;
};

TEST(CrashImages, WhatACrashAtTheEndLeaves) {
  const std::vector<Case> cases = {
      {"a synced write is durable", {{"a", "old"}}, {write(0, "new"), sync(0, 1)}, "new", "new"},
      {"a sync covers no write made while it ran",
       {{"a", "old"}},
       {write(0, "new"), sync(0, 0)},
       "old",
       "new"},
      {"an unsynced removal may be undone", {{"a", "old"}}, {remove(0)}, "old", std::nullopt},
      {"a removal is durable once its folder is synced",
       {{"a", "old"}},
       {remove(0), dirSync(1)},
       std::nullopt,
       std::nullopt},
      {"a removed file comes back as the disk held it",
       {{"a", "old"}},
       {write(0, "mid"), sync(0, 1), write(0, "new"), remove(0)},
       "mid",
       std::nullopt},
      {"a new file may be missing until its folder is synced",
       {},
       {create(0), write(0, "new"), sync(0, 2)},
       std::nullopt,
       "new"},
      {"a new file stays once its folder is synced",
       {},
       {create(0), write(0, "new"), sync(0, 2), dirSync(0)},
       "new",
       "new"},
      {"a file written while missing was made since", {}, {write(0, "side")}, std::nullopt, "side"},
      {"a file made again after an unsynced removal may be the old one",
       {{"a", "old"}},
       {remove(0), create(0), write(0, "new"), sync(0, 3)},
       "old",
       "new"},
      {"a removal of a file whose entry never was durable leaves nothing",
       {},
       {create(0), write(0, "new"), sync(0, 2), remove(0)},
       std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    Trace trace{{"a", "b"}, c.ops};
    const CrashImages images(c.base, trace, {});
    std::mt19937_64 random(1);
    for (const auto& [fate, want] : {std::pair{Fate::kNoneWritten, c.none},
                                     std::pair{Fate::kAllWritten, c.all}}) {
      const Files files = images.image(c.ops.size(), fate, random);
      const auto found = files.find("a");
      const std::optional<std::string> got =
          found == files.end() ? std::nullopt : std::optional<std::string>(found->second);
      EXPECT_EQ(got, want) << c.name << (fate == Fate::kNoneWritten ? " (nothing written)"
                                                                     : " (all written)");
    }
  }
}

// Torn writes: each 512-byte sector of an unsynced write is there whole or not at all.
TEST(CrashImages, ATornWriteKeepsWholeSectors) {
  const std::string before(1024, 'o');
  Trace trace{{"a"}, {write(0, std::string(1024, 'n'))}};
  const CrashImages images({{"a", before}}, trace, {});
  bool mixed = false;
  for (uint64_t seed = 0; seed < 64; ++seed) {
    std::mt19937_64 random(seed);
    const std::string got = images.image(1, Fate::kRandom, random).at("a");
    ASSERT_EQ(got.size(), 1024u);
    for (size_t sector = 0; sector < 2; ++sector) {
      const std::string part = got.substr(sector * 512, 512);
      EXPECT_TRUE(part == std::string(512, 'o') || part == std::string(512, 'n')) << seed;
    }
    mixed = mixed || got[0] != got[512];
  }
  EXPECT_TRUE(mixed) << "no image tore the write";
}

TEST(CrashImages, SyncedBeforeIsTheCoverOfTheLastSync) {
  Trace trace{{"a"}, {write(0, "x"), write(0, "y"), sync(0, 1), write(0, "z"), sync(0, 4)}};
  const CrashImages images({}, trace, {});
  EXPECT_EQ(images.syncedBefore("a", 2), std::nullopt);
  EXPECT_EQ(images.syncedBefore("a", 3), std::optional<size_t>(1));
  EXPECT_EQ(images.syncedBefore("a", 5), std::optional<size_t>(4));
  EXPECT_EQ(images.syncedBefore("b", 5), std::nullopt);
}

}  // namespace
}  // namespace qlx::crashsim
