// The broker home and its database: every connection of the broker opens one Store on the
// home's SQLite database (WAL mode) and runs its queries through cached prepared
// statements. The runtime tables (connections, messages, faults) live beside the
// directory tables of directory_schema.h. Beside the database the home holds the files
// that need no database write: the claim locks (claims.h), the connections' leases
// (lease.h), one wake file per queue (a commit writes it, a waiting get watches it) and a
// small shared control page (whether faults may be pending).
#ifndef QLX_STORE_H
#define QLX_STORE_H

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "busygate.h"
#include "claims.h"
#include "groupsync.h"
#include "walkeeper.h"

namespace qlx {

// The broker home: $QLX_HOME, or ./.qlx when unset or empty.
std::string homePath();
// The file names inside the home.
std::string databasePath();
std::string logPath();
// The file a commit to `queue` writes and a get waiting on `queue` watches.
std::string wakePath(const std::string& home, std::string_view queue);

// Creates the home (0700, whatever the umask) when missing. False with `error` set.
bool makeHome(const std::string& home, std::string& error);
// Opens (creating when missing) a private file of the home: mode 0600 whatever the umask.
// The descriptor (close-on-exec) or -1 with errno set.
int openPrivate(const std::string& path, int flags);

// Maps the home's shared control page (made when missing and `create`, 0600): the words
// of kControlSize bytes, or null. The caller unmaps it with unmapControlPage.
std::atomic<uint32_t>* mapControlPage(const std::string& home, bool create = true);
void unmapControlPage(std::atomic<uint32_t>* page);
// Words of the control page holding the count of write-lock releases and the count of
// connections sleeping on it (busygate.h).
inline constexpr size_t kReleasesWord = 4;
inline constexpr size_t kBusySleepersWord = 5;
// The word of the control page that every directory edit moves (directory_cache.h).
inline constexpr size_t kDirectoryGenerationWord = 6;
// Words of the control page holding the count of read marks let go (every read or write
// transaction of a broker connection ends with one, walbatch.h) and the count of
// connections sleeping on it (a commit that copies the log waits there for its readers).
inline constexpr size_t kReaderEndsWord = 7;
inline constexpr size_t kReaderSleepersWord = 8;
// The word of the control page that says a broker connection holds the write lock in a
// transaction (busygate.h).
inline constexpr size_t kWriteHeldWord = 9;

// One database connection on the broker home. Not copyable; one thread at a time.
class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Creates the home and the database when missing; a database file that exists but is
  // empty or not a broker database is reported as damaged and left as it is. False with
  // `error` set on failure.
  bool open(std::string& error);
  sqlite3* db() const { return db_; }
  // The home this store was opened on.
  const std::string& home() const { return home_; }

  // The cached prepared statement for `sql`, reset and unbound; null on failure (the
  // SQLite message is in errorText()). Owned by the store.
  sqlite3_stmt* statement(const char* sql);

  // Runs statements without results (schema, pragmas). False on failure, noted.
  bool exec(const char* sql);
  // The last failure of this connection, as noted when it happened: a rollback that ran
  // since then does not replace it.
  int errorCode() const { return failCode_; }
  std::string errorText() const { return failText_; }
  // Puts the last failure into `error` as the admin operations report it ("broker
  // database: ..."); returns false.
  bool failureInto(std::string& error) const {
    error = "broker database: " + failText_;
    return false;
  }
  // Notes the connection's current SQLite error as the last failure; returns false.
  bool noteFailure();
  // Notes a failure of the broker's own (not reported by SQLite); returns false.
  bool noteFailure(int code, std::string text);

  // The claim locks of the home (one open file description per store).
  Claims& claims() { return claims_; }

  // Wakes the gets waiting on `queue` (after a commit that made messages ready there):
  // writes its wake file when the shared count of waiters on it (queues whose names
  // collide share one) is not zero, or cannot be read.
  void notify(std::string_view queue);
  // The shared count of gets waiting on `queue` (in the control page, owned by the store),
  // or null when the page could not be mapped. A process that ends while waiting leaves
  // its count raised: the commits to that queue then always write the wake file.
  std::atomic<uint32_t>* waiters(std::string_view queue);

  // Called by SQLite after each commit of this connection, with the WAL's page count: in
  // FULL waits for the shared sync of the WAL (groupsync.h); tells the process's WAL keeper
  // (walkeeper.h), which syncs it in NORMAL and checkpoints it when it has grown long, and
  // copies the log itself when the keeper fell far behind.
  // SQLITE_OK, or the sync's error: the commit is then in the database but not known to be
  // on disk, and the statement that committed reports the error.
  int afterCommit(const char* schema, int frames);

  // Whether the last transaction's COMMIT failed after the commit reached the database
  // (its sync failed): the caller must not apply the unit again, as it may well stand.
  bool commitInDoubt() const { return commitInDoubt_; }

  // The home's count of ended write transactions (the busy gate's count of releases, raised
  // by every connection of the broker after its commit is visible and before it lets its
  // claims go), or none without a control page. A count unchanged between two readings
  // means no broker connection changed the database in between.
  std::optional<uint32_t> writesEnded() const;

  // Whether a fault may be pending: read from the shared control page, no system call.
  bool faultsMayBePending() const;
  void setFaultsPending(bool pending);

  // The directory's generation word in the control page (directory_cache.h), or null when
  // the page could not be mapped. Owned by the store.
  std::atomic<uint32_t>* directoryGeneration() {
    return control_ ? &control_[kDirectoryGenerationWord] : nullptr;
  }

 private:
  // Copies a log the keeper could not keep short (store.cc).
  void _copyLongLog(const char* schema);
  bool _create(const std::string& path, std::string& error);
  bool _configure(std::string& error);
  bool _migrate();
  void _mapControl();
  void _noteStoredFaults();
  int _syncWal();
  void _syncFailed(int code);
  friend class Transaction;

  sqlite3* db_ = nullptr;
  std::string home_;
  int failCode_ = SQLITE_OK;
  bool commitInDoubt_ = false;
  int syncFailure_ = SQLITE_OK;  // the failed sync's code while commitInDoubt_
  bool releasedInCommit_ = false;  // afterCommit let the write lock's waiters go already
  int checkpointPages_ = 0;      // the WAL length that asks for a checkpoint
  int nextCheckpointAsk_ = 0;    // the WAL length at which this store asks the keeper again
  std::string failText_ = "no failure";
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
  std::map<std::string, int, std::less<>> wakeFiles_;
  std::atomic<uint32_t>* control_ = nullptr;  // the shared control page, or null
  Claims claims_;
  BusyGate gate_;  // the busy handler's state, on the control page when it is mapped
  BusyGate readerGate_;  // told by the VFS as this connection's transactions end
  GroupSync group_;  // open in FULL when the control page is
  std::shared_ptr<WalKeeper> keeper_;  // let go after the connection closed
};

// A prepared statement in use: binds by position (from 1), steps, reads columns, and
// resets the statement when it goes out of scope. A failed step is noted on the store.
class Query {
 public:
  Query(Store& store, const char* sql) : store_(store), stmt_(store.statement(sql)) {}
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
  // Rows changed by the last run.
  int64_t changes() const;
  // Ends the statement (and its read snapshot) before the Query goes out of scope.
  void reset();

  int64_t integer(int column) const;
  bool isNull(int column) const;
  std::string text(int column) const;
  std::string blob(int column) const;

 private:
  Store& store_;
  sqlite3_stmt* const stmt_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed uncommitted. The statements are
// prepared once per store.
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
