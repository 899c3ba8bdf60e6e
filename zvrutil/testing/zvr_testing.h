// Helpers for the system's GoogleTest suites.
//
//   EXPECT_ZVR_FAILURE(expr, "ZVRR0002")  expr yields 0 or null AND ZVRerror carries that id
//   ASSERT_ZVR_FAILURE(expr, "ZVRR0002")  the same, fatal
//   class FooTest : public zvr::testing::BrokerHome {};
//       each test runs against a fresh, empty broker home (QLX_HOME points at a new
//       temporary directory that is removed afterwards); ZVRerror is cleared before and
//       after the test. Under QLX_TEST_STORE=postgres the broker is a fresh schema on the
//       test run's PostgreSQL cluster instead (test_store.h; the home keeps the log), and
//       the test is skipped with the reason when the run has no cluster; onPostgres()
//       tells a test which store it runs on. A derived SetUp returns when IsSkipped(). qlxadm("load dir.toml") runs the admin tool on that home;
//       logText() reads the middleware log back.
//   class BarTest : public zvr::testing::DirectoryHome {
//     std::string directoryText() const override { return "[element.E]..."; }
//   };
//       the same with that directory loaded, skipped where the build has no qlxadm, and
//       every broker wait of the test cut short by an alarm after 60 seconds.
#ifndef ZVR_TESTING_H
#define ZVR_TESTING_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "erroradt.h"
#include "testing/temp_home.h"
#include "testing/test_store.h"

namespace zvr::testing {

// Checks both halves of a failure: the result is 0/null and the pending error has `id`.
template <typename T>
::testing::AssertionResult zvrFailed(const char* exprText, const char* /*idText*/, T result,
                                     const char* id) {
  if (result) {
    return ::testing::AssertionFailure() << exprText << " succeeded; expected a failure "
                                         << "with " << id;
  }
  if (ZVRerror == nullptr) {
    return ::testing::AssertionFailure() << exprText << " failed but ZVRerror is empty; "
                                         << "expected " << id;
  }
  const char* got = ZVRerror->id() ? ZVRerror->id() : "(no id)";
  if (std::string(got) != id) {
    return ::testing::AssertionFailure() << exprText << " failed with " << got
                                         << ", expected " << id << ":" << *ZVRerror;
  }
  return ::testing::AssertionSuccess();
}

// The build tree (ctest sets ZVR_BUILD_DIR for every test), or empty.
inline std::string buildDir() {
  const char* dir = std::getenv("ZVR_BUILD_DIR");
  return dir ? dir : "";
}

// The admin tool of the embedded broker, or empty when this build has none.
inline std::string qlxadmPath() {
  std::string dir = buildDir();
  if (dir.empty()) return "";
  std::string path = dir + "/bin/qlxadm";
  return std::filesystem::exists(path) ? path : "";
}

// Reads a whole file; empty when it is missing.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A copy of the directory file `source` written to `target`, its exits (the default
// build's libzvrear.so, named relative to the file) replaced by this build's: qlxadm load
// refuses an exit it cannot load, and another preset has no build/ beside the sources.
// Returns `target`.
inline std::string directoryForThisBuild(const std::string& source, const std::string& target) {
  std::string text = readFile(source);
  const std::string exit = buildDir() + "/lib/libzvrear.so";
  for (const char* relative : {"\"../../build/lib/libzvrear.so\"", "\"../build/lib/libzvrear.so\""}) {
    for (size_t at; (at = text.find(relative)) != std::string::npos;)
      text.replace(at, std::strlen(relative), "\"" + exit + "\"");
  }
  std::ofstream(target, std::ios::binary) << text;
  return target;
}

class BrokerHome : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("QLX_HOME")) oldHome_ = old;
    if (const char* old = std::getenv("QLX_BROKER")) oldBroker_ = old;
    unsetenv("QLX_BROKER");
    ASSERT_TRUE(makeTempHome("zvr-test-", home_));
    zvrClearError();
    // A re-executed death-test child made this home for itself and usually ends with
    // exit() before TearDown: remove the home when it exits.
    if (!GTEST_FLAG_GET(internal_run_death_test).empty()) removeAtExit(home_);
    useTestBroker(schema_);
  }

  void TearDown() override {
    zvrClearError();
    schema_.drop();
    removeTempHome(home_);
    if (oldHome_) setenv("QLX_HOME", oldHome_->c_str(), 1);
    if (oldBroker_)
      setenv("QLX_BROKER", oldBroker_->c_str(), 1);
    else
      unsetenv("QLX_BROKER");
  }

  const std::string& home() const { return home_; }

  // The middleware log of this home so far.
  std::string logText() const { return readFile(std::filesystem::path(home_) / "log"); }

  // Runs qlxadm with `args` (a shell word list) on this home; returns its exit status,
  // or -1 when this build has no qlxadm. Output goes to `output` when given.
  int qlxadm(const std::string& args, std::string* output = nullptr) const {
    std::string tool = qlxadmPath();
    if (tool.empty()) return -1;
    std::string command = "QLX_HOME='" + home_ + "' '" + tool + "' " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    const std::string text = readToEnd(fileno(pipe));
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Everything the descriptor `fd` yields up to its end. A signal the test catches (the
  // alarm of interruptWaitsAfter) may interrupt a read: that read is tried again. Giving
  // up there would close the pipe under the tool, which then dies of SIGPIPE, and what it
  // had done (a message sent or taken) would be lost to the test, or its listing cut.
  static std::string readToEnd(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0)
        text.append(chunk, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        return text;
    }
  }

 private:
  static void removeAtExit(const std::string& home) {
    static std::string childHome;
    childHome = home;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(childHome, ignored);
    });
  }

  std::string home_;
  std::optional<std::string> oldHome_;
  std::optional<std::string> oldBroker_;
  PostgresSchema schema_;
};

// A broker wait that a signal interrupts fails: an alarm after `seconds` turns a hang (a
// message that never comes) into a failed get.
inline void interruptWaitsAfter(unsigned seconds) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, nullptr);
  alarm(seconds);
}

// The smallest directory of a round trip: element E (any format), client C1, and service
// ECHO whose workflow is E then the client that sent the request.
inline const char* const kEchoDirectory = R"toml(
[element.E]
formats = ["*"]
[client.C1]
formats = []
[service.ECHO]
workflow = ["element:E", "origin"]
)toml";

class DirectoryHome : public BrokerHome {
 protected:
  // The directory (TOML text of qlxadm load) every test of the fixture starts with.
  virtual std::string directoryText() const = 0;

  void SetUp() override {
    BrokerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    interruptWaitsAfter(60);
    if (qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
    const std::string path = home() + "/directory.toml";
    std::ofstream(path) << directoryText();
    std::string output;
    ASSERT_EQ(qlxadm("load '" + path + "'", &output), 0) << output;
  }

  void TearDown() override {
    alarm(0);
    BrokerHome::TearDown();
  }
};

}  // namespace zvr::testing

#define EXPECT_ZVR_FAILURE(expr, id) \
  EXPECT_PRED_FORMAT2(::zvr::testing::zvrFailed, (expr), (id))
#define ASSERT_ZVR_FAILURE(expr, id) \
  ASSERT_PRED_FORMAT2(::zvr::testing::zvrFailed, (expr), (id))

#endif  // ZVR_TESTING_H
