// The background writer of a broker home's write-ahead log, one per process and home: the
// work that keeps the WAL bounded and durable runs on its thread, never inside a caller's
// commit. In NORMAL a commit is not synced when it returns; the keeper syncs the WAL
// within kSyncIntervalMillis of any commit of this process, so a power loss takes at most
// the commits of that last interval (plus one sync's time). When a commit finds the WAL
// long it asks for a checkpoint, which the keeper runs (PASSIVE: it never blocks a
// writer); in FULL it then copies what was added meanwhile holding the write lock for a
// moment, so that the log can start over (walkeeper.cc). When the last store of the
// process on the home closes, the keeper syncs, runs a last checkpoint and closes its own
// connection, so a quiet broker leaves no long WAL.
#ifndef QLX_WALKEEPER_H
#define QLX_WALKEEPER_H

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "busygate.h"

namespace qlx {

// The longest time a commit acknowledged in NORMAL stays unsynced (before the sync's own
// time): the bound on what a power loss can take.
inline constexpr int kSyncIntervalMillis = 200;
// The longest wait, holding the write lock, of a copy of the log for the readers still on
// it (they must move on before the log can start over).
inline constexpr int64_t kRestartWaitMicros = 5000;

class WalKeeper {
 public:
  // The keeper of `home`'s database for this process, started on first use; shared by
  // the stores of the process on that home and ended when the last of them lets it go.
  // `syncs`: whether commits are left unsynced (NORMAL) and the keeper must sync them.
  static std::shared_ptr<WalKeeper> forHome(const std::string& home, bool syncs);
  ~WalKeeper();
  WalKeeper(const WalKeeper&) = delete;
  WalKeeper& operator=(const WalKeeper&) = delete;

  // Called after each commit of the process; returns at once. `checkpoint`: the WAL has
  // grown long and should be copied back into the database.
  void committed(bool checkpoint);

 private:
  WalKeeper(std::string home, bool syncs);
  void _run();
  bool _openDatabase();
  void _sync();
  // True when the checkpoint copied every frame of the log. `last`: the one before the
  // keeper ends, which never waits.
  bool _checkpoint(bool last);
  bool _copyRestOfLog();
  void _restartLog();
  void _mapControl();

  const std::string home_;
  const bool syncs_;
  const pid_t owner_;
  sqlite3* db_ = nullptr;  // the keeper's own connection, used on its thread only
  std::atomic<uint32_t>* control_ = nullptr;  // the home's control page, or null
  BusyGate gate_;  // wakes the writers that queued behind the keeper's write
  BusyGate readerGate_;  // told as the keeper's own transactions end (walbatch.h)
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t commits_ = 0;  // under mutex_
  uint64_t synced_ = 0;   // the keeper's thread only
  bool checkpointWanted_ = false;
  bool stopping_ = false;
  std::thread* thread_ = nullptr;  // a child after fork has no such thread: never joined there
};

}  // namespace qlx

#endif  // QLX_WALKEEPER_H
