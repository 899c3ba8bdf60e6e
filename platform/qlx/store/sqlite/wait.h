// Waiting for messages. A get that finds nothing sleeps until a commit makes messages ready
// on its queue (inotify on the queue's wake file, which such a commit writes when the
// queue's count of waiters says someone may wait), the wait runs out, or a signal arrives. Signals are
// blocked while the database is checked and unblocked only inside ppoll, so a signal that
// arrives during the check still ends the wait: an interrupt handler installed without
// SA_RESTART (or with it: ppoll is never restarted) thus ends a server's loop.
#ifndef QLX_WAIT_H
#define QLX_WAIT_H

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace qlx {

class Waiter {
 public:
  Waiter();
  ~Waiter();

  // The wake file to watch (made on first use) and the shared count of the gets waiting on
  // its queue (borrowed, may be null), raised from block() to unblock().
  void watch(std::string path, std::atomic<uint32_t>* waiters) {
    path_ = std::move(path);
    waiters_ = waiters;
  }
  // The folder of the connections' lease files: a process that ends, however it ends,
  // closes its lease file, which wakes the wait, so that the messages it held are
  // recovered at once rather than at the next periodic look.
  void watchEndings(std::string leaseFolder) { endings_ = std::move(leaseFolder); }
  // True once after a sleep that saw a lease file closed.
  bool takeEnding() {
    const bool seen = endingSeen_;
    endingSeen_ = false;
    return seen;
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  enum Outcome { kChanged, kTimedOut, kInterrupted };

  // Blocks the asynchronous signals of this thread until sleep() or unblock(); call before
  // checking the database, so that a signal during the check is seen by sleep().
  void block();
  void unblock();
  // Sleeps at most `millis` (< 0: until a change or signal) with the signals of the
  // thread's mask from before block(); unblocks afterwards.
  Outcome sleep(int64_t millis);

 private:
  void _watch();
  void _drain();

  std::string path_;
  std::string endings_;
  bool watched_ = false;
  int notify_ = -1;
  int endingsWatch_ = -1;
  bool endingSeen_ = false;
  bool blocked_ = false;
  std::atomic<uint32_t>* waiters_ = nullptr;
  sigset_t saved_;
};

// Milliseconds of a monotonic clock.
int64_t nowMillis();

}  // namespace qlx

#endif  // QLX_WAIT_H
