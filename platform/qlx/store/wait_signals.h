// The signal handling that every store's wait shares: a waiting get holds the signals that
// would stop a program while it looks at its queue, and lets them through only while it
// sleeps, so a stop signal ends the wait at once and is never lost between look and sleep.
#ifndef QLX_WAIT_SIGNALS_H
#define QLX_WAIT_SIGNALS_H

#include <signal.h>

namespace qlx {

// Every signal but those that report a fault of the calling thread (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS), which must stay deliverable.
sigset_t waitHeldSignals();

// True when a signal that `saved` (the mask outside the wait) lets through is pending and
// has a handler: only such a signal would have interrupted the wait. An ignored one is
// dropped when unblocked and a fatal one ends the process anyway.
bool caughtSignalPending(const sigset_t& saved);

}  // namespace qlx

#endif  // QLX_WAIT_SIGNALS_H
