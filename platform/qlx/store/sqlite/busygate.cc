// Sleeping on the shared count of write-lock releases.
#include "busygate.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace qlx {
namespace {

int64_t nowMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The word lives in a file mapped by several processes: a shared (not private) futex.
void futexWait(std::atomic<uint32_t>* word, uint32_t expected, int64_t micros) {
  timespec timeout{static_cast<time_t>(micros / 1000000),
                   static_cast<long>(micros % 1000000) * 1000};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, &timeout,
          nullptr, 0);
}

void futexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit word");

int BusyGate::wait(int count) {
  const int64_t now = nowMicros();
  if (count == 0 || deadline_ == 0) deadline_ = now + limit_;
  if (now >= deadline_) return 0;
  const int64_t slice = deadline_ - now < slice_ ? deadline_ - now : slice_;
  if (!releases_) {
    timespec pause{static_cast<time_t>(slice / 1000000),
                   static_cast<long>(slice % 1000000) * 1000};
    nanosleep(&pause, nullptr);
    return 1;
  }
  // A release since the count was read: the lock may be free already.
  if (releases_->load(std::memory_order_seq_cst) != seen_) {
    arm();
    return 1;
  }
  _sleepUntilRelease(seen_, slice);
  arm();
  return 1;
}

// Counted as a sleeper before the kernel compares the word: a release after this either
// sees the sleeper and wakes it, or moved the word and the sleep does not begin.
void BusyGate::_sleepUntilRelease(uint32_t seen, int64_t micros) {
  sleepers_->fetch_add(1, std::memory_order_seq_cst);
  futexWait(releases_, seen, micros);
  sleepers_->fetch_sub(1, std::memory_order_seq_cst);
}

void BusyGate::released() {
  if (!releases_) return;
  // Cleared before the count moves: a waiter that saw it set read the count before.
  if (holding_) holding_->store(0, std::memory_order_seq_cst);
  releases_->fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_->load(std::memory_order_seq_cst) != 0) futexWakeAll(releases_);
}

void BusyGate::awaitHolder() {
  if (!releases_ || !holding_) return;
  const uint32_t seen = releases_->load(std::memory_order_seq_cst);
  if (holding_->load(std::memory_order_seq_cst) == 0) return;
  _sleepUntilRelease(seen, slice_);
}

}  // namespace qlx
