// The background writer of the WAL.
#include "walkeeper.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "store.h"
#include "walbatch.h"

namespace qlx {
namespace {

std::mutex gKeepersMutex;
std::map<std::string, std::weak_ptr<WalKeeper>>& keepers() {
  static auto* map = new std::map<std::string, std::weak_ptr<WalKeeper>>;
  return *map;
}
pid_t gKeepersOwner = 0;  // under gKeepersMutex: the process the map's keepers belong to

// Held by a keeper while it is inside SQLite, and by fork: a child must not inherit SQLite's
// own locks taken by a thread that does not exist in it.
std::mutex gInSqlite;
void holdForFork() { gInSqlite.lock(); }
void releaseAfterFork() { gInSqlite.unlock(); }

}  // namespace

std::shared_ptr<WalKeeper> WalKeeper::forHome(const std::string& home, bool syncs) {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(holdForFork, releaseAfterFork, releaseAfterFork); });
  std::lock_guard<std::mutex> lock(gKeepersMutex);
  // A child after fork starts keepers of its own; the parent's are not its to end.
  if (gKeepersOwner != getpid()) {
    keepers().clear();
    gKeepersOwner = getpid();
  }
  std::shared_ptr<WalKeeper> keeper = keepers()[home].lock();
  if (!keeper) {
    keeper.reset(new WalKeeper(home, syncs));
    keepers()[home] = keeper;
  }
  return keeper;
}

WalKeeper::WalKeeper(std::string home, bool syncs)
    : home_(std::move(home)), syncs_(syncs), owner_(getpid()) {
  // The thread starts with every signal blocked: a stop signal must reach the program's
  // own thread, whose wait for a message it ends; caught here it would end nothing.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  thread_ = new std::thread([this] { _run(); });
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

WalKeeper::~WalKeeper() {
  if (getpid() != owner_) return;  // in a child: the thread and connection are the parent's
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_->join();
  delete thread_;
}

void WalKeeper::committed(bool checkpoint) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++commits_;
    if (!checkpoint) return;
    checkpointWanted_ = true;
  }
  wake_.notify_one();
}

void WalKeeper::_run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(kSyncIntervalMillis),
                   [this] { return stopping_ || checkpointWanted_; });
    const bool stop = stopping_;
    // The last checkpoint, when the last store lets go, only after commits of this process.
    const bool checkpoint = checkpointWanted_ || (stop && commits_ != 0);
    const uint64_t commits = commits_;
    checkpointWanted_ = false;
    lock.unlock();
    if (commits != synced_ || checkpoint) {
      std::lock_guard<std::mutex> inSqlite(gInSqlite);
      if (db_ || _openDatabase()) {
        if (syncs_ && commits != synced_) _sync();
        // A last checkpoint leaves the log for the next process to restart.
        if (checkpoint && _checkpoint(stop) && !stop) _restartLog();
      }
      synced_ = commits;
    }
    lock.lock();
    if (stop) break;
  }
  lock.unlock();
  std::lock_guard<std::mutex> inSqlite(gInSqlite);
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  unmapControlPage(control_);
  control_ = nullptr;
}

void WalKeeper::_mapControl() {
  // Never made here: the keeper works on behind its stores, perhaps while a home is removed.
  if (!control_) control_ = mapControlPage(home_, false);
  if (!control_) return;
  if (!gate_.attached()) gate_.attach(&control_[kReleasesWord], &control_[kBusySleepersWord]);
  if (!readerGate_.attached())
    readerGate_.attach(&control_[kReaderEndsWord], &control_[kReaderSleepersWord]);
}

bool WalKeeper::_openDatabase() {
  const std::string path = home_ + "/broker.db";
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, walBatchVfs()) != SQLITE_OK) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_wal_autocheckpoint(db_, 0);
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  _mapControl();
  // A commit that copies the log may be waiting for the keeper's read to end.
  sqlite3_file_control(db_, "main", kWalBatchReaderGate, &readerGate_);
  return true;
}

// Syncs the WAL through the keeper's own handle on it (opened by a first read); one file,
// so the sync covers every process's frames written before it.
void WalKeeper::_sync() {
  sqlite3_exec(db_, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
  sqlite3_file* wal = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) == SQLITE_OK &&
      wal && wal->pMethods)
    wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
}

bool WalKeeper::_checkpoint(bool last) {
  int frames = 0;
  int copied = 0;
  const int rc =
      sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
  if (rc != SQLITE_OK || last || syncs_) return rc == SQLITE_OK && frames > 0 && copied == frames;
  return _copyRestOfLog();
}

// SQLite starts the log over only at a write whose snapshot began with every frame
// copied. Consumers in FULL that commit without a pause add a frame between nearly every
// copy above and the write that follows it, so the log never started over at its limit:
// it grew to four times that, where a committer copied it (16 MB instead of 4, and a copy
// with two syncs at each quarter of the limit on the way). So in FULL the keeper copies
// the frames added meanwhile holding the write lock (a RESTART: a few dozen pages and the
// syncs) and waits, woken as each reader ends and for at most kRestartWaitMicros, for the
// readers still on the log: the write that follows, the keeper's own or a committer's,
// starts it over. In NORMAL a commit costs far less than those syncs, and the writers are
// not held up for them.
bool WalKeeper::_copyRestOfLog() {
  if (!readerGate_.attached()) return false;
  readerGate_.setTimes(kRestartWaitMicros, kRestartWaitMicros);
  readerGate_.begin();
  sqlite3_busy_handler(db_, BusyGate::handler, &readerGate_);
  int frames = 0;
  int copied = 0;
  const int rc =
      sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_RESTART, &frames, &copied);
  sqlite3_busy_handler(db_, nullptr, nullptr);
  gate_.released();  // the writers that queued behind the copy
  return rc == SQLITE_OK && frames > 0 && copied == frames;
}

// SQLite restarts a fully copied log at the next write and syncs the log's new header
// inside that commit, before any frame follows it (frames of the old log must never be
// read back under a header that did not reach the disk). The keeper makes that write
// itself, rewriting the schema's user version unchanged, so the sync runs here and not in
// a caller's commit. It takes the lock without waiting: when a writer holds it, that
// writer restarts the log as before. A reader still on the old log also defers the
// restart to a later write; nothing is lost either way.
void WalKeeper::_restartLog() {
  _mapControl();
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return;
  sqlite3_stmt* read = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &read, nullptr) == SQLITE_OK &&
      sqlite3_step(read) == SQLITE_ROW)
    version = sqlite3_column_int(read, 0);
  sqlite3_finalize(read);
  const std::string rewrite = "PRAGMA user_version=" + std::to_string(version);
  const bool ok = version >= 0 &&
                  sqlite3_exec(db_, rewrite.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_exec(db_, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  gate_.released();
}

}  // namespace qlx
