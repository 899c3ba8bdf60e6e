// Commits of several processes sharing one sync of the write-ahead log (QLX_SYNC=FULL).
// SQLite in FULL syncs the WAL inside each commit while it holds the write lock, so commits
// of different processes queue behind each other's syncs. Instead a commit is written as in
// NORMAL and then waits here until a sync that began after its frames were written has
// ended: the first waiter syncs for every commit counted so far, the others wait for that
// sync and are done without one of their own. Two shared counters in the home's control
// page (commits counted, commits synced) and a lock on the control file (which the kernel
// drops when its holder dies) elect the one that syncs. A sync that fails may have cost
// the kernel's copy of the frames it covered, so a later sync that succeeds proves nothing
// about them: a third counter (commits a failed sync covered) makes every commit a failed
// sync covered fail, whoever syncs next.
#ifndef QLX_GROUPSYNC_H
#define QLX_GROUPSYNC_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace qlx {

class GroupSync {
 public:
  GroupSync() = default;
  ~GroupSync();
  GroupSync(const GroupSync&) = delete;
  GroupSync& operator=(const GroupSync&) = delete;

  // Opens the control file at `path` for the lock and takes the shared counters (borrowed:
  // the control page must outlive this object); `failed` may be null (no failure shared).
  // Counters a power loss left inconsistent (synced or failed ahead of the commits) are
  // repaired first. False with errno set.
  bool open(const std::string& path, std::atomic<uint32_t>* commits,
            std::atomic<uint32_t>* synced, std::atomic<uint32_t>* failed = nullptr);
  bool isOpen() const { return fd_ >= 0; }

  // Called after a commit of this process reached the WAL: returns once the WAL was synced
  // after it, by this call (through `sync`, SQLITE_OK or an SQLite error code) or by
  // another process's. SQLITE_OK, the failed sync's code, SQLITE_IOERR_FSYNC when another
  // process's sync that covered it failed, or SQLITE_IOERR_LOCK.
  int awaitSync(const std::function<int()>& sync);

 private:
  bool _synced(uint32_t commit) const;
  bool _failed(uint32_t commit) const;
  static void _raise(std::atomic<uint32_t>* counter, uint32_t upTo);
  bool _lock(short type);
  void _repair();

  int fd_ = -1;
  std::atomic<uint32_t>* commits_ = nullptr;
  std::atomic<uint32_t>* synced_ = nullptr;
  std::atomic<uint32_t>* failed_ = nullptr;  // or null
};

}  // namespace qlx

#endif  // QLX_GROUPSYNC_H
