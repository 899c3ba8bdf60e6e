// Queues and units of work. A message is a row of the message table; a get takes the
// first message of a queue that matches and that no unit of work holds, claiming it (local
// unit of work: a claim lock, no database write), deleting it (no unit of work) or only
// reading it (browse). Puts of a local unit of work wait in memory until commit, which
// deletes the claimed messages and makes the puts visible in one database transaction;
// rollback returns the claimed messages to the front of their queues with the backout
// count raised by one and drops the waiting puts.
#ifndef QLX_QUEUE_H
#define QLX_QUEUE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qlx.h"
#include "theme.h"

namespace qlx {

class Store;

// Error-queue fields of a reported request.
struct ErrorInfo {
  int32_t reason = 0;
  int32_t subReason = 0;
  int32_t callType = 0;
  std::string text;
  uint32_t defaultActions = 0;
  uint32_t performedActions = 0;
  std::string reporter;  // the connection that reported it
};

struct MessageRow {
  int64_t id = 0;
  std::string queue;
  int64_t backout = 0;
  int32_t msgType = 0, priority = -2, persistence = -2, format = -2;
  int32_t feedback = -2, expiry = -2, codePage = -2, encoding = -2;
  std::string msgId, correlId;  // 24 bytes each
  std::string formatName;       // at most 132 bytes, no NUL
  int64_t putSec = 0, putMillis = 0;
  Theme theme;
  std::string body, tag;
  std::optional<ErrorInfo> error;
};

// A message held by a unit of work.
struct Claim {
  int64_t id = 0;
  std::string queue;
};

struct UnitOfWork {
  std::vector<MessageRow> staged;
  std::vector<Claim> claims;  // in the order the gets took them
  uint64_t startedMicros = 0;  // monotonic time of the first claim (metrics.h)
  bool empty() const { return staged.empty() && claims.empty(); }
};



// What a get matches besides the queue; null members match anything. The messages the
// getting unit already holds are never taken again (its own claim locks do not stop it).
struct Match {
  const unsigned char* msgId = nullptr;
  const unsigned char* correlId = nullptr;
  const unsigned char* themeId = nullptr;
  const std::vector<Claim>* held = nullptr;
};

enum class Take { kClaim, kDelete, kBrowse };

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
// Wakes the waiters of every queue named in `queues` and of every staged put.
void notifyQueues(Store& store, const std::vector<std::string>& queues);

// Sets the put time of `row` to now.
void stampNow(MessageRow& row);
// Copies the descriptor's integer fields and its format name (read within its 132 bytes)
// into the row; ids, buffers and the time stamp are each caller's own.
void takeDescriptorFields(const QLXMSG& msg, MessageRow& row);

}  // namespace qlx

#endif  // QLX_QUEUE_H
