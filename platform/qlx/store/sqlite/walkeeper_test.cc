// The WAL keeper's thread must never take a stop signal meant for the program: caught on
// that thread, it would end no wait for a message, and a server would not stop. After a
// checkpoint that copied the whole log the keeper restarts the log itself, so the next
// caller's commit neither restarts it nor syncs its header.
#include "walkeeper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "store.h"
#include "testing/temp_home.h"

namespace qlx {
namespace {

// The signals thread `tid` of this process blocks, from its status file's SigBlk line.
unsigned long long blockedSignals(const std::string& tid) {
  std::ifstream status("/proc/self/task/" + tid + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("SigBlk:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 16);
  return 0;
}

TEST(WalKeeperTest, ItsThreadBlocksTheStopSignals) {
  char pattern[] = "/tmp/qlx-keeper-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  {
    std::shared_ptr<WalKeeper> keeper = WalKeeper::forHome(home, true);
    const std::string self = std::to_string(syscall(SYS_gettid));
    int others = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      const std::string tid = task.path().filename().string();
      if (tid == self) continue;
      ++others;
      const unsigned long long blocked = blockedSignals(tid);
      for (int signal : {SIGTERM, SIGINT})
        EXPECT_NE(blocked & (1ULL << (signal - 1)), 0u)
            << "thread " << tid << " signal " << signal;
    }
    EXPECT_GE(others, 1);
  }
  std::filesystem::remove_all(home);
}

// The log's checkpoint sequence (header bytes 12 to 15, big-endian): SQLite raises it each
// time it restarts the log. -1 when the file cannot be read.
long walSequence(const std::string& wal) {
  std::ifstream in(wal, std::ios::binary);
  unsigned char header[16];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return -1;
  return static_cast<long>(header[12]) << 24 | header[13] << 16 | header[14] << 8 | header[15];
}

TEST(WalKeeperTest, TheKeeperRestartsAFullyCopiedLogBeforeTheNextCommit) {
  char pattern[] = "/tmp/qlx-keeper-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  const std::string wal = home + "/broker.db-wal";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((home + "/broker.db").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 20000);  // the keeper holds the lock while it restarts the log
  auto exec = [&](const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
  ASSERT_EQ(exec("PRAGMA journal_mode=WAL; PRAGMA user_version=7; CREATE TABLE t(x)"), SQLITE_OK);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(exec("INSERT INTO t VALUES(randomblob(3000))"), SQLITE_OK);
  const long before = walSequence(wal);
  ASSERT_GE(before, 0);
  {
    std::shared_ptr<WalKeeper> keeper = WalKeeper::forHome(home, true);
    keeper->committed(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (walSequence(wal) == before && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const long restarted = walSequence(wal);
    EXPECT_NE(restarted, before) << "the keeper did not restart the log";
    ASSERT_EQ(exec("INSERT INTO t VALUES(1)"), SQLITE_OK);
    EXPECT_EQ(walSequence(wal), restarted) << "the caller's commit restarted the log";
  }
  sqlite3_stmt* q = nullptr;
  const char* sql = "SELECT count(*), (SELECT user_version FROM pragma_user_version) FROM t";
  ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &q, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(q, 0), 21);
  EXPECT_EQ(sqlite3_column_int(q, 1), 7);
  sqlite3_finalize(q);
  sqlite3_close(db);
  std::filesystem::remove_all(home);
}

// A broker's own commits ask the keeper for the checkpoint once the log is long enough,
// and the log then starts over, so its file stops growing. In FULL a log that grew on for
// thousands of pages cost every commit a sync of a growing file; in NORMAL a long log costs
// every page read CPU. Units of about 20 pages each, up to 4,000 pages in all: the log must
// have started over by then (a limit of 10,000 pages would never get there).
TEST(WalKeeperTest, TheBrokersCommitsRestartTheLogWithinItsLimit) {
  for (const char* sync : {"FULL", "NORMAL"}) {
    SCOPED_TRACE(sync);
    char pattern[] = "/tmp/qlx-keeper-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string home = pattern;
    setenv("QLX_HOME", home.c_str(), 1);
    setenv("QLX_SYNC", sync, 1);
    {
      Store store;
      std::string error;
      ASSERT_TRUE(store.open(error)) << error;
      ASSERT_TRUE(store.exec("CREATE TABLE filler(x)"));
      const long first = walSequence(home + "/broker.db-wal");
      ASSERT_GE(first, 0);
      long now = first;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int pages = 0; now == first && std::chrono::steady_clock::now() < deadline;) {
        if (pages < 4000) {
          Transaction tx(store);
          ASSERT_TRUE(tx.ok());
          ASSERT_TRUE(store.exec("INSERT INTO filler SELECT randomblob(3000) FROM "
                                 "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                 "FROM n WHERE i < 20) SELECT i FROM n)"));
          ASSERT_TRUE(tx.commit());
          pages += 20;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        now = walSequence(home + "/broker.db-wal");
      }
      EXPECT_NE(now, first) << "the log never started over";
    }
    std::filesystem::remove_all(home);
  }
  unsetenv("QLX_SYNC");
  unsetenv("QLX_HOME");
}

// One consumer's cycles on a backlog, as the broker's consumers work it: a short read
// snapshot (the claim) beside the other consumers' writes, then a unit that deletes a row
// and inserts one (three rows of 3,000 bytes each way, about ten pages). Returns the exit
// status of a forked child: 0 when every cycle ran.
int consumeBacklog(int self, int cycles) {
  Store store;
  std::string error;
  if (!store.open(error)) return 1;
  for (int i = 0; i < cycles; ++i) {
    int64_t oldest = 0;
    {
      Query begin(store, "BEGIN");
      if (!begin.run()) return 2;
      Query next(store, "SELECT min(id) FROM backlog WHERE id % 2 = ?1");
      if (next.bind(1, self).step() != SQLITE_ROW) return 3;
      oldest = next.integer(0);
      next.reset();
      Query end(store, "COMMIT");
      if (!end.run()) return 4;
    }
    Transaction tx(store);
    if (!tx.ok()) return 5;
    Query drop(store, "DELETE FROM backlog WHERE id IN (?1, ?1 + 2, ?1 + 4)");
    if (!drop.bind(1, oldest).run()) return 6;
    drop.reset();
    if (!store.exec("INSERT INTO backlog(body) SELECT randomblob(3000) FROM "
                    "(SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3)"))
      return 7;
    if (!tx.commit()) return 8;
  }
  return 0;
}

off_t fileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

// Consumers that commit without a pause add a frame between nearly every background copy
// of the log and the write that would start it over. In FULL the keeper copies the rest
// holding the write lock and waits for the readers on the log; a commit that finds the log
// at four times its limit does the same. Without either the log grew for as long as the
// backlog lasted (39 MB in three seconds of one FULL consumer). Bound by pages written,
// not by time: two consumers write some 24,000 pages in all (six times the 4,000 at which
// a commit copies the log), and the file must stay below 8,000 pages (a copy that found a
// reader for its whole wait is tried again 250 pages later; the file keeps its largest
// size once reached).
TEST(WalKeeperTest, ConsumersOnABacklogKeepTheLogBounded) {
  std::string home;
  ASSERT_TRUE(zvr::testing::makeTempHome("qlx-keeper-test-", home));
  setenv("QLX_SYNC", "FULL", 1);
  // Open to the end: the last connection to close copies the log and removes its file.
  auto store = std::make_unique<Store>();
  std::string error;
  ASSERT_TRUE(store->open(error)) << error;
  ASSERT_TRUE(store->exec("CREATE TABLE backlog(id INTEGER PRIMARY KEY, body BLOB)"));
  ASSERT_TRUE(store->exec("INSERT INTO backlog(body) SELECT randomblob(3000) FROM "
                          "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                          "FROM n WHERE i < 600) SELECT i FROM n)"));
  constexpr int kConsumers = 2;
  constexpr int kCycles = 1200;
  std::vector<pid_t> children;
  for (int i = 0; i < kConsumers; ++i) {
    const pid_t pid = fork();
    if (pid == 0) _exit(consumeBacklog(i, kCycles));
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  constexpr off_t kFrame = 4096 + 24;
  EXPECT_LT(fileSize(home + "/broker.db-wal"), 8000 * kFrame);
  store.reset();
  EXPECT_TRUE(zvr::testing::removeTempHome(home));
  unsetenv("QLX_SYNC");
}

}  // namespace
}  // namespace qlx
