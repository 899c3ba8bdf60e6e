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

PgWait::PgWait(PgBrokerStore& store, std::string queue)
    : store_(store), queue_(std::move(queue)) {
  sigemptyset(&saved_);
}

PgWait::~PgWait() { unblock(); }

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

void PgWait::unblock() {
  if (!blocked_) return;
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  blocked_ = false;
}

QueueWait::Outcome PgWait::sleep(int64_t millis) {
  const int64_t slice = millis < 0 || millis > kRecheckMillis ? kRecheckMillis : millis;
  timespec timeout{static_cast<time_t>(slice / 1000), static_cast<long>(slice % 1000) * 1000000};
  PGconn* conn = listened_ != 0 && listened_ == store_.sideSessionId() ? store_.sideSession()
                                                                      : nullptr;
  pollfd fd{conn ? PQsocket(conn) : -1, POLLIN, 0};
  const int rc = ppoll(fd.fd >= 0 ? &fd : nullptr, fd.fd >= 0 ? 1 : 0, &timeout,
                       blocked_ ? &saved_ : nullptr);
  const int error = errno;
  // A signal that came with the notice or the timeout stays pending until unblock(), whose
  // handler then runs outside any wait: it interrupts this wait too.
  const bool signalled = rc >= 0 && blocked_ && caughtSignalPending(saved_);
  unblock();
  if ((rc < 0 && error == EINTR) || signalled) return kInterrupted;
  if (rc > 0) {
    _drain();
    return kChanged;
  }
  return millis >= 0 && slice == millis ? kTimedOut : kChanged;
}

}  // namespace qlx::pg
