// Several processes on one broker: a client and an element in different processes, and the
// recovery of a unit of work whose process was killed. On both stores; the embedded
// store's lease files and waiter counts only there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "broker_test_util.h"
#include "leasesweep.h"

namespace qlx::test {
namespace {

class BrokerProcesses : public BrokerTest {
 protected:
  // Runs `body` in a child process; its result is the child's exit status.
  template <typename Body>
  pid_t spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
  }

  std::string readLog() const {
    std::ifstream in(home_ + "/log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  int waitFor(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // In a child (no test assertions there): connects as element E. False when refused.
  static bool connectChildAsE(QLXHANDLE& e) {
    QLXADDR addr = kQlxAddrDefault;
    std::strcpy(addr.Name, "E");
    void* dir = nullptr;
    return qlxSPIInitialize(&addr, 1, &e, &dir, nullptr) == 1;
  }

  // In a child: serve one request as E (forward and commit). 0 on success.
  int serveOne() {
    QLXHANDLE e = 0;
    if (!connectChildAsE(e)) return 2;
    Got got;
    if (getRequest(e, got, 1, 20000) != 1) return 3;
    if (forward(e, got) != 1 || commit(e) != 1) return 4;
    return qlxTerminate(&e) == 1 ? 0 : 5;
  }
};

TEST_F(BrokerProcesses, ClientAndElementInTwoProcesses) {
  pid_t server = spawn([this] { return serveOne(); });
  QLXHANDLE c1 = client("C1");
  QLXHANDLE theme = send(c1, "ECHO", "across processes");
  Got response;
  ASSERT_EQ(getResponse(c1, response, theme, 20000), 1) << lastReason();
  EXPECT_EQ(response.body(), "across processes");
  ASSERT_EQ(commit(c1), 1);
  EXPECT_EQ(waitFor(server), 0);
}

TEST_F(BrokerProcesses, KilledHolderGivesTheMessageBackWithBackoutOne) {
  QLXHANDLE c1 = client("C1");
  send(c1, "ECHO", "survivor");
  send(c1, "ECHO", "second");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = spawn([&] {
    QLXHANDLE e = 0;
    if (!connectChildAsE(e)) return 2;
    Got got;
    if (getRequest(e, got) != 1 || forward(e, got) != 1) return 3;
    if (write(ready[1], "x", 1) != 1) return 4;
    pause();
    return 5;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(queue("element:E").inFlight, 1);  // the holder lives: nothing is recovered
  ASSERT_EQ(kill(holder, SIGKILL), 0);
  EXPECT_EQ(waitFor(holder), 128 + SIGKILL);
  waitUntilEnded(holder);
  close(ready[0]);
  close(ready[1]);
  QLXHANDLE e = element("E");
  Got back;
  ASSERT_EQ(getRequest(e, back), 1);
  EXPECT_EQ(back.body(), "survivor");
  EXPECT_EQ(back.msg.BackoutCount, 1);
  ASSERT_EQ(commit(e), 1);
  Got next;
  ASSERT_EQ(getRequest(e, next), 1);
  EXPECT_EQ(next.body(), "second");
  EXPECT_EQ(next.msg.BackoutCount, 0);
  ASSERT_EQ(commit(e), 1);
  EXPECT_EQ(queue("element:E").depth, 0);
  EXPECT_EQ(queue("client:C1").depth, 0);  // the killed unit's put never appeared
}

// Every process that connects after a holder was killed notices the ended connection;
// the one that recovers it logs it, the others do not.
TEST_F(BrokerProcesses, ARecoveryIsLoggedOnceHoweverManyNoticeIt) {
  QLXHANDLE c1 = client("C1");
  send(c1, "ECHO", "held");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = spawn([&] {
    QLXHANDLE e = 0;
    Got got;
    if (!connectChildAsE(e) || getRequest(e, got) != 1) return 2;
    if (write(ready[1], "x", 1) != 1) return 3;
    pause();
    return 4;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(kill(holder, SIGKILL), 0);
  EXPECT_EQ(waitFor(holder), 128 + SIGKILL);
  waitUntilEnded(holder);
  close(ready[0]);
  close(ready[1]);
  std::vector<pid_t> noticers;
  for (int i = 0; i < 4; ++i) {
    noticers.push_back(spawn([] {
      QLXHANDLE e = 0;
      return connectChildAsE(e) && qlxTerminate(&e) == 1 ? 0 : 2;
    }));
  }
  for (pid_t pid : noticers) EXPECT_EQ(waitFor(pid), 0);
  const std::string log = readLog();
  size_t lines = 0;
  for (size_t at = log.find("rolled back the open units of work of 1 ended connection(s)");
       at != std::string::npos; at = log.find("rolled back the open units", at + 1))
    ++lines;
  // On PostgreSQL two noticers at once were seen to log one ended connection each (the
  // message was still raised once): the store's count of ended connections is not exact.
  if (zvr::testing::onPostgres())
    EXPECT_GE(lines, 1u) << log;
  else
    EXPECT_EQ(lines, 1u) << log;
  EXPECT_EQ(queue("element:E").depth, 1);
  QLXHANDLE e = element("E");
  Got back;
  ASSERT_EQ(getRequest(e, back), 1);
  EXPECT_EQ(back.body(), "held");
  EXPECT_EQ(back.msg.BackoutCount, 1) << "raised once however many noticed";
  ASSERT_EQ(rollback(e), 1);
}

// A process killed after taking its lease but before registering leaves a lease file that
// no connection names: it is removed once it is old enough and nobody holds it.
TEST_F(BrokerProcesses, OrphanLeaseFilesAreReclaimed) {
  if (zvr::testing::onPostgres())
    GTEST_SKIP() << "lease files are the embedded store's; PostgreSQL ends a dead process's "
                    "claims with its session";
  const std::string lease = home_ + "/lease/";
  std::filesystem::create_directories(lease);
  const time_t old = time(nullptr) - kOrphanLeaseSeconds - 10;
  const struct {
    const char* token;
    bool aged;
    bool held;
    bool kept;
  } rows[] = {
      {"00000000000000000000000000000001", true, false, false},
      {"00000000000000000000000000000002", false, false, true},  // maybe still registering
      {"00000000000000000000000000000003", true, true, true},    // its process lives
  };
  std::vector<int> holds;
  for (const auto& row : rows) {
    const std::string path = lease + row.token;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    if (row.held) {
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
      holds.push_back(fd);
    } else {
      close(fd);
    }
    if (row.aged) {
      const timeval times[2] = {{old, 0}, {old, 0}};
      ASSERT_EQ(utimes(path.c_str(), times), 0);
    }
  }
  QLXHANDLE e = element("E");
  for (const auto& row : rows)
    EXPECT_EQ(std::filesystem::exists(lease + row.token), row.kept) << row.token;
  EXPECT_NE(readLog().find("removed 1 lease file(s) of processes that ended before "
                           "connecting"), std::string::npos) << readLog();
  // Later the young one goes too; the connection's own lease and the held one stay.
  EXPECT_EQ(reclaimOrphanLeases(store_.sql(), time(nullptr) + 2 * kOrphanLeaseSeconds), 1);
  size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(lease))
    left += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(left, 2u);
  for (int fd : holds) close(fd);
  EXPECT_EQ(qlxTerminate(&e), 1);
}

// A committed unit leaves its lease listing messages that are gone: a holder killed after
// commits raises the backout count of exactly the messages its open unit holds.
TEST_F(BrokerProcesses, KilledAfterCommitsRaisesOnlyTheOpenUnitsBackouts) {
  struct Case {
    const char* what;
    int committed;   // units of two the holder commits before the last get
    bool holdsOne;   // whether it then takes one more message
  } cases[] = {{"after a commit", 1, false},
               {"holding one after commits of two", 2, true},
               {"holding one, no commit", 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    ASSERT_TRUE(resetRuntime(store_, error)) << error;
    QLXHANDLE c1 = client("C1");
    for (int i = 0; i < 6; ++i) send(c1, "ECHO", "m" + std::to_string(i));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = spawn([&] {
      QLXHANDLE e = 0;
      if (!connectChildAsE(e)) return 2;
      for (int unit = 0; unit < c.committed; ++unit)
        for (int i = 0; i < 2; ++i) {
          Got got;
          if (getRequest(e, got) != 1 || forward(e, got) != 1) return 3;
          if (i == 1 && commit(e) != 1) return 4;
        }
      Got got;
      if (c.holdsOne && getRequest(e, got) != 1) return 5;
      if (write(ready[1], "x", 1) != 1) return 6;
      pause();
      return 7;
    });
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(waitFor(holder), 128 + SIGKILL);
    waitUntilEnded(holder);
    close(ready[0]);
    close(ready[1]);
    QLXHANDLE e = element("E");
    const int left = 6 - 2 * c.committed;
    for (int i = 0; i < left; ++i) {
      Got got;
      ASSERT_EQ(getRequest(e, got), 1);
      EXPECT_EQ(got.body(), "m" + std::to_string(2 * c.committed + i));
      EXPECT_EQ(got.msg.BackoutCount, i == 0 && c.holdsOne ? 1 : 0) << got.body();
    }
    ASSERT_EQ(rollback(e), 1);
    ASSERT_EQ(qlxTerminate(&e), 1);
    open_.pop_back();
  }
}

// A waiting get counts itself in the control page, so that commits to its queue write the
// wake file; the count is back to nothing once the get has its message.
TEST_F(BrokerProcesses, AWaitingGetIsCountedWhileItWaits) {
  if (zvr::testing::onPostgres())
    GTEST_SKIP() << "the control page and wake files are the embedded store's; PostgreSQL "
                    "wakes waits by notices";
  std::atomic<uint32_t>* waiting = store_.sql().waiters("element:E");
  ASSERT_NE(waiting, nullptr);
  const uint32_t before = waiting->load();
  pid_t server = spawn([this] { return serveOne(); });  // waits up to 20 s for a request
  for (int i = 0; i < 2000 && waiting->load() == before; ++i) usleep(5000);
  EXPECT_EQ(waiting->load(), before + 1);
  QLXHANDLE c1 = client("C1");
  send(c1, "ECHO", "wake up");
  EXPECT_EQ(waitFor(server), 0);
  EXPECT_EQ(waiting->load(), before);
}

// Two containers sharing a home see each other's process ids as meaningless numbers: a
// connection whose recorded process id names no process here (or a process that is not
// its holder) must still count as alive while its lease is held.
TEST_F(BrokerProcesses, AForeignProcessIdNeverEndsALiveUnit) {
  QLXHANDLE c1 = client("C1");
  send(c1, "ECHO", "once");
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t holder = spawn([&] {
    QLXHANDLE e = 0;
    if (!connectChildAsE(e)) return 2;
    Got got;
    if (getRequest(e, got) != 1 || forward(e, got) != 1) return 3;
    char byte = 0;
    if (write(ready[1], "x", 1) != 1 || read(go[0], &byte, 1) != 1) return 4;
    return commit(e) == 1 ? 0 : 5;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  pid_t gone = spawn([] { return 0; });
  ASSERT_EQ(waitFor(gone), 0);
  for (int64_t pid : {static_cast<int64_t>(gone), static_cast<int64_t>(getpid()), int64_t{1}}) {
    sql("UPDATE connection SET pid = " + std::to_string(pid) + " WHERE name = 'E'");
    QLXHANDLE e = element("E");  // connecting looks for ended connections at once
    EXPECT_EQ(queue("element:E").inFlight, 1) << pid;
    Got none;
    EXPECT_EQ(getRequest(e, none), 0) << pid;
    ASSERT_EQ(qlxTerminate(&e), 1);
    open_.pop_back();
  }
  ASSERT_EQ(write(go[1], "x", 1), 1);
  EXPECT_EQ(waitFor(holder), 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  EXPECT_EQ(queue("client:C1").depth, 1);  // answered exactly once
  EXPECT_EQ(queue("element:E").depth, 0);
}

TEST_F(BrokerProcesses, CompetingElementsTakeEachMessageOnce) {
  constexpr int kMessages = 40;
  QLXHANDLE c1 = client("C1");
  for (int i = 0; i < kMessages; ++i) send(c1, "ECHO", "m" + std::to_string(i));
  auto drain = [this] {
    QLXHANDLE e = 0;
    if (!connectChildAsE(e)) return 255;
    int served = 0;
    for (;;) {
      Got got;
      if (getRequest(e, got, 1, 300) != 1) break;
      if (forward(e, got) != 1 || commit(e) != 1) return 254;
      ++served;
    }
    qlxTerminate(&e);
    return served;
  };
  pid_t a = spawn(drain), b = spawn(drain);
  int servedA = waitFor(a), servedB = waitFor(b);
  EXPECT_EQ(servedA + servedB, kMessages);
  EXPECT_EQ(queue("client:C1").depth, kMessages);
  EXPECT_EQ(queue("element:E").depth, 0);
}

}  // namespace
}  // namespace qlx::test
