// Helpers for end-to-end tests of the component servers (zvrbc, zvrtbc): a fresh broker
// home with a directory, the real program started as a child process with the stand-in
// engine's sample maps, and what an operator would look at afterwards (the broker log, the
// queues, the error queues, the program's standard error and exit status).
//
//   class MyTest : public zvr::testing::ServerHome {
//     std::string directoryText() const override { return "[element.T]..."; }
//   };
//   TEST_F(MyTest, X) {
//     ChildProcess server = start("zvrtbc", {"-e", "T"});
//     ASSERT_TRUE(waitForLog("Initialized."));
//     send("SVC", "C1", "body", "ORDERS");
//     std::string body;
//     ASSERT_TRUE(awaitMessage("client:C1", body));
//     server.signal(SIGTERM);
//     EXPECT_EQ(server.wait(1000), 0);
//   }
//
// Every wait is bounded (ChildProcess).
#ifndef ZVR_TESTS_SERVER_TESTING_H
#define ZVR_TESTS_SERVER_TESTING_H

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/zvr_testing.h"

namespace zvr::testing {

// A broker home with a directory loaded (DirectoryHome), the sample maps on the engine's
// path, and the programs of this build at hand.
class ServerHome : public DirectoryHome {
 protected:
  void SetUp() override {
    DirectoryHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    setenv("MERC_MAP_PATH", (buildDir() + "/maps").c_str(), 1);
  }

  static std::string programPath(const std::string& program) {
    return buildDir() + "/bin/" + program;
  }
  static bool haveProgram(const std::string& program) {
    return !buildDir().empty() && std::filesystem::exists(programPath(program));
  }

  // Starts `program` of this build with `args`; its output files are named after the
  // count of programs this test started.
  ChildProcess start(const std::string& program, const std::vector<std::string>& args) {
    const std::string stem = home() + "/" + program + "." + std::to_string(++started_);
    std::vector<std::string> words{programPath(program)};
    words.insert(words.end(), args.begin(), args.end());
    return ChildProcess(words, stem + ".out", stem + ".err");
  }

  // Runs `program` to its end (at most `millis`); returns the exit status, with its
  // standard error in `errors` when given.
  int runToEnd(const std::string& program, const std::vector<std::string>& args, int millis,
               std::string* errors = nullptr) {
    ChildProcess process = start(program, args);
    const int status = process.wait(millis);
    if (errors) *errors = process.standardError();
    return status;
  }

  // Puts `body` to `service` as `client` (qlxadm send); true when it was sent.
  bool send(const std::string& service, const std::string& client, const std::string& body,
            const std::string& format = "") {
    std::string output;
    std::string args = "send '" + service + "' --as '" + client + "'";
    if (!format.empty()) args += " --format '" + format + "'";
    const int status = qlxadm(args + " '" + body + "'", &output);
    EXPECT_EQ(status, 0) << output;
    return status == 0;
  }

  // Takes the first message of `queue` (as qlxadm names it: "client:C1", "element:E",
  // ...) within `millis`; its body (with a line end added by qlxadm where it had none)
  // goes to `body`. False when none came.
  bool awaitMessage(const std::string& queue, std::string& body, int millis = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    do {
      const int status = qlxadm("get '" + queue + "'", &body);
      if (status == 0) return true;
      // A get that did not end by itself may have taken a message nobody will see.
      if (status < 0) {
        ADD_FAILURE() << "qlxadm get " << queue << " did not end normally: " << body;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    body.clear();
    return false;
  }

  // True once the broker log holds `text` (within `millis`).
  bool waitForLog(const std::string& text, int millis = 5000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    do {
      if (logText().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // True once the broker log says that the server `process` has started (within
  // `millis`): its "<title> Initialized." line.
  bool waitUntilServing(const ChildProcess& process, int millis = 5000) const {
    const std::string pid = " " + std::to_string(process.pid()) + " ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    do {
      std::istringstream lines(logText());
      std::string line;
      while (std::getline(lines, line)) {
        if (line.find(pid) != std::string::npos &&
            line.find("Component Initialized.") != std::string::npos)
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // How often `text` stands in the broker log.
  size_t logCount(const std::string& text) const {
    const std::string log = logText();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
      ++count;
    return count;
  }

  // One line of `qlxadm queues`; all 0 for a queue not listed.
  struct QueueState {
    long long depth = 0, inFlight = 0, backedOut = 0, maxBackout = 0;
  };
  // A listing that failed fails the test rather than read as empty queues.
  QueueState queueState(const std::string& queue) const {
    std::string text;
    const int status = qlxadm("queues", &text);
    EXPECT_EQ(status, 0) << text;
    std::istringstream lines(text);
    std::string line;
    QueueState state;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string name;
      if (words >> name && name == queue)
        words >> state.depth >> state.inFlight >> state.backedOut >> state.maxBackout;
    }
    return state;
  }

  // The output of a qlxadm command that lists something (queues, errors, browse QUEUE).
  std::string adminText(const std::string& args) const {
    std::string output;
    qlxadm(args, &output);
    return output;
  }

 private:
  int started_ = 0;
};

// One case per server program (the parameter, e.g. "zvrbc"), skipped when this build has
// not got it, in a home whose directory has element T serving service S for client C1.
class EachServer : public ServerHome, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string directoryText() const override {
    return "[element.T]\nformats = [\"*\"]\n[client.C1]\nformats = []\n"
           "[service.S]\nworkflow = [\"element:T\", \"origin\"]\n";
  }
  void SetUp() override {
    ServerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!haveProgram(GetParam())) GTEST_SKIP() << GetParam() << " is not part of this build";
  }
};

}  // namespace zvr::testing

#endif  // ZVR_TESTS_SERVER_TESTING_H
