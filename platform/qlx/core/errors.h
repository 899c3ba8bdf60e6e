// Reason codes of the broker and the last error of the calling thread. Every failing call
// records its reason (and a sub-reason where one says more) here, once, where the failure
// is detected; qlxGetLastError copies it out and qlxFormatError renders it.
#ifndef QLX_ERRORS_H
#define QLX_ERRORS_H

#include <cstdint>

#include "qlx.h"

namespace qlx {

// Reasons of the broker. Faults injected with `qlxadm fault` carry whatever reason the
// operator chose (26 = suppressed).
enum Reason : int32_t {
  kReasonInvalidHandle = 16,     // no such connection in this process
  kReasonNoMessage = 20,         // no message within the wait
  kReasonStorage = 23,           // database failure; sub-reason: SQLite extended code
  kReasonSuppressed = 26,        // (injected only)
  kReasonInvalidTheme = 28,      // no such theme handle on the connection
  kReasonInvalidArgument = 29,   // missing or malformed record; sub-reason: argument number
  kReasonUnsupported = 30,       // query code or build option not known
  kReasonBuffer = 31,            // buffer lengths disagree, or not the broker's allocation
  kReasonWrongKind = 40,         // call not valid for a client / business element
  kReasonSyncpoint = 45,         // syncpoint type neither 0 nor 1
  kReasonLog = 46,               // log cannot be written; sub-reason: errno
  kReasonUnknownService = 60,    // service not in the directory, or without hops
  kReasonEndOfWorkflow = 61,     // no hop follows
  kReasonUnknownName = 62,       // element or client name not in the directory
  kReasonHome = 64,              // broker home cannot be opened
  kReasonForeignProcess = 65,    // handle created by another process (after fork)
  kReasonInterrupted = 74,       // a signal ended the wait; sub-reason: EINTR
  kReasonExit = 75,              // the element's exit library cannot be used
  kReasonClaimLost = 76,         // commit refused: a claimed message was taken from the unit
};

inline constexpr int32_t kFacilityBroker = 0x514C58;  // "QLX"

// Records a failure of `callType` as the thread's last error and returns 0, so a call can
// `return fail(...)`. The text is cut to fit the detail record.
int fail(int32_t callType, int32_t reason, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int failSub(int32_t callType, int32_t reason, int32_t subReason, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The thread's last error (read-only view), and putting back one saved before work that
// must leave it unchanged.
const QLXERROR& lastError();
void restoreLastError(const QLXERROR& saved);

// The name a call type is known by in texts ("qlxGetRequest").
const char* callName(int32_t callType);

}  // namespace qlx

#endif  // QLX_ERRORS_H
