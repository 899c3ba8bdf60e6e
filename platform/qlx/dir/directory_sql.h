// Small SQLite helpers of the directory code: a prepared statement that finalizes itself
// and a transaction that rolls back unless committed.
#ifndef QLX_DIRECTORY_SQL_H
#define QLX_DIRECTORY_SQL_H

#include <sqlite3.h>

#include <string>
#include <string_view>

namespace qlx {

class DirStatement {
 public:
  // Prepares `sql`; ok() tells whether that worked (the error is then in error()).
  DirStatement(sqlite3* db, const char* sql);
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
