// The lease of a connection: a file of the home, lease/TOKEN, that the connection holds
// locked for its whole life. The kernel drops the lock when the process ends, so another
// connection tells a live connection from an ended one by trying the lock, never by a
// process id (processes sharing a home may live in different PID namespaces). The token
// is random, so a later connection never takes over an earlier one's name.
//
// The lease file also lists the messages the connection's open unit of work holds, in
// the order it took them (8-byte ids, a 0 after the last): whoever finds the connection
// ended raises their backout counts. The list is written without a sync: an operating
// system crash may lose it (the messages then come back without the raise), a process
// crash never does. A list last written before the machine started is not read at all.
#ifndef QLX_LEASE_H
#define QLX_LEASE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qlx {

class Lease {
 public:
  Lease() = default;
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  // Makes a fresh token and takes its lease file in `home`. False with `error` set.
  bool open(const std::string& home, std::string& error);
  const std::string& token() const { return token_; }

  // Lists message `id` as the claim at `slot` (0 for the unit's first) and ends the list
  // after it. False with errno set.
  bool record(size_t slot, int64_t id);
  // Empties the list (after the unit ended). False with errno set.
  bool clear() { return _endAt(0); }
  // Ends the lease for good: removes the file and releases the lock.
  void end();
  // In a child after fork: forgets the descriptor without releasing the parent's lease.
  void abandon();

 private:
  bool _endAt(size_t slot);

  int fd_ = -1;
  std::string home_;
  std::string token_;
};

// True when a live connection holds the lease `token` of `home`, or when that cannot be
// told (a lease is never declared ended by mistake); false when the lease file is free or
// missing.
bool leaseHeld(const std::string& home, const std::string& token);
// The claims listed in an ended lease, in the order they were taken; none when the lease
// file was last written before the machine started.
std::vector<int64_t> leaseClaims(const std::string& home, const std::string& token);
// Removes an ended lease's file.
void removeLease(const std::string& home, const std::string& token);

}  // namespace qlx

#endif  // QLX_LEASE_H
