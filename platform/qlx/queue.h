// Queues and units of work. A message is a row of the message table; a get takes the
// first ready message of a queue that matches, claiming it (local unit of work),
// deleting it (no unit of work) or only reading it (browse). Puts of a local unit of work
// wait in memory until commit, which makes them visible and deletes the claimed messages
// in one database transaction; rollback returns the claimed messages to the front of
// their queues with the backout count raised by one and drops the waiting puts.
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

struct UnitOfWork {
  std::vector<MessageRow> staged;
  bool claimed = false;  // a get of this unit claimed a message
  bool empty() const { return staged.empty() && !claimed; }
};

// What a get matches besides the queue; null members match anything.
struct Match {
  const unsigned char* msgId = nullptr;
  const unsigned char* correlId = nullptr;
  const unsigned char* themeId = nullptr;
};

enum class Take { kClaim, kDelete, kBrowse };

// Result of takeMessage: 1 found, 0 none, -1 database failure.
int takeMessage(Store& store, const std::string& queue, const Match& match, Take take,
                int64_t owner, MessageRow& row);
bool insertMessage(Store& store, const MessageRow& row);
// Reads one message by id: 1 found, 0 not there, -1 database failure.
int readMessage(Store& store, int64_t id, MessageRow& row);
bool commitUnit(Store& store, int64_t owner, const std::vector<MessageRow>& staged);
// Returns claimed messages of `owner` to the front of their queues (backout + 1); within
// the caller's transaction when `inTransaction`.
bool rollbackClaims(Store& store, int64_t owner, bool inTransaction);

// Sets the put time of `row` to now.
void stampNow(MessageRow& row);
// Copies the descriptor's integer fields and its format name (read within its 132 bytes)
// into the row; ids, buffers and the time stamp are each caller's own.
void takeDescriptorFields(const QLXMSG& msg, MessageRow& row);

}  // namespace qlx

#endif  // QLX_QUEUE_H
