// Waiting for a queue of the PostgreSQL store: LISTEN on the queue's channel (the side
// connection's session, which never stays inside a transaction) and ppoll on its socket
// with the caller's signal mask, so that a signal ends the wait at once. A wait wakes at
// least once a second to look again: a unit that died frees its messages without a notice
// until someone recovers them.
//
// A notice is not free: its transaction takes a lock of the whole database and the server
// interrupts every listening session of the database, whatever the channel. A unit's
// commit therefore wakes a queue only when a waiter has said it may sleep on it: the
// waiter holds a shared advisory lock of the queue's key from its first sleep until it
// next finds a message without sleeping, and the commit, after its COMMIT, notifies only
// when it cannot take that lock exclusively. Either the commit sees the waiter's lock, or
// the waiter's look at the queue, made after taking it, sees the commit.
#ifndef QLX_PG_WAIT_H
#define QLX_PG_WAIT_H

#include <signal.h>

#include <cstdint>

#include <libpq-fe.h>

#include <string>
#include <string_view>

#include "broker_store.h"

namespace qlx {
class PgBrokerStore;
}

namespace qlx::pg {

// The advisory lock class of the waiters' keys, and a queue's key in it (a hash: two
// queues sharing a key only wake each other needlessly).
inline constexpr int64_t kWaiterLockClass = 7170658;
int32_t waiterKey(std::string_view queue);

// The wake a unit's commit sends after its COMMIT ($1 the queue, $2 its key): a statement
// of its own transaction that does not wait for the disk, as a notice gives it an id whose
// commit would otherwise sync while holding the database's notice lock.
inline constexpr const char* kWakeIfWaited =
    "SELECT set_config('synchronous_commit', 'off', true), pg_notify('qlx_' || md5($1), '') "
    "WHERE NOT pg_try_advisory_xact_lock(7170658, $2::int)";

class PgWait final : public QueueWait {
 public:
  PgWait(PgBrokerStore& store, std::string queue);
  ~PgWait() override;
  PgWait(const PgWait&) = delete;
  PgWait& operator=(const PgWait&) = delete;

  void block() override;
  // Ends the wait; a wait that found a message at its first look also stops being a
  // waiter of the queue (one round trip), so that commits stop waking it.
  void unblock() override;
  // The first sleep of a waiter makes it one (one round trip) and returns kChanged at
  // once, so that the caller looks at the queue again before really sleeping.
  Outcome sleep(int64_t millis) override;

 private:
  bool _listen();
  void _drain();
  void _restoreSignals();
  // 1 registered, 0 the key is held by a commit right now, -1 no side session.
  int _register();
  void _unregister();

  PgBrokerStore& store_;
  std::string queue_;
  uint64_t listened_ = 0;  // the side session that listens (Connection::session()), or 0
  uint64_t registered_ = 0;  // the side session holding the waiter's lock, or 0
  bool slept_ = false;       // whether this wait slept since the last unblock()
  bool blocked_ = false;
  sigset_t saved_;
};

}  // namespace qlx::pg

#endif  // QLX_PG_WAIT_H
