// What the two kinds of connection share: a business element (QuorBusinessElement) and a
// client (QuorClient) choose their syncpoint strategy the same way, end the process the
// same way when they cannot start, skip messages the middleware suppressed the same way,
// and turn a failed commit or rollback into a pending error the same way. Only the catalog
// entries they raise differ.
#ifndef ZVR_QUORCONNECTION_H
#define ZVR_QUORCONNECTION_H

#include <memory>

#include "qlx.h"

class QuorTransaction;

// A catalog entry with the severity a connection raises it with.
struct ZvrRaised {
  const char* id;
  unsigned severity;
  const char* text;
  const char* userAction;
};

// QuorLocalSync bound to `handle` for syncpoint type 1, QuorNoSync for 0; null for any
// other type.
std::unique_ptr<QuorTransaction> zvrMakeTransaction(unsigned long syncType, QLXHANDLE handle);

// Writes `entry` (a QuorError carrying `record`) to the log, keeps it in ZVRerror and ends
// the process with status 1. A connection already made (`handle` not 0) is ended first so
// that the middleware does not wait for its process check to notice.
[[noreturn]] void zvrConnectionFailed(QLXHANDLE& handle, const ZvrRaised& entry,
                                      const QLXERROR& record);

// After a failed get: reads the middleware's last error. When it says the middleware
// suppressed the message (zvrIsSuppressed; `gotResponse` for a client's get) writes
// `suppressed` to the log and returns true: the caller commits the unit and gets again.
// Otherwise stores `failed` in ZVRerror and returns false.
bool zvrSkipSuppressed(const ZvrRaised& suppressed, const ZvrRaised& failed, bool gotResponse);

// The result of a commit or rollback: 1, or 0 with `failed` (a QuorError) in ZVRerror,
// not logged.
int zvrUnitOutcome(int done, const ZvrRaised& failed);

#endif  // ZVR_QUORCONNECTION_H
