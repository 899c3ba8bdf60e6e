// The wait's wake-ups: a commit's write of the wake file, and the end of a process that
// held a lease file open for writing (however it ends), but not a look at a lease.
#include "wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace qlx {
namespace {

class WaiterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qlx-wait-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    std::filesystem::create_directory(home_ + "/lease");
    std::ofstream(home_ + "/wake");
    std::ofstream(home_ + "/lease/other");
    waiter_.watch(home_ + "/wake", nullptr);
    waiter_.watchEndings(home_ + "/lease");
    // The watches are made on first use; the first sleep only sets them up.
    waiter_.block();
    waiter_.sleep(0);
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  // Runs `action` in a child process that then ends, as a holder or a writer would.
  static void inChild(const std::function<void()>& action) {
    pid_t pid = fork();
    if (pid == 0) {
      action();
      _exit(0);
    }
    waitpid(pid, nullptr, 0);
  }

  std::string home_;
  Waiter waiter_;
};

TEST_F(WaiterTest, WakesForACommitAndForAnEndedHolderOnly) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> act;
    Waiter::Outcome outcome;
    bool ending;
  };
  const Case cases[] = {
      {"nothing happens", [](const std::string&) {}, Waiter::kTimedOut, false},
      {"a commit writes the wake file",
       [](const std::string& home) { std::ofstream(home + "/wake") << "x"; }, Waiter::kChanged,
       false},
      {"a holder ends without closing its lease",
       [](const std::string& home) {
         inChild([&] { open((home + "/lease/holder").c_str(), O_RDWR | O_CREAT, 0600); });
       },
       Waiter::kChanged, true},
      {"somebody looks at a lease",
       [](const std::string& home) { close(open((home + "/lease/other").c_str(), O_RDONLY)); },
       Waiter::kTimedOut, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    waiter_.block();
    c.act(home_);
    EXPECT_EQ(waiter_.sleep(150), c.outcome);
    EXPECT_EQ(waiter_.takeEnding(), c.ending);
    EXPECT_FALSE(waiter_.takeEnding());
  }
}

volatile sig_atomic_t gSignalled = 0;
void onSignal(int) { gSignalled = 1; }

// A signal that arrives with a wake-up (as a stop arrives with the end of the servers
// beside) must still end the wait, not be handled after it and lost to the caller.
TEST_F(WaiterTest, ASignalThatComesWithAWakeUpInterrupts) {
  struct sigaction action {};
  struct sigaction before {};
  action.sa_handler = onSignal;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
  gSignalled = 0;
  waiter_.block();
  raise(SIGUSR1);
  std::ofstream(home_ + "/wake") << "x";
  EXPECT_EQ(waiter_.sleep(150), Waiter::kInterrupted);
  EXPECT_EQ(gSignalled, 1);
  sigaction(SIGUSR1, &before, nullptr);
}

}  // namespace
}  // namespace qlx
