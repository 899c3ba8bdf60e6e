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
  if (first > last) return true;
  flock lock = byteRange(F_WRLCK, first, last - first + 1);
  if (fcntl(fd_, F_OFD_GETLK, &lock) != 0) return false;
  if (lock.l_type == F_UNLCK) return true;
  // The kernel reports one conflicting lock of the range; look left and right of it.
  const int64_t from = lock.l_start < first ? first : lock.l_start;
  const int64_t end = lock.l_len == 0 ? last : lock.l_start + lock.l_len - 1;
  const int64_t to = end > last ? last : end;
  if (!heldIn(first, from - 1, ids)) return false;
  for (int64_t id = from; id <= to; ++id) ids.push_back(id);
  return heldIn(to + 1, last, ids);
}

void Claims::abandon() {
  if (fd_ >= 0) close(fd_);  // the parent's descriptor keeps the locks
  fd_ = -1;
}

}  // namespace qlx
