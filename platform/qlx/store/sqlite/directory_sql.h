// Small SQLite helpers of the directory code: a prepared statement that finalizes itself
// (or goes back to the cache it came from), a cache of statements prepared once per
// connection, and a transaction that rolls back unless committed.
#ifndef QLX_DIRECTORY_SQL_H
#define QLX_DIRECTORY_SQL_H

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlx {

// Statements prepared once and kept for the life of a connection. A component reads the
// directory for every request it serves, and preparing the statement cost more than running
// it. Owned statements are finalized with the cache; the connection may be closed first
// (sqlite3_close_v2 waits for them).
class DirStatementCache {
 public:
  explicit DirStatementCache(sqlite3* db) : db_(db) {}
  ~DirStatementCache();
  DirStatementCache(const DirStatementCache&) = delete;
  DirStatementCache& operator=(const DirStatementCache&) = delete;

  sqlite3* db() const { return db_; }
  // The statement for `sql`, prepared on first use; null when it cannot be prepared.
  // Owned by the cache. `sql` is a string literal: its address is the key.
  sqlite3_stmt* get(const char* sql);

 private:
  sqlite3* const db_;
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
};

class DirStatement {
 public:
  // Prepares `sql`; ok() tells whether that worked (the error is then in error()).
  DirStatement(sqlite3* db, const char* sql);
  // Takes the cache's statement for `sql`; reset, not finalized, when done.
  DirStatement(DirStatementCache& cache, const char* sql);
  ~DirStatement();
  DirStatement(const DirStatement&) = delete;
  DirStatement& operator=(const DirStatement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  std::string error() const;
  int code() const;

  DirStatement& bind(int index, std::string_view text);
  DirStatement& bind(int index, long long value);
  DirStatement& bindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Runs a statement that returns no rows to its end; false on error.
  bool run();
  // Clears the bindings and ends the read, so that no snapshot stays open.
  void reset();
  std::string text(int column) const;
  long long integer(int column) const;
  bool isNull(int column) const;

 private:
  sqlite3* const db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool cached_ = false;
};

// BEGIN IMMEDIATE on construction (so that a concurrent writer waits for the busy timeout
// instead of failing half way); rolled back on destruction unless commit() succeeded.
class DirTransaction {
 public:
  explicit DirTransaction(sqlite3* db);
  ~DirTransaction();
  DirTransaction(const DirTransaction&) = delete;
  DirTransaction& operator=(const DirTransaction&) = delete;

  bool begun() const { return begun_; }
  bool commit();

 private:
  sqlite3* const db_;
  bool begun_ = false;
  bool done_ = false;
};

// The connection's last error message, for texts shown to the administrator.
std::string dirSqlError(sqlite3* db);

}  // namespace qlx

#endif  // QLX_DIRECTORY_SQL_H
