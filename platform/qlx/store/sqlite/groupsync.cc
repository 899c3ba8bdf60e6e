// The shared sync of commits.
#include "groupsync.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include "store.h"

namespace qlx {
namespace {

// The byte of the control file whose lock the syncing process holds: past the mapped page,
// so it never meets the page's contents.
constexpr off_t kLeaderByte = 1 << 20;

}  // namespace

GroupSync::~GroupSync() {
  if (fd_ >= 0) close(fd_);
}

bool GroupSync::open(const std::string& path, std::atomic<uint32_t>* commits,
                     std::atomic<uint32_t>* synced, std::atomic<uint32_t>* failed) {
  if (!commits || !synced) {
    errno = EINVAL;
    return false;
  }
  fd_ = openPrivate(path, O_RDWR);
  commits_ = commits;
  synced_ = synced;
  failed_ = failed;
  _repair();
  return fd_ >= 0;
}

// While the machine runs, the synced and failed counts only ever take a value the commit
// count had, so they are never ahead of it. The page is a shared mapping of a file, though:
// after a power loss it holds whatever the kernel last wrote back, and that writeback may
// have copied the words at different moments (the commit count before a raise, the synced
// count after it). A synced count ahead of the commits would acknowledge the next commits
// without a sync, a failed one ahead would fail them although their sync succeeded. The
// commit count is raised to meet them: a no-op on a sound page, whoever else uses it.
void GroupSync::_repair() {
  _raise(commits_, synced_->load(std::memory_order_acquire));
  if (failed_) _raise(commits_, failed_->load(std::memory_order_acquire));
}

// The counters wrap around: a commit is synced when the synced count is not behind it.
bool GroupSync::_synced(uint32_t commit) const {
  return static_cast<int32_t>(synced_->load(std::memory_order_acquire) - commit) >= 0;
}

// Only commits counted after the last failure's count can have been lost by it; the
// counters wrap, so "covered" means within half the range behind the failure's count.
bool GroupSync::_failed(uint32_t commit) const {
  return failed_ && static_cast<int32_t>(failed_->load(std::memory_order_acquire) - commit) >= 0;
}

void GroupSync::_raise(std::atomic<uint32_t>* counter, uint32_t upTo) {
  uint32_t seen = counter->load(std::memory_order_relaxed);
  while (static_cast<int32_t>(upTo - seen) > 0 &&
         !counter->compare_exchange_weak(seen, upTo, std::memory_order_acq_rel)) {
  }
}

bool GroupSync::_lock(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLeaderByte;
  lock.l_len = 1;
  while (fcntl(fd_, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &lock) != 0)
    if (errno != EINTR) return false;
  return true;
}

int GroupSync::awaitSync(const std::function<int()>& sync) {
  // Counted after the commit's frames were written: a sync that starts once this count is
  // seen covers them (the WAL is one file, synced whole).
  const uint32_t mine = commits_->fetch_add(1, std::memory_order_acq_rel) + 1;
  while (!_synced(mine)) {
    if (!_lock(F_WRLCK)) return SQLITE_IOERR_LOCK;
    int rc = SQLITE_OK;
    if (!_synced(mine) && !_failed(mine)) {
      const uint32_t upTo = commits_->load(std::memory_order_acquire);
      rc = sync();
      if (rc == SQLITE_OK)
        _raise(synced_, upTo);
      else if (failed_)
        _raise(failed_, upTo);
    }
    _lock(F_UNLCK);
    if (rc != SQLITE_OK) return rc;
    if (_failed(mine)) return SQLITE_IOERR_FSYNC;
  }
  // A sync that began after a failed one cannot vouch for the commits the failure covered
  // (the failure is raised before its syncer lets the lock go). Conservative: a commit
  // synced before a later failure that covers it is reported failed too.
  return _failed(mine) ? SQLITE_IOERR_FSYNC : SQLITE_OK;
}

}  // namespace qlx
