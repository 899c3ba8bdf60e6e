// Signals held and looked at by the stores' waits.
#include "wait_signals.h"

#include <initializer_list>

namespace qlx {

sigset_t waitHeldSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&set, s);
  return set;
}

bool caughtSignalPending(const sigset_t& saved) {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&pending, sig) != 1 || sigismember(&saved, sig) != 0) continue;
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_DFL &&
        now.sa_handler != SIG_IGN)
      return true;
  }
  return false;
}

}  // namespace qlx
