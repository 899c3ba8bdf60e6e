// Claim locks on the claims file.
#include "claims.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "store.h"

namespace qlx {
namespace {

flock byteRange(short type, int64_t first, int64_t length) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(first);
  lock.l_len = static_cast<off_t>(length);
  lock.l_pid = 0;  // required by open-file-description locks
  return lock;
}

}  // namespace

Claims::~Claims() {
  if (fd_ >= 0) close(fd_);
}

bool Claims::open(const std::string& home) {
  if (fd_ >= 0) return true;
  fd_ = openPrivate(home + "/claims", O_RDWR);
  return fd_ >= 0;
}

int Claims::tryLock(int64_t id) {
  flock lock = byteRange(F_WRLCK, id, 1);
  if (fcntl(fd_, F_OFD_SETLK, &lock) == 0) return 1;
  return errno == EAGAIN || errno == EACCES ? 0 : -1;
}

void Claims::unlock(int64_t id) {
  flock lock = byteRange(F_UNLCK, id, 1);
  fcntl(fd_, F_OFD_SETLK, &lock);
}

void Claims::unlockAll() {
  flock lock = byteRange(F_UNLCK, 0, 0);  // length 0: to the end of any file
  if (fd_ >= 0) fcntl(fd_, F_OFD_SETLK, &lock);
}

int Claims::heldByOther(int64_t id) const {
  flock lock = byteRange(F_WRLCK, id, 1);
  if (fcntl(fd_, F_OFD_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_UNLCK ? 0 : 1;
}

bool Claims::heldIn(int64_t first, int64_t last, std::vector<int64_t>& ids) const {
  // The kernel reports one conflicting lock of a range; the parts left and right of it
  // are looked at in turn (a list of ranges, not recursion: there may be many claims).
  std::vector<std::pair<int64_t, int64_t>> ranges{{first, last}};
  while (!ranges.empty()) {
    const auto [from, to] = ranges.back();
    ranges.pop_back();
    if (from > to) continue;
    flock lock = byteRange(F_WRLCK, from, to - from + 1);
    if (fcntl(fd_, F_OFD_GETLK, &lock) != 0) return false;
    if (lock.l_type == F_UNLCK) continue;
    const int64_t start = lock.l_start < from ? from : lock.l_start;
    const int64_t end = lock.l_len == 0 ? to : lock.l_start + lock.l_len - 1;
    const int64_t stop = end > to ? to : end;
    for (int64_t id = start; id <= stop; ++id) ids.push_back(id);
    ranges.emplace_back(from, start - 1);
    ranges.emplace_back(stop + 1, to);
  }
  return true;
}

void Claims::abandon() {
  if (fd_ >= 0) close(fd_);  // the parent's descriptor keeps the locks
  fd_ = -1;
}

}  // namespace qlx
