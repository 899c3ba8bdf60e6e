// Sleeping in a get until the database changes, a deadline passes or a signal arrives.
#include "wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store.h"
#include "trc.h"
#include "wait_signals.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// Without a wake notice the queue is looked at again after a while. With both watches in
// place every change that makes a message ready writes the wake file or closes a lease
// file, so the look only bounds what a failure leaves unannounced (a committer that could
// not open the wake file, a claim let go on a failed get's way out): seldom, and then
// seconds are no harm. Without inotify the look is all there is, and it comes often.
constexpr int64_t kRecheckWatchedMillis = 2000;
constexpr int64_t kRecheckUnwatchedMillis = 200;

}  // namespace

int64_t nowMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Waiter::Waiter() { sigemptyset(&saved_); }

// Made on first use, when the home surely exists.
void Waiter::_watch() {
  if (watched_) return;
  watched_ = true;
  int fd = path_.empty() ? -1 : openPrivate(path_, O_WRONLY);
  if (fd < 0) return;
  close(fd);
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ >= 0 && inotify_add_watch(notify_, path_.c_str(), IN_MODIFY) < 0) {
    close(notify_);
    notify_ = -1;
  }
  // Without it the periodic look still finds ended connections.
  if (notify_ >= 0 && !endings_.empty())
    endingsWatch_ = inotify_add_watch(notify_, endings_.c_str(), IN_CLOSE_WRITE);
}

Waiter::~Waiter() {
  unblock();
  if (notify_ >= 0) close(notify_);
}

void Waiter::block() {
  if (blocked_) return;
  _watch();
  sigset_t set = waitHeldSignals();
  pthread_sigmask(SIG_BLOCK, &set, &saved_);
  blocked_ = true;
  if (waiters_) waiters_->fetch_add(1, std::memory_order_seq_cst);
}

void Waiter::unblock() {
  if (!blocked_) return;
  if (waiters_) waiters_->fetch_sub(1, std::memory_order_seq_cst);
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  blocked_ = false;
}

Waiter::Outcome Waiter::sleep(int64_t millis) {
  trc::Scope trace(kTrace);
  const int64_t recheck = notify_ >= 0 && endingsWatch_ >= 0 ? kRecheckWatchedMillis
                                                              : kRecheckUnwatchedMillis;
  const int64_t slice = millis < 0 || millis > recheck ? recheck : millis;
  timespec timeout{static_cast<time_t>(slice / 1000), static_cast<long>(slice % 1000) * 1000000};
  pollfd fd{notify_, POLLIN, 0};
  int rc = ppoll(notify_ >= 0 ? &fd : nullptr, notify_ >= 0 ? 1 : 0, &timeout,
                 blocked_ ? &saved_ : nullptr);
  const int error = errno;
  // ppoll returns the ready descriptor and leaves a signal that came with it pending
  // (blocked again on return); its handler then runs at unblock(), outside any wait, and
  // the caller would sleep on without seeing it. Such a signal interrupts the wait too.
  const bool signalled = rc >= 0 && blocked_ && caughtSignalPending(saved_);
  unblock();
  if ((rc < 0 && error == EINTR) || signalled) return kInterrupted;
  if (rc > 0) {
    _drain();  // the check that follows covers every notice read here
    return kChanged;
  }
  return millis >= 0 && slice == millis ? kTimedOut : kChanged;
}

void Waiter::_drain() {
  if (notify_ < 0) return;
  alignas(inotify_event) char events[4096];
  ssize_t n;
  while ((n = read(notify_, events, sizeof events)) > 0) {
    // Whole events only: the kernel never splits one across reads.
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event header;
      std::memcpy(&header, events + at, sizeof header);
      if (endingsWatch_ >= 0 && header.wd == endingsWatch_) endingSeen_ = true;
      at += static_cast<ssize_t>(sizeof header + header.len);
    }
  }
}

}  // namespace qlx
