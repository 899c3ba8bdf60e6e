// Waiting for a queue of the PostgreSQL store: LISTEN on the queue's channel (the side
// connection's session, which never stays inside a transaction) and ppoll on its socket
// with the caller's signal mask, so that a signal ends the wait at once. A wait wakes at
// least once a second to look again: a unit that died frees its messages without a notice
// until someone recovers them.
//
// A notice is not free: its transaction takes a lock of the whole database and the server
// interrupts every listening session of the database, whatever the channel. A unit's
// commit therefore wakes a queue only when a waiter has said it may sleep on it, and
// finds that out inside its own transaction, so that a cycle where nobody waits sends
// nothing after its COMMIT. Two advisory locks of the queue's key make it safe:
//
// - a waiter, from its first sleep until it next finds a message without sleeping, holds
//   the queue's waiter lock shared; on taking it, and before it looks at the queue again,
//   it takes and lets go the queue's commit lock exclusively (a barrier), and counts as
//   a waiter only when both were granted;
// - a commit, before its COMMIT, takes the commit lock shared until its transaction ends
//   (past the sync and the moment its rows become visible), then tries the waiter lock
//   exclusively and lets it go at once. It wakes the queue, after its COMMIT and in a
//   transaction of its own that does not wait for the disk, when either was refused.
//
// A waiter's barrier either comes before the commit's take of the commit lock (then the
// commit's try finds the waiter lock held, and wakes), or after its transaction ended
// (then the waiter's look sees the commit). While a commit holds it the barrier is
// refused: the waiter then queues for the commit lock exclusively (kAwaitCommits) and
// sleeps until the server grants it, that is until the commits holding it have ended,
// then registers and looks again. Commits that come while it is queued are refused the
// lock (the server queues them behind it) and so wake the queue. Commits do not refuse
// each other: the commit lock is shared, the waiter lock tried for an instant.
#ifndef QLX_PG_WAIT_H
#define QLX_PG_WAIT_H

#include <signal.h>

#include <cstdint>
#include <optional>

#include <libpq-fe.h>

#include <string>
#include <string_view>

#include "broker_store.h"

namespace qlx {
class PgBrokerStore;
}

namespace qlx::pg {

// The advisory lock classes of the waiters' and the commits' keys, and a queue's key in
// them (a hash: two queues sharing a key only wake each other needlessly).
inline constexpr int64_t kWaiterLockClass = 7170658;
inline constexpr int64_t kCommitLockClass = 7170659;
int32_t waiterKey(std::string_view queue);

// A unit's look for waiters of a queue it writes ($1 its key), sent in its transaction
// before the puts: true when the queue must be woken after the COMMIT. It also asks the
// wake trigger to leave the unit's inserts alone (the unit wakes its queues itself).
// CASE keeps the order: the commit lock is held before the waiter lock is tried.
inline constexpr const char* kWaitersOf =
    "SELECT CASE WHEN NOT pg_try_advisory_xact_lock_shared(7170659, $1::int) THEN true "
    "WHEN pg_try_advisory_lock(7170658, $1::int) THEN NOT pg_advisory_unlock(7170658, $1::int) "
    "ELSE true END, set_config('qlx.wake', 'after', true)";

// The wake of queue $1 after a COMMIT: a statement of its own transaction that does not
// wait for the disk, as a notice gives it an id whose commit would otherwise sync while
// holding the database's notice lock.
inline constexpr const char* kWake =
    "SELECT set_config('synchronous_commit', 'off', true), pg_notify('qlx_' || md5($1), '')";

// The same, sent with a COMMIT while the queue had a waiter at the last commit (so that a
// served queue's wake costs no round trip of its own): after the COMMIT a waiter that
// holds the waiter lock ($2 the key) refuses it, and is woken.
inline constexpr const char* kWakeIfWaited =
    "SELECT set_config('synchronous_commit', 'off', true), pg_notify('qlx_' || md5($1), '') "
    "WHERE NOT pg_try_advisory_xact_lock(7170658, $2::int)";

// A waiter's registration ($1 the key): true when it now holds the waiter lock and passed
// the barrier; false, holding nothing, when a commit of the queue is on its way.
inline constexpr const char* kRegisterWaiter =
    "SELECT CASE WHEN NOT pg_try_advisory_lock_shared(7170658, $1::int) THEN false "
    "WHEN pg_try_advisory_lock(7170659, $1::int) THEN pg_advisory_unlock(7170659, $1::int) "
    "ELSE NOT pg_advisory_unlock_shared(7170658, $1::int) END";

// A refused waiter's wait for the commits of queue $1 on their way: granted once they have
// ended. The lock is its transaction's, so a cancelled or failed wait leaves nothing held.
inline constexpr const char* kAwaitCommits = "SELECT pg_advisory_xact_lock(7170659, $1::int)";

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
  // 1 registered, 0 a commit of the queue is on its way, -1 no side session.
  int _register();
  // The rest of a sleep of at most `slice` ms (of `millis` asked) after a refused
  // registration: until the commits on their way end (then it registers, kChanged), a
  // signal (kInterrupted) or the time's end. nullopt when the wait could not be sent.
  std::optional<Outcome> _awaitCommits(int64_t slice, int64_t millis);
  // kChanged, or kInterrupted when a signal the caller handles came while held; the
  // caller's signal mask is back either way.
  Outcome _changedUnlessSignalled();
  // ppoll on `fd` (none when < 0) for at most `millis` ms with the caller's signal mask:
  // its return value, and `interrupted` set when a signal the caller handles came.
  int _poll(int fd, int64_t millis, bool& interrupted);
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
