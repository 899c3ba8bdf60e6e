// Power loss at every write and sync of a scripted broker workload. The workload runs once
// on a real home through the recording VFS (threads and forked processes of it adding to
// one trace); then, for each crash point, several crash images are built and opened as a
// broker would open them after a restart. Each must open, pass SQLite's integrity check,
// and hold a state the callers were allowed to see: in FULL every acknowledged commit
// whole; in NORMAL the state after some prefix of the commits that is no shorter than what
// the last sync covered; never a unit half applied, never a message twice; recovery must
// end every connection of before the crash and raise no backout count of a message nobody
// held. Knobs: QLX_CRASH_IMAGES images per crash point (default 3: nothing written back,
// everything, one random mix), QLX_CRASH_POINTS crash points explored (default 300 spread
// over the trace, 0 for all), QLX_CRASH_ROUNDS rounds of the workload (default 2, 1 under
// the sanitizers), QLX_CRASH_PROCESSES forked committers per round (default 3). A failing
// image is kept under /tmp/qlxcrash-kept, its folder named in the failure, to become a
// regression case.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "broker_test_util.h"
#include "connection.h"
#include "crashcheck.h"
#include "crashimage.h"
#include "crashvfs.h"
#include "errorqueue.h"

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
    std::string error;
    ASSERT_TRUE(admin_.open(error)) << error;  // in the mode of the workload
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
    if (rollBackFirst) rollbackStep(element);
    step([&] {
      test::Got got;
      ASSERT_EQ(getRequest(element, got), 1);
      if (forwardIt) {
        ASSERT_EQ(forward(element, got), 1);
      }
      ASSERT_EQ(commit(element), 1);
    });
  }
  void rollbackStep(QLXHANDLE element) {
    step([&] {
      test::Got got;
      ASSERT_EQ(getRequest(element, got), 1);
      ASSERT_EQ(rollback(element), 1);
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
  // `threads` of this process and `processes` forked ones; the first process also puts
  // and rolls back (those bodies must never be seen). Meanwhile this process checkpoints
  // the WAL over and over, racing the commits (and so restarting the WAL under them).
  void concurrentPhase(int threads, int processes, int each) {
    const std::string phase = "g" + std::to_string(expect_.phases.size()) + ".";
    std::vector<QLXHANDLE> clients;
    for (int t = 0; t < threads; ++t) clients.push_back(client("C2"));
    const size_t start = mark(kPhaseStart, "");
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      const pid_t pid = fork();
      if (pid == 0) _exit(committerProcess(phase + "p" + std::to_string(p), each, p == 0));
      children.push_back(pid);
    }
    std::atomic<int> running{threads};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        for (int j = 0; j < each; ++j) {
          const std::string tag = phase + std::to_string(t) + "_" + std::to_string(j);
          send(clients[static_cast<size_t>(t)], "SVC2", tag);
          mark(kAck, tag);
        }
        --running;
      });
    int left = processes;
    while (left > 0 || running.load() > 0) {
      sqlite3_exec(store_.sql().db(), "PRAGMA wal_checkpoint(PASSIVE)", nullptr, nullptr,
                   nullptr);
      usleep(3000);
      for (pid_t& pid : children) {
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) continue;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "committer " << status;
        pid = 0;
        --left;
      }
    }
    for (std::thread& t : workers) t.join();
    const size_t end = mark(kPhaseEnd, "");
    expect_.phases.emplace_back(start, end);
    BrokerState state = readState(store_.sql().db());
    // Every unit acknowledged in the phase is there, seen by this process's connection,
    // and none rolled back: the crash images are judged against this state.
    const auto ofPhase = [&](const std::string& entry) {
      return entry.find("|" + phase) != std::string::npos;
    };
    EXPECT_EQ(std::count_if(state.begin(), state.end(), ofPhase), (threads + processes) * each)
        << "the state after the phase:" << ::testing::PrintToString(state);
    expect_.steps.emplace_back(end, std::move(state));
    side_[end] = snapshotHome(home_, false);
  }

  // A forked committer: its own connection, `each` units of one put, each marked
  // acknowledged once its commit returned; `rollsBack` adds units rolled back. Its exit
  // status tells what failed (0: nothing).
  static int committerProcess(const std::string& name, int each, bool rollsBack) {
    QLXADDR addr = kQlxAddrDefault;
    test::setName(addr.Name, "C2");
    QLXHANDLE handle = 0;
    if (qlxClientInitialize(&addr, &handle) != 1) return 2;
    QLXSERVICE svc = kQlxServiceDefault;
    test::setName(svc.Name, "SVC2");  // to G, which nobody serves here
    QLXSYNC sync = test::syncOf(1);
    for (int j = 0; j < each; ++j) {
      for (int undo = 0; undo < (rollsBack && j % 2 ? 2 : 1); ++undo) {
        const std::string body = (undo ? "undone" : name + "_") + std::to_string(j);
        QLXMSG msg = kQlxMsgDefault;
        msg.MsgLength = static_cast<uint32_t>(body.size());
        msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
        QLXHANDLE theme = 0;
        if (qlxPutRequest(handle, &svc, &msg, nullptr, &sync, &theme) != 1) return 3;
        if (undo ? qlxRollback(handle, &sync) != 1 : qlxCommit(handle, &sync) != 1) return 4;
        if (!undo) mark(kAck, body);
      }
    }
    return qlxTerminate(&handle) == 1 ? 0 : 5;
  }

  // An entry on E's error queue, then an operator's resubmission, then E serves it.
  void errorQueueSteps(const std::string& round) {
    step([&] {
      MessageRow entry;
      entry.queue = "error:E";
      entry.body = "err" + round;
      entry.theme.hops = {{1, "E"}, {3, "C1"}};
      entry.error = ErrorInfo{42, 0, 0, "it failed", 1, 1, "E"};
      ASSERT_TRUE(admin_.put(entry));
    });
    step([&] {
      std::string error;
      ASSERT_EQ(resubmitErrors(admin_, {"E", std::nullopt}, error), 1) << error;
    });
    serveStep(e1_, false);
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
      rollbackStep(e2_);  // the rolled-back request waits on its queue a while
      step([&] {
        sql(r % 2 ? "PRAGMA wal_checkpoint(TRUNCATE)" : "PRAGMA wal_checkpoint(PASSIVE)");
      });
      serveStep(e2_, true, true);
      receiveStep(c1_);
      serveStep(e1_, true);
      receiveStep(c2_);
      serveStep(e2_, true);
      receiveStep(c1_);
      receiveStep(c2_);
      step([&] { send(c1_, "ONEHOP", "now" + round, 0); });
      serveStep(e2_, false);
      errorQueueSteps(round);
      concurrentPhase(1, processes(), 6);
      if (r == 0) {
        sendStep(c2_, "ONEHOP", "big" + std::string(1200 * 1024, 'x'));
        serveStep(e1_, false);
      }
    }
    if (full) concurrentPhase(3, 0, 4);
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
    for (size_t i = 0; i < trace.ops.size(); ++i)
      if (trace.ops[i].kind == OpKind::kMark && trace.ops[i].offset == kAck)
        expect_.acks.emplace_back(i, trace.ops[i].bytes);
    CrashImages images(base_, std::move(trace), side_);
    const ExploreResult result = exploreAll(images, expect_, full, imageFolder(), name);
    std::printf("%s: %zu crash points of %zu explored, %zu images (%zu distinct)\n", name,
                result.points, result.available, result.images, result.distinct);
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

  // QLX_CRASH_PROCESSES: forked committers in each mode (default 3).
  static int processes() {
    const char* setting = std::getenv("QLX_CRASH_PROCESSES");
    return setting && std::atoi(setting) > 0 ? std::atoi(setting) : 3;
  }

  // Images are written and opened by the thousand: in memory when the machine has a tmpfs.
  std::string imageFolder() const {
    const std::string leaf = home_.substr(home_.rfind('/') + 1) + ".img";
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm/" + leaf : home_ + ".img";
  }

  QLXHANDLE c1_ = 0, c2_ = 0, e1_ = 0, e2_ = 0;
  SqliteBrokerStore admin_;  // what an operator's tool opens
  Files base_;
  std::map<size_t, Files> side_;
  Expectation expect_;
};

// A home of its own, used by one forked process from its first connection to its last:
// the last close syncs, checkpoints and removes the WAL, a removal a crash may undo.
class LastCloseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { install(); }

  void SetUp() override {
    char pattern[] = "/tmp/qlxlastclose.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }

  // Runs `work` in a child process on the home in the given mode; its exit status.
  int inChild(bool full, const std::function<int()>& work) {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("QLX_HOME", home_.c_str(), 1);
      if (full) setenv("QLX_SYNC", "FULL", 1);
      _exit(work());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  // One connection commits `units` puts, each marked as a step, and ends.
  static int oneConnection(int units) {
    QLXADDR addr = kQlxAddrDefault;
    test::setName(addr.Name, "C1");
    QLXHANDLE handle = 0;
    if (qlxClientInitialize(&addr, &handle) != 1) return 2;
    QLXSERVICE svc = kQlxServiceDefault;
    test::setName(svc.Name, "ONEHOP");
    QLXSYNC sync = test::syncOf(1);
    for (int j = 0; j < units; ++j) {
      const std::string body = "w" + std::to_string(j);
      QLXMSG msg = kQlxMsgDefault;
      msg.MsgLength = static_cast<uint32_t>(body.size());
      msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
      QLXHANDLE theme = 0;
      if (qlxPutRequest(handle, &svc, &msg, nullptr, &sync, &theme) != 1 ||
          qlxCommit(handle, &sync) != 1)
        return 3;
      mark(kStep, body);
    }
    if (qlxTerminate(&handle) != 1) return 4;
    mark(kStep, "closed");
    return 0;
  }

  void explore(bool full, const char* name) {
    ASSERT_EQ(inChild(full, [] {
                Store store;
                std::string error;
                return store.open(error) && store.exec(test::kDirectory) ? 0 : 1;
              }),
              0);
    const Files base = snapshotHome(home_);
    startRecording(home_);
    const int status = inChild(full, [] { return oneConnection(12); });
    Trace trace = stopRecording();
    ASSERT_EQ(status, 0);
    struct stat info {};
    EXPECT_FALSE(stat((home_ + "/broker.db-wal").c_str(), &info) == 0 && info.st_size > 0)
        << "the last close left a WAL";
    bool walRemoved = false;
    for (const Op& op : trace.ops)
      walRemoved = walRemoved || (op.kind == OpKind::kDelete &&
                                  trace.files[static_cast<size_t>(op.file)] == "broker.db-wal");
    EXPECT_TRUE(walRemoved) << "the trace holds no removal of the WAL";
    // Step j holds the puts w0..wj: the final state cut at each step's mark.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((home_ + "/broker.db").c_str(), &db), SQLITE_OK);
    const BrokerState last = readState(db);
    sqlite3_close(db);
    Expectation expect;
    expect.steps.emplace_back(0, BrokerState{});
    std::set<std::string> done;
    for (size_t i = 0; i < trace.ops.size(); ++i) {
      if (trace.ops[i].kind != OpKind::kMark) continue;
      done.insert(trace.ops[i].bytes);
      BrokerState state;
      for (const std::string& entry : last)
        if (done.count(entry.substr(entry.find('|') + 1, entry.find('|', entry.find('|') + 1) -
                                                             entry.find('|') - 1)))
          state.push_back(entry);
      expect.steps.emplace_back(i, state);
    }
    ASSERT_EQ(expect.steps.back().second.size(), 12u);
    CrashImages images(base, std::move(trace), {});
    const ExploreResult result = exploreAll(images, expect, full, home_ + ".img", name);
    std::printf("%s: %zu crash points of %zu explored, %zu images (%zu distinct)\n", name,
                result.points, result.available, result.images, result.distinct);
    EXPECT_EQ(result.failures, 0u) << result.firstFailure;
  }

  std::string home_;
};

TEST_F(LastCloseTest, FullKeepsEveryCommitThroughTheLastClose) { explore(true, "close-full"); }
TEST_F(LastCloseTest, NormalKeepsAPrefixThroughTheLastClose) { explore(false, "close-normal"); }

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

// Found by the crash images: a rollback raises the backout count in the database, then
// clears the lease's list without a sync; a power loss that kept the raise and lost the
// clear made recovery raise the message a second time. A list last written before the
// machine started is not read; a list of a process that merely died still is.
TEST_F(CrashTest, AStaleLeaseListRaisesNothingAfterARestart) {
  struct Case {
    const char* name;
    bool beforeBoot;
    int64_t backout;
  };
  const Case cases[] = {{"list written before the machine started", true, 1},
                        {"list of a process that died", false, 2}};
  c1_ = client("C1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    send(c1_, "ONEHOP", c.name);
    std::set<std::string> leases;
    for (const auto& entry : std::filesystem::directory_iterator(home_ + "/lease"))
      leases.insert(entry.path().string());
    const pid_t pid = fork();
    if (pid == 0) {
      // Takes the request, rolls it back (raised to 1), then puts the list back as it was
      // before the rollback cleared it: what a disk that lost the clear holds.
      const QLXHANDLE e = element("E");
      test::Got got;
      if (getRequest(e, got) != 1) _exit(2);
      std::string lease;
      for (const auto& entry : std::filesystem::directory_iterator(home_ + "/lease"))
        if (!leases.count(entry.path().string())) lease = entry.path().string();
      char list[16];
      const int fd = open(lease.c_str(), O_RDWR);
      if (fd < 0 || pread(fd, list, sizeof list, 0) != 16) _exit(3);
      if (rollback(e) != 1) _exit(4);
      if (pwrite(fd, list, sizeof list, 0) != 16) _exit(5);
      const timespec longAgo[2] = {{86400, 0}, {86400, 0}};
      if (c.beforeBoot && futimens(fd, longAgo) != 0) _exit(6);
      _exit(0);  // the connection ends without a word: its lock goes with the process
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "exit " << WEXITSTATUS(status) << " signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    std::vector<std::string> returned;
    store_->recoverEnded(returned);
    Query q(store_.sql(), "SELECT backout FROM message WHERE CAST(body AS TEXT) = ?1");
    ASSERT_EQ(q.bind(1, std::string(c.name)).step(), SQLITE_ROW);
    EXPECT_EQ(q.integer(0), c.backout);
    sql("DELETE FROM message");  // the next case's request is then first on the queue
  }
}

// The control page is a shared mapping: the kernel may write it back while commits store
// into it, so after a power loss each word may be as at a different moment. Every mix of
// the page's words as before and after some FULL commits must leave the next commit
// waiting for a sync of its own (a synced count ahead of the commit count acknowledged it
// without one), and fail none whose sync succeeded.
TEST_F(CrashTest, AControlPageWrittenBackWordByWordAcknowledgesNothingUnsynced) {
  connect(true);
  for (int i = 0; i < 3; ++i) sendStep(c1_, "ONEHOP", "torn" + std::to_string(i));
  const size_t last = expect_.steps.back().first;
  CrashImages images(base_, stopRecording(), side_);
  std::mt19937_64 random(1);
  Files files = images.image(last + 1, Fate::kAllWritten, random);
  const std::string before = base_.at("control");
  const std::string after = side_.at(last).at("control");
  ASSERT_EQ(before.size(), after.size());
  std::vector<size_t> changed;
  for (size_t at = 0; at + 4 <= after.size(); at += 4)
    if (before.compare(at, 4, after, at, 4) != 0) changed.push_back(at);
  ASSERT_GE(changed.size(), 2u) << "the commits moved no counters";
  ASSERT_LE(changed.size(), 6u);
  const std::string folder = imageFolder();
  for (size_t mix = 0; mix < (size_t{1} << changed.size()); ++mix) {
    SCOPED_TRACE("mix " + std::to_string(mix));
    std::string torn = after;
    for (size_t k = 0; k < changed.size(); ++k)
      if (mix & (size_t{1} << k)) torn.replace(changed[k], 4, before, changed[k], 4);
    files["control"] = torn;
    EXPECT_EQ(checkImage(files, last + 1, images, expect_, true, folder), "");
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// A fault reached the database but the control page's word that says faults may be
// pending came back as before it (the page is written back when the kernel likes): the
// next process must still apply the fault, in either mode.
TEST_F(CrashTest, AFaultTheDiskKeptIsAppliedAfterARestart) {
  for (const char* mode : {"FULL", "NORMAL"}) {
    SCOPED_TRACE(mode);
    setenv("QLX_SYNC", mode, 1);
    fault("getrequest", 99, std::nullopt, 1, std::string("E"));
    const int fd = open((home_ + "/control").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const uint32_t none = 0;
    ASSERT_EQ(pwrite(fd, &none, sizeof none, 0), static_cast<ssize_t>(sizeof none));
    close(fd);
    const pid_t pid = fork();
    if (pid == 0) {
      const QLXHANDLE e = element("E");
      test::Got got;
      _exit(getRequest(e, got) == 0 && test::lastReason() == 99 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the fault was missed";
  }
}

TEST_F(CrashTest, FullKeepsEveryAcknowledgedCommit) { explore(true, "full"); }
TEST_F(CrashTest, NormalKeepsAPrefixOfTheCommits) { explore(false, "normal"); }

}  // namespace
}  // namespace qlx::crashsim
