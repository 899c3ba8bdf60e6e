// Waiting for the database's write lock. SQLite reports a write lock held by another
// connection as busy and calls a handler that decides whether to try again; sleeping fixed
// slices there makes a writer that queues behind a short commit wait a whole slice after
// the lock came free. Instead every connection of the broker that ends a write
// transaction raises a shared count of releases in the home's control page and wakes the
// connections waiting on it (a futex on the shared page), and a busy connection sleeps
// until that count moves. The count is read before each statement, so a release that
// comes between the failed attempt and the sleep is never missed. A holder that raises
// nothing (a process killed while writing, a foreign tool on the database) is caught by a
// short bounded slice.
#ifndef QLX_BUSYGATE_H
#define QLX_BUSYGATE_H

#include <atomic>
#include <cstdint>

namespace qlx {

class BusyGate {
 public:
  // The longest sleep before another attempt without a release seen, and the time after
  // which a statement gives up as busy.
  static constexpr int64_t kSliceMicros = 5000;
  static constexpr int64_t kLimitMicros = 30'000'000;

  BusyGate() = default;
  BusyGate(const BusyGate&) = delete;
  BusyGate& operator=(const BusyGate&) = delete;

  // Takes the shared words (borrowed: the page must outlive this object): the count of
  // releases and the count of connections sleeping on it. Without them (null) waits sleep
  // plain slices.
  void attach(std::atomic<uint32_t>* releases, std::atomic<uint32_t>* sleepers) {
    releases_ = releases;
    sleepers_ = sleepers;
  }
  // Takes besides the shared word that says a broker connection holds the write lock
  // (borrowed; null: nobody says).
  void attachHolder(std::atomic<uint32_t>* holding) { holding_ = holding; }
  bool attached() const { return releases_ != nullptr; }
  // For tests: other slice and limit.
  void setTimes(int64_t sliceMicros, int64_t limitMicros) {
    slice_ = sliceMicros;
    limit_ = limitMicros;
  }

  // Notes the release count before a statement that may meet a busy database.
  void arm() {
    if (releases_) seen_ = releases_->load(std::memory_order_seq_cst);
  }
  // Notes the release count and starts a new wait: its deadline is set at the next call
  // of wait whatever its count (SQLite's count of busy calls restarts at 0 for a
  // statement, not for every checkpoint).
  void begin() {
    arm();
    deadline_ = 0;
  }
  // SQLite's busy handler for this connection (`count`: the calls so far for this
  // statement). 1: try again (after a release, or a slice without one); 0: give up.
  int wait(int count);
  // After this connection ended a write transaction: raises the count and wakes sleepers.
  void released();
  // After this connection took the write lock in a transaction of its own.
  void holding() {
    if (holding_) holding_->store(1, std::memory_order_seq_cst);
  }
  // Before asking for the write lock: while a broker connection says it holds it, sleeps
  // until a release or for one slice, so that the first attempt is not made only to fail
  // (each costs SQLite a read transaction: locks of the shared index and, after another's
  // commit, pages read again). A holder that died leaves the word set: one slice each
  // until the next holder clears it.
  void awaitHolder();

  // The busy handler to hand to sqlite3_busy_handler with the gate as its argument.
  static int handler(void* gate, int count) { return static_cast<BusyGate*>(gate)->wait(count); }

 private:
  // Sleeps until the release count leaves `seen` (at once if it has) or `micros` pass.
  void _sleepUntilRelease(uint32_t seen, int64_t micros);

  std::atomic<uint32_t>* releases_ = nullptr;
  std::atomic<uint32_t>* sleepers_ = nullptr;
  std::atomic<uint32_t>* holding_ = nullptr;
  uint32_t seen_ = 0;
  int64_t deadline_ = 0;  // microseconds of the monotonic clock, set at a statement's first wait
  int64_t slice_ = kSliceMicros;
  int64_t limit_ = kLimitMicros;
};

}  // namespace qlx

#endif  // QLX_BUSYGATE_H
