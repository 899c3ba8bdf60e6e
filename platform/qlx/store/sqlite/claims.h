// Claims of messages: a unit of work holds a message by an exclusive lock on the byte at the
// message's id in the home's claims file. The locks are open-file-description locks: two
// connections of one process exclude each other like two processes do, and the kernel
// drops every lock of a process that ends, however it ends, so a claim never outlives its
// holder. Message ids are never reused, so a byte stands for one message forever.
#ifndef QLX_CLAIMS_H
#define QLX_CLAIMS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qlx {

class Claims {
 public:
  Claims() = default;
  ~Claims();
  Claims(const Claims&) = delete;
  Claims& operator=(const Claims&) = delete;

  // Opens (creating, 0600) the claims file of `home`. False with errno set.
  bool open(const std::string& home);
  bool isOpen() const { return fd_ >= 0; }

  // 1 when this store now holds message `id`, 0 when another holder has it, -1 on failure
  // (errno set).
  int tryLock(int64_t id);
  // Releases one claim of this store, or all of them.
  void unlock(int64_t id);
  void unlockAll();
  // 1 when another holder has message `id`, 0 when nobody (or this store) does, -1 on
  // failure.
  int heldByOther(int64_t id) const;
  // Appends the ids from `first` to `last` that other holders have (in no particular
  // order); cost grows with the claims found, not with the range. False on failure.
  bool heldIn(int64_t first, int64_t last, std::vector<int64_t>& ids) const;
  // In a child after fork: forgets the descriptor without releasing the parent's claims.
  void abandon();

 private:
  int fd_ = -1;
};

}  // namespace qlx

#endif  // QLX_CLAIMS_H
