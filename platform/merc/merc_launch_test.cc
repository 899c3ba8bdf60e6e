// The launch's signal reset: the kernel's list of caught signals read and applied in the
// child between vfork and exec, where a handler of the component must never run.
#include "merc_launch.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace merc {
namespace {

TEST(MercCaughtSignals, StatusLineParses) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    uint64_t caught;
  };
  const Case cases[] = {
      {"usual", "Name:\tx\nSigIgn:\t0000000000001000\nSigCgt:\t0000000180004a02\nCpus:\t3\n",
       1, 0x180004a02ull},
      {"none caught", "SigBlk:\t0\nSigCgt:\t0000000000000000\n", 1, 0},
      {"every signal", "x\nSigCgt:\tffffffffffffffff\n", 1, ~0ull},
      {"first line is not a field of its own", "SigCgt:\t1\n", 0, 0},
      {"missing", "Name:\tx\nSigIgn:\t0000000000001000\n", 0, 0},
      {"cut before its end", "x\nSigCgt:\t00000000000", 0, 0},
      {"empty value", "x\nSigCgt:\t\n", 0, 0},
      {"seventeen digits", "x\nSigCgt:\t10000000000000000\n", 0, 0},
      {"not hexadecimal", "x\nSigCgt:\t00000000000000zz\n", 0, 0},
      {"upper-case digits are not the kernel's", "x\nSigCgt:\t00000000000000FF\n", 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t caught = 7;
    EXPECT_EQ(mercParseCaughtSignals(c.text.data(), c.text.size(), caught), c.result) << c.name;
    EXPECT_EQ(caught, c.result ? c.caught : 7u) << c.name;
  }
}

void _handler(int) {}

uint64_t _bit(int sig) { return uint64_t{1} << (sig - 1); }

// What each signal's action is, asked one by one: the answer the list must agree with.
uint64_t _caughtByQuery() {
  uint64_t mask = 0;
  for (int sig = 1; sig < NSIG && sig <= 64; ++sig) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_DFL &&
        now.sa_handler != SIG_IGN) {
      mask |= _bit(sig);
    }
  }
  return mask;
}

// A child with handlers on a classic and a real-time signal (the bits above 32) and one
// signal ignored; `body` returns its exit status.
template <typename Body>
int _inChildWithHandlers(Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    struct sigaction catching {};
    catching.sa_handler = _handler;
    sigaction(SIGUSR2, &catching, nullptr);
    sigaction(SIGRTMIN + 3, &catching, nullptr);
    signal(SIGURG, SIG_IGN);
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(MercCaughtSignals, ListAgreesWithEachSignalsAction) {
  EXPECT_EQ(_inChildWithHandlers([] {
              uint64_t caught = 0;
              if (!mercCaughtSignals(caught)) return 2;
              if (!(caught & _bit(SIGUSR2)) || !(caught & _bit(SIGRTMIN + 3))) return 3;
              if (caught & _bit(SIGURG)) return 4;
              // The two signals below SIGRTMIN are the C library's own: it refuses to
              // tell their actions, so only the rest can be compared.
              const uint64_t own = _bit(SIGRTMIN - 1) | _bit(SIGRTMIN - 2);
              return (caught & ~own) == (_caughtByQuery() & ~own) ? 0 : 5;
            }),
            0);
}

TEST(MercCaughtSignals, ResetLeavesNoHandlerAndKeepsWhatIsIgnored) {
  EXPECT_EQ(_inChildWithHandlers([] {
              if (_caughtByQuery() == 0) return 2;
              mercResetCaughtSignals();
              if (_caughtByQuery() != 0) return 3;
              struct sigaction urg {};
              sigaction(SIGURG, nullptr, &urg);
              return urg.sa_handler == SIG_IGN ? 0 : 4;
            }),
            0);
}

}  // namespace
}  // namespace merc
