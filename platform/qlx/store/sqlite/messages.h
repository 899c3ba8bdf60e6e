// The message table of the SQLite store: the operations SqliteBrokerStore builds its units
// of work from. A claim is the store's claim lock on the message's id (claims.h).
#ifndef QLX_SQLITE_MESSAGES_H
#define QLX_SQLITE_MESSAGES_H

#include <cstdint>
#include <string>
#include <vector>

#include "queue.h"
#include "store.h"

namespace qlx::sqlite {

// Takes the first message of `queue` that matches and that nobody holds. 1 found (with
// kClaim the store's claim lock on row.id is held: the caller records or releases it), 0
// none, -1 failure (noted on the store).
int takeMessage(Store& store, const std::string& queue, const Match& match, Take take,
                MessageRow& row);
// Inserts a message; within the caller's transaction when there is one. False on failure.
bool insertMessage(Store& store, const MessageRow& row);
// Reads one message by id: 1 found, 0 not there, -1 database failure.
int readMessage(Store& store, int64_t id, MessageRow& row);

// Commits a unit in one transaction: deletes every claimed message and inserts the staged
// puts. 1 done; 0 database failure; -1 refused because a claimed message is no longer
// there (someone else took it): nothing of the unit was written. The claim locks are
// the caller's to release.
int commitUnit(Store& store, const UnitOfWork& unit);
// Returns claimed messages to the front of their queues with the backout count raised by
// one, keeping their order; messages no longer there are skipped. Within the caller's
// transaction when `inTransaction`. The queues written are added to `queues`.
bool returnClaims(Store& store, const std::vector<int64_t>& ids, bool inTransaction,
                  std::vector<std::string>& queues);
// Wakes the waiters of every queue named in `queues` (each once).
void notifyQueues(Store& store, const std::vector<std::string>& queues);

}  // namespace qlx::sqlite

#endif  // QLX_SQLITE_MESSAGES_H
