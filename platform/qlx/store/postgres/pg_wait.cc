// Waits of the PostgreSQL store.
#include "pg_wait.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>

#include "pg_broker.h"
#include "wait_signals.h"

namespace qlx::pg {
namespace {

constexpr int64_t kRecheckMillis = 1000;

}  // namespace

int32_t waiterKey(std::string_view queue) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : queue) hash = (hash ^ c) * 16777619u;
  return static_cast<int32_t>(hash);
}

PgWait::PgWait(PgBrokerStore& store, std::string queue)
    : store_(store), queue_(std::move(queue)) {
  sigemptyset(&saved_);
}

// A waiter that ends stops being one: commits need not wake it any more.
PgWait::~PgWait() {
  _restoreSignals();
  slept_ = false;
  _unregister();
}

// The channel is named by the server's md5 of the queue, as the wake trigger names it.
bool PgWait::_listen() {
  Connection* side = store_.side();
  if (!side) return listened_ = 0, false;
  if (listened_ == side->session()) return true;
  listened_ = 0;
  Result name = side->run("SELECT 'qlx_' || md5($1)", Params().add(queue_));
  if (name.ok() && side->exec(("LISTEN " + name.text(0, 0)).c_str())) listened_ = side->session();
  return listened_ != 0;
}

// The store reads the notices, so that a fault notice among them is not lost.
void PgWait::_drain() {
  if (listened_ != 0 && listened_ == store_.sideSessionId()) store_.takeNotices();
}

// Listening starts before the look at the queue, so that a commit during the look is
// noticed by sleep(). The signals are held first: LISTEN is a round trip to the server,
// and a stop signal handled during it would be gone before the wait began.
void PgWait::block() {
  if (blocked_) return;
  sigset_t set = waitHeldSignals();
  pthread_sigmask(SIG_BLOCK, &set, &saved_);
  blocked_ = true;
  _listen();
  _drain();
}

void PgWait::_restoreSignals() {
  if (!blocked_) return;
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  blocked_ = false;
}

void PgWait::unblock() {
  _restoreSignals();
  if (!slept_) _unregister();
  slept_ = false;
}

int PgWait::_register() {
  Connection* side = store_.side();
  if (!side || listened_ != side->session()) return -1;
  if (registered_ == side->session()) return 1;
  // Never waits (the signals are held): a commit holding a key right now has just written
  // the queue or is about to, and sleep() waits for it under the caller's signal mask.
  Result taken =
      side->run(kRegisterWaiter, Params().add(static_cast<int64_t>(waiterKey(queue_))));
  if (!taken.ok() || taken.rows() != 1) return -1;
  if (taken.text(0, 0) != std::string(1, '\x01')) return 0;
  registered_ = side->session();
  return 1;
}

// A lock of a session that has ended went with it: nothing to reconnect for.
void PgWait::_unregister() {
  if (registered_ == 0) return;
  Connection* side = store_.sideIfOpen();
  if (side && registered_ == side->session())
    side->run("SELECT pg_advisory_unlock_shared($1::int, $2::int)",
              Params().add(kWaiterLockClass).add(static_cast<int64_t>(waiterKey(queue_))));
  registered_ = 0;
}

int PgWait::_poll(int fd, int64_t millis, bool& interrupted) {
  timespec timeout{static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000};
  pollfd watched{fd, POLLIN, 0};
  const int rc = ppoll(fd >= 0 ? &watched : nullptr, fd >= 0 ? 1 : 0, &timeout,
                       blocked_ ? &saved_ : nullptr);
  const int error = errno;
  // A signal that came with the event or the timeout stays pending until unblock(), whose
  // handler then runs outside any wait: it interrupts this wait too.
  interrupted = (rc < 0 && error == EINTR) || (rc >= 0 && blocked_ && caughtSignalPending(saved_));
  return rc;
}

// A signal held during a round trip would otherwise be handled outside any wait.
QueueWait::Outcome PgWait::_changedUnlessSignalled() {
  const bool signalled = blocked_ && caughtSignalPending(saved_);
  _restoreSignals();
  return signalled ? kInterrupted : kChanged;
}

// The side session runs the wait while the socket is polled under the caller's signal
// mask. A wait that must end before the grant is cancelled and its answer read, so that
// the session is free again; a grant that beat the cancel still counts.
std::optional<QueueWait::Outcome> PgWait::_awaitCommits(int64_t slice, int64_t millis) {
  // A sleep of no time is not sent: its cancel would cost the server a process.
  if (slice <= 0) {
    _restoreSignals();
    return kTimedOut;
  }
  Connection* side = store_.sideIfOpen();
  if (!side || side->session() != listened_ ||
      !side->send(kAwaitCommits, Params().add(static_cast<int64_t>(waiterKey(queue_)))))
    return std::nullopt;
  const int64_t deadline = nowMillis() + slice;
  bool interrupted = false;
  bool answered = false;
  while (!interrupted && !(answered = side->sentDone())) {
    const int64_t left = deadline - nowMillis();
    if (left <= 0) break;
    _poll(PQsocket(side->raw()), left, interrupted);
  }
  if (!answered) side->cancelSent();
  const bool granted = side->takeSent().ok();
  if (interrupted) {
    _restoreSignals();
    return kInterrupted;
  }
  if (granted) {
    // The commits ended: registering now saves the caller a look that could only find
    // their messages before it sleeps.
    _register();
    return _changedUnlessSignalled();
  }
  _restoreSignals();
  return millis >= 0 && slice == millis ? kTimedOut : kChanged;
}

QueueWait::Outcome PgWait::sleep(int64_t millis) {
  slept_ = true;
  const int64_t slice = millis < 0 || millis > kRecheckMillis ? kRecheckMillis : millis;
  if (registered_ == 0 || registered_ != store_.sideSessionId()) {
    registered_ = 0;
    // Registered: the caller looks again first. Refused by a commit on its way: the wait
    // lasts until that commit ends. Without the side session the wait sleeps
    // unregistered, looking again every second.
    const int registered = _register();
    if (registered > 0) return _changedUnlessSignalled();
    if (registered == 0)
      if (std::optional<Outcome> awaited = _awaitCommits(slice, millis)) return *awaited;
  }
  PGconn* conn = listened_ != 0 && listened_ == store_.sideSessionId() ? store_.sideSession()
                                                                      : nullptr;
  // Notices that came while the side session ran a statement were read with its answer and
  // wait in libpq, where polling the socket would not see them.
  if (conn && store_.takeNotices()) return _changedUnlessSignalled();
  bool interrupted = false;
  const int rc = _poll(conn ? PQsocket(conn) : -1, slice, interrupted);
  _restoreSignals();
  if (interrupted) return kInterrupted;
  if (rc > 0) {
    _drain();
    return kChanged;
  }
  return millis >= 0 && slice == millis ? kTimedOut : kChanged;
}

}  // namespace qlx::pg
