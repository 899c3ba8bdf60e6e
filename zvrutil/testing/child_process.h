// A program started by a test as a child process, the way an operator's script starts it:
// standard input from a file (/dev/null by default) or from a pipe the test writes to,
// standard output and error on files, the test's environment (QLX_HOME included) and no
// blocked signals.
//
//   ChildProcess tee({path, "-e", "TEE1"}, home() + "/tee.out", home() + "/tee.err");
//   ...
//   EXPECT_EQ(tee.stop(SIGINT), 0) << tee.standardError();
//
// Every wait is bounded; a program that does not end in time is killed and its status
// reads as kTimedOut. The destructor kills and reaps a program still running.
#ifndef ZVR_TESTING_CHILD_PROCESS_H
#define ZVR_TESTING_CHILD_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zvr_testing.h"

namespace zvr::testing {

class ChildProcess {
 public:
  static constexpr int kTimedOut = -1000;
  static constexpr int kNotStarted = -1001;
  static constexpr int kDefaultMillis = 60000;

  // Standard input from a pipe the test feeds with write() (see the constructor).
  static constexpr const char* kInputPipe = "";

  ChildProcess() = default;
  // Starts `words[0]` (a path) with the arguments that follow it and returns once it has
  // been exec'd, its output files open and truncated. Standard input comes from the file
  // `in`, or from a pipe when `in` is kInputPipe. `out` and `err` may name the same file
  // only if the program's output to it is not looked at.
  ChildProcess(const std::vector<std::string>& words, std::string out, std::string err,
               const std::string& in = "/dev/null")
      : stdoutPath_(std::move(out)), stderrPath_(std::move(err)) {
    if (!words.empty()) _start(words, in);
  }
  ~ChildProcess() {
    closeInput();
    if (pid_ > 0 && status_ == kNotStarted) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
  }
  ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(status_, other.status_);
    std::swap(stdoutPath_, other.stdoutPath_);
    std::swap(stderrPath_, other.stderrPath_);
    std::swap(input_, other.input_);
    return *this;
  }

  // Writes `text` to the program's standard input pipe; false when not all of it went.
  bool write(const std::string& text) const {
    return input_ >= 0 &&
           ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // Closes the standard input pipe: the program reads its end.
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (pid_ > 0 && status_ == kNotStarted) ::kill(pid_, number);
  }

  // The exit status once the program has ended within `millis`; a program killed by a
  // signal gives 128 + the signal; kTimedOut (after killing it) when it did not end. The
  // input pipe is closed first, so a program reading its standard input sees the end.
  int wait(int millis = kDefaultMillis) {
    closeInput();
    if (pid_ <= 0) return kNotStarted;
    if (status_ != kNotStarted) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    for (;;) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) return status_ = _statusOf(raw);
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &raw, 0);
        return status_ = kTimedOut;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Sends `number` and waits for the end as wait() does.
  int stop(int number = SIGTERM, int millis = kDefaultMillis) {
    signal(number);
    return wait(millis);
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
  void _start(const std::vector<std::string>& words, const std::string& in) {
    // argv is made before the fork: the child only redirects and execs.
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    int inputEnds[2] = {-1, -1};
    if (in.empty() && ::pipe2(inputEnds, O_CLOEXEC) != 0) return;
    // The exec closes the child's copy of execSeen[1]; the parent reads the end of the
    // pipe then.
    int execSeen[2] = {-1, -1};
    if (::pipe2(execSeen, O_CLOEXEC) == 0) {
      pid_ = ::fork();
      if (pid_ == 0) _exec(argv, in.c_str(), inputEnds[0]);
      ::close(execSeen[1]);
      if (pid_ > 0) _awaitExec(execSeen[0]);
      ::close(execSeen[0]);
    }
    if (inputEnds[0] >= 0) ::close(inputEnds[0]);
    input_ = inputEnds[1];
  }

  static int _statusOf(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }

  // Blocks until the child has exec'd or ended: either closes its write end.
  static void _awaitExec(int execSeen) {
    char ignored;
    while (::read(execSeen, &ignored, 1) < 0 && errno == EINTR) {
    }
  }

  [[noreturn]] void _exec(std::vector<char*>& argv, const char* in, int inputPipe) const {
    if (inputPipe >= 0)
      ::dup2(inputPipe, 0);
    else
      _redirect(0, in, O_RDONLY);
    _redirect(1, stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    _redirect(2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    // The test may have blocked or caught signals (alarms); the program starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  static void _redirect(int target, const char* path, int flags) {
    const int fd = ::open(path, flags, 0600);
    if (fd < 0 || fd == target) return;
    ::dup2(fd, target);
    ::close(fd);
  }

  pid_t pid_ = -1;
  int status_ = kNotStarted;
  int input_ = -1;
  std::string stdoutPath_;
  std::string stderrPath_;
};

}  // namespace zvr::testing

#endif  // ZVR_TESTING_CHILD_PROCESS_H
