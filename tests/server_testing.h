// Helpers for end-to-end tests of the component servers (zvrbc, zvrtbc): a fresh broker
// home with a directory, the real program started as a child process with the stand-in
// engine's sample maps, and what an operator would look at afterwards (the broker log, the
// queues, the error queues, the program's standard error and exit status).
//
//   class MyTest : public zvr::testing::ServerHome {
//     std::string directoryText() const override { return "[element.T]..."; }
//   };
//   TEST_F(MyTest, X) {
//     ServerProcess server = start("zvrtbc", {"-e", "T"});
//     ASSERT_TRUE(waitForLog("Initialized."));
//     send("SVC", "C1", "body", "ORDERS");
//     std::string body;
//     ASSERT_TRUE(awaitMessage("client:C1", body));
//     server.signal(SIGTERM);
//     EXPECT_EQ(server.wait(1000), 0);
//   }
//
// Every wait is bounded; a program that does not end in time is killed and its status
// reads as kTimedOut.
#ifndef ZVR_TESTS_SERVER_TESTING_H
#define ZVR_TESTS_SERVER_TESTING_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/zvr_testing.h"

namespace zvr::testing {

// A server program running as a child of the test. Standard output and error go to files
// in the broker home. The destructor kills a program still running.
class ServerProcess {
 public:
  static constexpr int kTimedOut = -1000;
  static constexpr int kNotStarted = -1001;

  ServerProcess() = default;
  ServerProcess(const std::string& program, const std::vector<std::string>& args,
                const std::string& outputStem) {
    stdoutPath_ = outputStem + ".out";
    stderrPath_ = outputStem + ".err";
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) _exec(words);
  }
  ~ServerProcess() {
    if (pid_ > 0 && status_ == kNotStarted) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
  }
  ServerProcess(ServerProcess&& other) noexcept { *this = std::move(other); }
  ServerProcess& operator=(ServerProcess&& other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(status_, other.status_);
    std::swap(stdoutPath_, other.stdoutPath_);
    std::swap(stderrPath_, other.stderrPath_);
    return *this;
  }

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  void signal(int number) const {
    if (pid_ > 0 && status_ == kNotStarted) ::kill(pid_, number);
  }

  // The exit status once the program has ended within `millis`; a program killed by a
  // signal gives 128 + the signal; kTimedOut (after killing it) when it did not end.
  int wait(int millis) {
    if (pid_ <= 0) return kNotStarted;
    if (status_ != kNotStarted) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    for (;;) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        status_ = kTimedOut;
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // True while the program has not ended (it is not reaped here).
  bool running() const {
    if (pid_ <= 0 || status_ != kNotStarted) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  std::string standardOutput() const { return readFile(stdoutPath_); }
  std::string standardError() const { return readFile(stderrPath_); }

 private:
  [[noreturn]] void _exec(const std::vector<std::string>& words) const {
    int out = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) ::dup2(out, 1);
    if (err >= 0) ::dup2(err, 2);
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    // The test may have blocked or caught signals (alarms); the program starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }

  pid_t pid_ = -1;
  int status_ = kNotStarted;
  std::string stdoutPath_;
  std::string stderrPath_;
};

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
  ServerProcess start(const std::string& program, const std::vector<std::string>& args) {
    const std::string stem = home() + "/" + program + "." + std::to_string(++started_);
    return ServerProcess(programPath(program), args, stem);
  }

  // Runs `program` to its end (at most `millis`); returns the exit status, with its
  // standard error in `errors` when given.
  int runToEnd(const std::string& program, const std::vector<std::string>& args, int millis,
               std::string* errors = nullptr) {
    ServerProcess process = start(program, args);
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
      if (qlxadm("get '" + queue + "'", &body) == 0) return true;
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
  bool waitUntilServing(const ServerProcess& process, int millis = 5000) const {
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
  QueueState queueState(const std::string& queue) const {
    std::istringstream lines(adminText("queues"));
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
