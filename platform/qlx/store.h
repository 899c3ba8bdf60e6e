// The broker home and its database: every connection of the broker opens one Store on the
// home's SQLite database (WAL mode) and runs its queries through cached prepared
// statements. The runtime tables (connections, messages, faults) live beside the
// directory tables of directory_schema.h.
#ifndef QLX_STORE_H
#define QLX_STORE_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace qlx {

// The broker home: $QLX_HOME, or ./.qlx when unset or empty.
std::string homePath();
// The file names inside the home.
std::string databasePath();
std::string logPath();

// Message states of the message table.
enum MessageState : int { kReady = 0, kClaimed = 1 };

// One database connection on the broker home. Not copyable; one thread at a time.
class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Creates the home and the schema when missing. False with `error` set on failure.
  bool open(std::string& error);
  sqlite3* db() const { return db_; }
  // The home this store was opened on.
  const std::string& home() const { return home_; }

  // The cached prepared statement for `sql`, reset and unbound; null on failure (the
  // SQLite message is in errorText()). Owned by the store.
  sqlite3_stmt* statement(const char* sql);
  // With QLX_SYNC=FULL, lets the next transactions skip the sync at commit (a claim, which
  // a crash merely undoes) until restored; nothing otherwise.
  void relaxSync(bool relax);

  // Runs statements without results (schema, pragmas, BEGIN/COMMIT).
  bool exec(const char* sql);
  // The last SQLite failure of this connection.
  int errorCode() const;
  std::string errorText() const;

 private:
  bool _configure(std::string& error);

  sqlite3* db_ = nullptr;
  std::string home_;
  bool full_ = false;
  bool relaxed_ = false;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

// A prepared statement in use: binds by position (from 1), steps, reads columns, and
// resets the statement when it goes out of scope.
class Query {
 public:
  Query(Store& store, const char* sql) : stmt_(store.statement(sql)) {}
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Query& bind(int index, int64_t value);
  Query& bind(int index, std::string_view text);
  Query& bindBlob(int index, const void* data, size_t length);
  Query& bindNull(int index);

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Steps to completion; true when the statement finished without error.
  bool run();

  int64_t integer(int column) const;
  bool isNull(int column) const;
  std::string text(int column) const;
  std::string blob(int column) const;

 private:
  sqlite3_stmt* const stmt_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed uncommitted.
class Transaction {
 public:
  explicit Transaction(Store& store);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return begun_; }
  bool commit();

 private:
  Store& store_;
  bool begun_ = false;
  bool done_ = false;
};

}  // namespace qlx

#endif  // QLX_STORE_H
