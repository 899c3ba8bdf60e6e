// Queues and units of work as the core sees them. A get takes the first message of a queue
// that matches and that no unit of work holds, claiming it (local unit of work), deleting
// it (no unit of work) or only reading it (browse). Puts of a local unit of work wait in
// memory until commit, which removes the claimed messages and makes the puts visible at
// once; rollback returns the claimed messages to the front of their queues with the
// backout count raised by one and drops the waiting puts. The store (broker_store.h) does
// the taking, committing and rolling back.
#ifndef QLX_QUEUE_H
#define QLX_QUEUE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qlx.h"
#include "theme.h"

namespace qlx {

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

// Sets the put time of `row` to now.
void stampNow(MessageRow& row);
// Copies the descriptor's integer fields and its format name (read within its 132 bytes)
// into the row; ids, buffers and the time stamp are each caller's own.
void takeDescriptorFields(const QLXMSG& msg, MessageRow& row);

}  // namespace qlx

#endif  // QLX_QUEUE_H
