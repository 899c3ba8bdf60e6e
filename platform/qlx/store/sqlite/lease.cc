// Leases of connections and the claim lists in them.
#include "lease.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "store.h"

namespace qlx {
namespace {

constexpr size_t kSlot = sizeof(int64_t);
// A unit of work holds few messages; a longer list is read no further.
constexpr size_t kMaxSlots = 65536;

std::string leasePath(const std::string& home, const std::string& token) {
  return home + "/lease/" + token;
}

flock wholeFile(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;  // start 0, length 0: the whole file
}

bool randomToken(std::string& token) {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
  static const char kDigits[] = "0123456789abcdef";
  token.clear();
  for (unsigned char b : bytes) {
    token += kDigits[b >> 4];
    token += kDigits[b & 15];
  }
  return true;
}

// The list is written without a sync, so after the machine went down it may hold any mix
// of its writes: the clear after a rollback lost while the rollback's raise reached the
// database, say, which would raise the message again. A list last written before the
// machine started is not trusted: its messages come back without the raise.
bool writtenBeforeBoot(int fd) {
  struct stat info {};
  timespec now{}, uptime{};
  if (fstat(fd, &info) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      clock_gettime(CLOCK_BOOTTIME, &uptime) != 0)
    return false;
  return info.st_mtim.tv_sec < now.tv_sec - uptime.tv_sec;
}

}  // namespace

Lease::~Lease() {
  if (fd_ >= 0) close(fd_);
}

bool Lease::open(const std::string& home, std::string& error) {
  home_ = home;
  if (!makeHome(home + "/lease", error)) return false;
  if (!randomToken(token_)) {
    error = std::string("cannot make a connection token: ") + std::strerror(errno);
    return false;
  }
  const std::string path = leasePath(home, token_);
  fd_ = openPrivate(path, O_RDWR);
  flock lock = wholeFile(F_WRLCK);
  if (fd_ < 0 || fcntl(fd_, F_OFD_SETLK, &lock) != 0 || !clear()) {
    error = "cannot take the lease " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Lease::record(size_t slot, int64_t id) {
  const int64_t entry[2] = {id, 0};
  const auto offset = static_cast<off_t>(slot * kSlot);
  return pwrite(fd_, entry, sizeof entry, offset) == static_cast<ssize_t>(sizeof entry);
}

bool Lease::_endAt(size_t slot) {
  const int64_t end = 0;
  const auto offset = static_cast<off_t>(slot * kSlot);
  return pwrite(fd_, &end, sizeof end, offset) == static_cast<ssize_t>(sizeof end);
}

void Lease::end() {
  if (fd_ < 0) return;
  unlink(leasePath(home_, token_).c_str());
  close(fd_);
  fd_ = -1;
}

void Lease::abandon() {
  if (fd_ >= 0) close(fd_);  // the parent's descriptor keeps the lock
  fd_ = -1;
}

bool leaseHeld(const std::string& home, const std::string& token) {
  if (token.empty()) return false;
  // Read-only: closing it must not look like the end of its holder to those who wait.
  int fd = ::open(leasePath(home, token).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  flock lock = wholeFile(F_WRLCK);
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

std::vector<int64_t> leaseClaims(const std::string& home, const std::string& token) {
  std::vector<int64_t> ids;
  int fd = ::open(leasePath(home, token).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ids;
  if (writtenBeforeBoot(fd)) {
    close(fd);
    return ids;
  }
  int64_t slot = 0;
  for (size_t i = 0; i < kMaxSlots; ++i) {
    unsigned char raw[kSlot];
    if (pread(fd, raw, sizeof raw, static_cast<off_t>(i * kSlot)) !=
        static_cast<ssize_t>(sizeof raw))
      break;
    std::memcpy(&slot, raw, sizeof slot);
    if (slot <= 0) break;
    ids.push_back(slot);
  }
  close(fd);
  return ids;
}

void removeLease(const std::string& home, const std::string& token) {
  if (!token.empty()) unlink(leasePath(home, token).c_str());
}

}  // namespace qlx
