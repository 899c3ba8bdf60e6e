// The plain queue on SQLite.
#include "plain_sqlite_queue.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>

#include "cycle_shape.h"

namespace bench {
namespace {

sqlite3* openPlain(const std::string& path, int64_t full) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
  sqlite3_busy_timeout(db, 30000);
  const std::string pragmas = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                              (full ? "FULL" : "NORMAL") +
                              "; CREATE TABLE IF NOT EXISTS queue (id INTEGER PRIMARY KEY, "
                              "q INTEGER NOT NULL, body BLOB NOT NULL);"
                              "CREATE INDEX IF NOT EXISTS queue_q ON queue (q, id)";
  if (sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  return db;
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) std::abort();
  return stmt;
}

bool runStep(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

// One consumer's cycle. False when no request was waiting.
bool plainCycle(sqlite3* db, sqlite3_stmt* take, sqlite3_stmt* put, sqlite3_stmt* remove) {
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  bool got = sqlite3_step(take) == SQLITE_ROW;
  if (got) {
    const int64_t id = sqlite3_column_int64(take, 0);
    sqlite3_bind_blob(put, 1, sqlite3_column_blob(take, 1), sqlite3_column_bytes(take, 1),
                      SQLITE_TRANSIENT);
    sqlite3_reset(take);
    sqlite3_bind_int64(remove, 1, id);
    got = runStep(put) && runStep(remove);
  }
  sqlite3_reset(take);
  sqlite3_exec(db, got ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  return got;
}

}  // namespace

void makePlainSqliteQueue(const std::string& path, int64_t full, int requests) {
  sqlite3* db = openPlain(path, full);
  static const std::string body(kBody, 'r');
  sqlite3_stmt* put = prepare(db, "INSERT INTO queue (q, body) VALUES (0, ?1)");
  for (int sent = 0; sent < requests; sent += kBatch) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (int i = sent; i < requests && i < sent + kBatch; ++i) {
      sqlite3_bind_blob(put, 1, body.data(), kBody, SQLITE_STATIC);
      if (!runStep(put)) std::abort();
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  sqlite3_finalize(put);
  sqlite3_close(db);
}

void plainSqliteConsumer(const std::string& path, int64_t full, int start, int result,
                         int64_t millis) {
  sqlite3* db = openPlain(path, full);
  sqlite3_stmt* take = prepare(db, "SELECT id, body FROM queue WHERE q = 0 ORDER BY id LIMIT 1");
  sqlite3_stmt* put = prepare(db, "INSERT INTO queue (q, body) VALUES (1, ?1)");
  sqlite3_stmt* remove = prepare(db, "DELETE FROM queue WHERE id = ?1");
  char byte = 0;
  if (read(start, &byte, 1) != 1) _exit(1);
  const auto end = Clock::now() + std::chrono::milliseconds(millis);
  int64_t count = 0;
  while (Clock::now() < end) {
    if (plainCycle(db, take, put, remove)) ++count;
  }
  if (write(result, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) _exit(1);
  _exit(0);
}

}  // namespace bench
