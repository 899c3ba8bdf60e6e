// Power loss at every write and sync of a scripted broker workload. The workload runs once
// on a real home through the recording VFS; then, for each crash point, several crash
// images are built and opened as a broker would open them. Each must open, pass
// SQLite's integrity check, and hold a state the callers were allowed to see: in FULL
// every acknowledged commit whole; in NORMAL the state after some prefix of the commits
// that is no shorter than what the last sync covered; never a unit half applied, never a
// message twice. QLX_CRASH_IMAGES sets the images per crash point (default 3: nothing
// written back, everything, one random mix) and QLX_CRASH_ROUNDS the workload's rounds
// (default 2, 1 under the sanitizers); a failing image is kept under /tmp/qlxcrash-kept, its folder named in the
// failure, to become a regression case.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <unistd.h>

#include "broker_test_util.h"
#include "connection.h"
#include "crashcheck.h"
#include "crashimage.h"
#include "crashvfs.h"

namespace qlx::crashsim {
namespace {

enum MarkKind : int { kStep = 1, kAck = 2, kPhaseStart = 3, kPhaseEnd = 4 };

class CrashTest : public test::BrokerTest {
 protected:
  static void SetUpTestSuite() { install(); }

  void TearDown() override {
    unsetenv("QLX_SYNC");
    test::BrokerTest::TearDown();
  }

  // Opens the workload's connections (before recording: their rows are in the base).
  void connect(bool full) {
    if (full) setenv("QLX_SYNC", "FULL", 1);
    c1_ = client("C1");
    c2_ = client("C2");
    e1_ = element("E");
    e2_ = element("E");
    sql("PRAGMA wal_checkpoint(TRUNCATE)");
    base_ = snapshotHome(home_);
    expect_.steps.emplace_back(0, readState(store_.sql().db()));
    startRecording(home_);
  }

  // One step of the workload: at most one commit, then its mark and the state it left.
  void step(const std::function<void()>& work) {
    work();
    const size_t at = mark(kStep, "");
    expect_.steps.emplace_back(at, readState(store_.sql().db()));
    side_[at] = snapshotHome(home_, false);
  }

  void sendStep(QLXHANDLE client, const char* service, const std::string& body) {
    step([&] { send(client, service, body); });
  }
  // The element takes the next request and passes it on (or, at the end of its workflow,
  // only consumes it), in one unit; `rollBackFirst` rolls the first take back.
  void serveStep(QLXHANDLE element, bool forwardIt, bool rollBackFirst = false) {
    if (rollBackFirst)
      step([&] {
        test::Got got;
        ASSERT_EQ(getRequest(element, got), 1);
        ASSERT_EQ(rollback(element), 1);
      });
    step([&] {
      test::Got got;
      ASSERT_EQ(getRequest(element, got), 1);
      if (forwardIt) {
        ASSERT_EQ(forward(element, got), 1);
      }
      ASSERT_EQ(commit(element), 1);
    });
  }
  void receiveStep(QLXHANDLE client) {
    step([&] {
      test::Got got;
      ASSERT_EQ(getResponse(client, got, 0), 1);
      ASSERT_EQ(commit(client), 1);
    });
  }

  // Several committers at once, each on its own connection: their commits share syncs.
  void concurrentPhase(int threads, int each) {
    std::vector<QLXHANDLE> clients;
    for (int t = 0; t < threads; ++t) clients.push_back(client("C2"));
    const size_t start = mark(kPhaseStart, "");
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
      running.emplace_back([&, t] {
        for (int j = 0; j < each; ++j) {
          const std::string tag = "g" + std::to_string(t) + "_" + std::to_string(j);
          send(clients[static_cast<size_t>(t)], "ONEHOP", tag);
          acksOf(mark(kAck, tag), tag);
        }
      });
    for (std::thread& t : running) t.join();
    const size_t end = mark(kPhaseEnd, "");
    expect_.phases.emplace_back(start, end);
    expect_.steps.emplace_back(end, readState(store_.sql().db()));
    side_[end] = snapshotHome(home_, false);
  }

  void acksOf(size_t at, const std::string& tag) {
    std::lock_guard<std::mutex> lock(acksMutex_);
    expect_.acks.emplace_back(at, tag);
  }

  // The scripted units, `rounds` times: puts, takes, a rollback and the redelivery after
  // it, checkpoints (the next commit restarts the WAL), a put final at once, a commit of
  // more than 1 MiB, concurrent committers (FULL), and a unit left open at the end.
  void workload(bool full, int rounds) {
    for (int r = 0; r < rounds; ++r) {
      const std::string round = std::to_string(r) + "_";
      for (int i = 0; i < 4; ++i)
        sendStep(i % 2 ? c2_ : c1_, "ECHO", "m" + round + std::to_string(i));
      serveStep(e1_, true);
      serveStep(e2_, true, true);
      receiveStep(c1_);
      step([&] {
        sql(r % 2 ? "PRAGMA wal_checkpoint(TRUNCATE)" : "PRAGMA wal_checkpoint(PASSIVE)");
      });
      serveStep(e1_, true);
      receiveStep(c2_);
      serveStep(e2_, true);
      receiveStep(c1_);
      receiveStep(c2_);
      step([&] { send(c1_, "ONEHOP", "now" + round, 0); });
      serveStep(e2_, false);
      if (r == 0) {
        sendStep(c2_, "ONEHOP", "big" + std::string(1200 * 1024, 'x'));
        serveStep(e1_, false);
      }
    }
    if (full) concurrentPhase(3, 4);
    sendStep(c1_, "ONEHOP", "last");
    step([&] {
      test::Got got;
      ASSERT_EQ(getRequest(e1_, got), 1);  // left open: the crash rolls it back
    });
  }

  void explore(bool full, const char* name) {
    connect(full);
    workload(full, rounds());
    Trace trace = stopRecording();
    ASSERT_FALSE(HasFatalFailure());
    CrashImages images(base_, std::move(trace), side_);
    const ExploreResult result = exploreAll(images, expect_, full, imageFolder(), name);
    std::printf("%s: %zu crash points, %zu images\n", name, result.points, result.images);
    EXPECT_EQ(result.failures, 0u) << result.firstFailure;
  }

  // QLX_CRASH_ROUNDS: rounds of the workload (default 2; 1 under the sanitizers, which
  // make each image some ten times dearer).
  static int rounds() {
    const char* setting = std::getenv("QLX_CRASH_ROUNDS");
    if (setting && std::atoi(setting) > 0) return std::atoi(setting);
#ifdef __SANITIZE_ADDRESS__
    return 1;
#else
    return 2;
#endif
  }

  // Images are written and opened by the thousand: in memory when the machine has a tmpfs.
  std::string imageFolder() const {
    const std::string leaf = home_.substr(home_.rfind('/') + 1) + ".img";
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm/" + leaf : home_ + ".img";
  }

  QLXHANDLE c1_ = 0, c2_ = 0, e1_ = 0, e2_ = 0;
  Files base_;
  std::map<size_t, Files> side_;
  Expectation expect_;
  std::mutex acksMutex_;
};

// NORMAL does not sync a commit, but the WAL keeper does within the stated interval: a
// commit acknowledged longer ago than that survives a crash that writes nothing back.
TEST_F(CrashTest, NormalLosesNothingOlderThanTheSyncInterval) {
  connect(false);
  sendStep(c1_, "ONEHOP", "kept");
  const size_t acknowledged = expect_.steps.back().first;
  usleep(3 * kSyncIntervalMillis * 1000);
  const size_t later = mark(kStep, "");
  CrashImages images(base_, stopRecording(), side_);
  const auto synced = images.syncedBefore("broker.db-wal", later);
  ASSERT_TRUE(synced.has_value());
  EXPECT_GT(*synced, acknowledged);
  std::mt19937_64 random(1);
  const Files files = images.image(later + 1, Fate::kNoneWritten, random);
  const std::string folder = imageFolder();
  ASSERT_EQ(checkImage(files, later + 1, images, expect_, true, folder), "");
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

TEST_F(CrashTest, FullKeepsEveryAcknowledgedCommit) { explore(true, "full"); }
TEST_F(CrashTest, NormalKeepsAPrefixOfTheCommits) { explore(false, "normal"); }

}  // namespace
}  // namespace qlx::crashsim
