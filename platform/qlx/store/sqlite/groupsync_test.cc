// The shared sync: processes committing at once share syncs, none returns before a sync
// that began after its commit, a failed sync is reported to its caller, and a syncing
// process that dies leaves the others able to go on.
#include "groupsync.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <thread>
#include <vector>

namespace qlx {
namespace {

// Shared between the test's processes: the two counters, the syncs made, and a check that
// every commit was covered by a sync that began after it.
struct Shared {
  std::atomic<uint32_t> commits{0};
  std::atomic<uint32_t> synced{0};
  std::atomic<uint32_t> syncs{0};
  std::atomic<uint32_t> uncovered{0};
};

class GroupSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    shared_ = new (page) Shared;
    char pattern[] = "/tmp/qlxgroupsync.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    munmap(shared_, sizeof(Shared));
    std::filesystem::remove_all(dir_);
  }

  // In a child: `commits` commits, each awaiting the shared sync (a 5 ms stand-in that
  // fails with `failWith` when set, or kills its process at the sync numbered `dieAt`).
  int committer(int commits, int failWith = SQLITE_OK, uint32_t dieAt = 0) {
    GroupSync group;
    if (!group.open(dir_ + "/control", &shared_->commits, &shared_->synced)) return 2;
    for (int i = 0; i < commits; ++i) {
      const uint32_t counted = shared_->commits.load() + 1;  // at least this one's number
      const int rc = group.awaitSync([&] {
        const uint32_t number = ++shared_->syncs;
        if (number == dieAt) raise(SIGKILL);
        usleep(5000);
        return failWith;
      });
      if (rc != failWith) return 3;
      if (rc == SQLITE_OK && static_cast<int32_t>(shared_->synced.load() - counted) < 0)
        ++shared_->uncovered;
    }
    return 0;
  }

  int run(int processes, int commits, uint32_t dieAt = 0) {
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      const pid_t pid = fork();
      if (pid == 0) _exit(committer(commits, SQLITE_OK, dieAt));
      children.push_back(pid);
    }
    int killed = 0;
    for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      if (WIFSIGNALED(status)) ++killed;
      else if (WEXITSTATUS(status) != 0) return -1;
    }
    return killed;
  }

  Shared* shared_ = nullptr;
  std::string dir_;
};

TEST_F(GroupSyncTest, ConcurrentCommitsShareSyncsAndEachIsCovered) {
  ASSERT_EQ(run(4, 25), 0);
  EXPECT_EQ(shared_->commits.load(), 100u);
  EXPECT_EQ(shared_->uncovered.load(), 0u);
  EXPECT_EQ(shared_->synced.load(), 100u);
  EXPECT_LT(shared_->syncs.load(), 100u);  // four committers, 5 ms syncs: they must meet
}

TEST_F(GroupSyncTest, ASyncerThatDiesLeavesTheOthersGoing) {
  EXPECT_EQ(run(3, 20, 5), 1);  // the fifth sync kills its process
  EXPECT_EQ(shared_->uncovered.load(), 0u);
  EXPECT_EQ(static_cast<int32_t>(shared_->synced.load() - shared_->commits.load()), 0);
}

TEST_F(GroupSyncTest, AFailedSyncIsReportedAndCoversNothing) {
  EXPECT_EQ(committer(2, SQLITE_IOERR_FSYNC), 0);
  EXPECT_EQ(shared_->synced.load(), 0u);
  EXPECT_EQ(committer(1), 0);  // the next sync covers the earlier commits too
  EXPECT_EQ(shared_->synced.load(), 3u);
}

// The kernel may drop what a failed sync was to write, so a later sync that succeeds
// cannot vouch for it: every commit counted before the failed sync began fails, also the
// one whose syncer comes next.
TEST_F(GroupSyncTest, EveryCommitAFailedSyncCoveredFails) {
  std::atomic<uint32_t> failed{0};
  // Hold the syncer's lock (the byte past the control page) until both commits are counted.
  int holder = open((dir_ + "/control").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(holder, 0);
  flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 1 << 20;
  lock.l_len = 1;
  ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &lock), 0);
  std::atomic<bool> failedOnce{false};
  std::atomic<int> laterSyncs{0};
  int results[2] = {-1, -1};
  std::vector<std::thread> committers;
  for (int i = 0; i < 2; ++i)
    committers.emplace_back([&, i] {
      GroupSync group;
      if (!group.open(dir_ + "/control", &shared_->commits, &shared_->synced, &failed)) return;
      results[i] = group.awaitSync([&] {
        if (!failedOnce.exchange(true)) return SQLITE_IOERR_FSYNC;
        ++laterSyncs;
        return SQLITE_OK;
      });
    });
  while (shared_->commits.load() < 2) usleep(100);
  lock.l_type = F_UNLCK;
  fcntl(holder, F_OFD_SETLK, &lock);
  for (std::thread& t : committers) t.join();
  close(holder);
  EXPECT_EQ(results[0], SQLITE_IOERR_FSYNC);
  EXPECT_EQ(results[1], SQLITE_IOERR_FSYNC);
  EXPECT_EQ(laterSyncs.load(), 0);
  GroupSync later;
  ASSERT_TRUE(later.open(dir_ + "/control", &shared_->commits, &shared_->synced, &failed));
  EXPECT_EQ(later.awaitSync([] { return SQLITE_OK; }), SQLITE_OK);  // a later commit is fine
}

// The control page as a power loss may leave it: its words written back at different
// moments. A commit after the restart is acknowledged only after a sync of its own, and a
// sync that succeeds is never reported failed, whatever the words say.
TEST_F(GroupSyncTest, ACommitAfterATornControlPageStillSyncs) {
  struct Case {
    const char* what;
    uint32_t commits, synced, failed;
  } cases[] = {
      {"sound", 5, 5, 0},
      {"synced ahead of the commits", 5, 9, 0},
      {"a failure ahead of the commits", 5, 5, 9},
      {"both ahead", 2, 7, 6},
      {"synced ahead across the wrap", 0xfffffffeu, 3, 0},
      {"failure behind, as after a failed sync long ago", 9, 9, 4},
      {"synced far behind (reads as behind, not ahead)", 0x10, 0x90000000u, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    shared_->commits = c.commits;
    shared_->synced = c.synced;
    std::atomic<uint32_t> failed{c.failed};
    GroupSync group;
    ASSERT_TRUE(group.open(dir_ + "/control", &shared_->commits, &shared_->synced, &failed));
    int syncs = 0;
    EXPECT_EQ(group.awaitSync([&] { return ++syncs, SQLITE_OK; }), SQLITE_OK);
    EXPECT_EQ(syncs, 1);
    EXPECT_EQ(group.awaitSync([&] { return ++syncs, SQLITE_OK; }), SQLITE_OK);
    EXPECT_EQ(syncs, 2) << "a second commit, too, has a sync of its own";
  }
}

}  // namespace
}  // namespace qlx
