// The batching VFS: what one connection commits through it, another connection on the
// platform's own VFS reads whole, whatever the size of the transaction; what it rolls back
// never appears. A gate handed to the database file hears of every transaction's end, so
// that a copy of the log waiting for a reader is woken as soon as that reader ends.
#include "walbatch.h"

#include <sqlite3.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "busygate.h"

namespace qlx {
namespace {

class WalBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qlxwalbatch.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string path = dir_ + "/t.db";
    ASSERT_NE(walBatchVfs(), nullptr);
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &batched_,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, walBatchVfs()),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &plain_, SQLITE_OPEN_READWRITE, nullptr),
              SQLITE_OK);
    run(batched_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                  "CREATE TABLE t (id INTEGER PRIMARY KEY, body BLOB)");
  }
  void TearDown() override {
    sqlite3_close_v2(plain_);
    if (batched_) sqlite3_close_v2(batched_);
    std::filesystem::remove_all(dir_);
  }

  static int run(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  // The first column of the first row of `sql` as text, or "?".
  static std::string text(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    std::string out = "?";
    if (stmt && sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return out;
  }
  // Rows and total body bytes as `db` sees them.
  static std::string contents(sqlite3* db) {
    return text(db, "SELECT count(*) || ' rows, ' || sum(length(body)) || ' bytes' FROM t");
  }
  static std::string insert(int rows, int bytes) {
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(rows) + ") INSERT INTO t (body) SELECT randomblob(" +
           std::to_string(bytes) + ") FROM n";
  }

  std::string dir_;
  sqlite3* batched_ = nullptr;
  sqlite3* plain_ = nullptr;
};

TEST_F(WalBatch, CommitsOfEverySizeReachTheOtherConnectionWhole) {
  struct Case {
    const char* what;
    int rows, bytes;
  } cases[] = {
      {"one page", 1, 100},
      {"a few pages", 6, 1000},
      {"more than one write of the platform's VFS (128 KiB)", 100, 1500},
      {"more than is ever kept back (1 MiB): the pages spill", 1200, 3000},
  };
  int64_t rows = 0, bytes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(run(batched_, insert(c.rows, c.bytes)), SQLITE_OK) << sqlite3_errmsg(batched_);
    rows += c.rows;
    bytes += static_cast<int64_t>(c.rows) * c.bytes;
    const std::string expected =
        std::to_string(rows) + " rows, " + std::to_string(bytes) + " bytes";
    EXPECT_EQ(contents(plain_), expected);
    EXPECT_EQ(contents(batched_), expected);
  }
  ASSERT_EQ(run(batched_, "PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
  sqlite3_close_v2(batched_);
  batched_ = nullptr;
  EXPECT_EQ(contents(plain_), std::to_string(rows) + " rows, " + std::to_string(bytes) + " bytes");
}

TEST_F(WalBatch, ARolledBackTransactionLeavesNothingAndTheNextCommitWorks) {
  ASSERT_EQ(run(batched_, insert(3, 500)), SQLITE_OK);
  for (int rows : {2, 900}) {  // 900 rows of 3000 bytes: spilled frames are never published
    ASSERT_EQ(run(batched_, "BEGIN; " + insert(rows, 3000) + "; ROLLBACK"), SQLITE_OK);
    EXPECT_EQ(contents(plain_), "3 rows, 1500 bytes");
  }
  ASSERT_EQ(run(batched_, "DELETE FROM t WHERE id = 1"), SQLITE_OK);
  EXPECT_EQ(contents(plain_), "2 rows, 1000 bytes");
  EXPECT_EQ(text(plain_, "PRAGMA integrity_check"), "ok");
}

TEST_F(WalBatch, AGateHearsOfEveryTransactionsEnd) {
  std::atomic<uint32_t> ends{0}, sleepers{0};
  BusyGate gate;
  gate.attach(&ends, &sleepers);
  ASSERT_EQ(sqlite3_file_control(batched_, "main", kWalBatchReaderGate, &gate), SQLITE_OK);
  const struct {
    const char* what;
    std::string sql;
  } cases[] = {
      {"a read", "SELECT count(*) FROM t"},
      {"a write", insert(2, 100)},
      {"a rolled back write", "BEGIN IMMEDIATE; " + insert(1, 100) + "; ROLLBACK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t before = ends.load();
    ASSERT_EQ(run(batched_, c.sql), SQLITE_OK) << sqlite3_errmsg(batched_);
    EXPECT_GT(ends.load(), before);
  }
  // Another VFS's file does not know the control and keeps no gate.
  EXPECT_EQ(sqlite3_file_control(plain_, "main", kWalBatchReaderGate, &gate), SQLITE_NOTFOUND);
  ASSERT_EQ(sqlite3_file_control(batched_, "main", kWalBatchReaderGate, nullptr), SQLITE_OK);
  const uint32_t before = ends.load();
  ASSERT_EQ(run(batched_, "SELECT count(*) FROM t"), SQLITE_OK);
  EXPECT_EQ(ends.load(), before);
}

// A copy of the log that must wait for a reader (RESTART) sleeps on the gate for as long
// as its slice allows, here far longer than the reader stays: it must be woken by the
// reader's end, not by the slice.
TEST_F(WalBatch, ACopyWaitingForAReaderIsWokenByItsEnd) {
  std::atomic<uint32_t> ends{0}, sleepers{0};
  BusyGate readers, copier;
  readers.attach(&ends, &sleepers);
  copier.attach(&ends, &sleepers);
  constexpr int64_t kLongMicros = 60'000'000;
  copier.setTimes(kLongMicros, kLongMicros);
  ASSERT_EQ(sqlite3_file_control(batched_, "main", kWalBatchReaderGate, &readers), SQLITE_OK);
  ASSERT_EQ(run(plain_, "PRAGMA wal_autocheckpoint=0"), SQLITE_OK);
  ASSERT_EQ(run(batched_, "PRAGMA wal_autocheckpoint=0; " + insert(20, 3000)), SQLITE_OK);
  ASSERT_EQ(run(batched_, "BEGIN; SELECT count(*) FROM t"), SQLITE_OK);  // a reader on the log
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run(batched_, "COMMIT");
  });
  copier.begin();
  sqlite3_busy_handler(plain_, BusyGate::handler, &copier);
  const auto start = std::chrono::steady_clock::now();
  const int rc = sqlite3_wal_checkpoint_v2(plain_, "main", SQLITE_CHECKPOINT_RESTART, nullptr,
                                           nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  reader.join();
  EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(plain_);
  EXPECT_LT(waited, std::chrono::seconds(30)) << "the copy slept its whole slice";
}

}  // namespace
}  // namespace qlx
