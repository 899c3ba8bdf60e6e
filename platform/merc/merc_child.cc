// Running an executable map as a child process.
//
// The child gets input card 1 on standard input (a socket, so that a child that stops
// reading cannot raise SIGPIPE in this process), writes card 1 to standard output and its
// message to standard error, and writes cards 2, 3, ... as files "card2", "card3", ... in
// a fresh folder named by MERC_CARD_DIR, which is removed after the run. All three streams
// are served by one poll loop, so neither side can block the other whatever the sizes.
#include "merc_engine.h"
#include "merc_map.h"

#include "merc_workdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

extern char** environ;

namespace merc {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Standard error is drained whole but kept only up to this size.
constexpr std::size_t kMaxMessage = 64 * 1024;

std::string _systemError(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Moves a descriptor above 2, so that the child's dup2 onto 0, 1, 2 never meets it.
int _aboveStdio(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// Index 0: standard input, 1: standard output, 2: standard error.
struct Channels {
  Fd parent[3];
  Fd child[3];
};

// Takes over a fresh pair; `pair[0]` is this process's end.
void _adopt(const int pair[2], Fd& parentEnd, Fd& childEnd) {
  parentEnd.reset(_aboveStdio(pair[0]));
  childEnd.reset(_aboveStdio(pair[1]));
}

int _makeChannels(Channels& ch, std::string& error) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = _systemError("cannot create the input channel", errno);
    return 0;
  }
  _adopt(pair, ch.parent[0], ch.child[0]);
  for (int i = 1; i < 3; ++i) {
    if (pipe2(pair, O_CLOEXEC) != 0) {
      error = _systemError("cannot create the output pipes", errno);
      return 0;
    }
    _adopt(pair, ch.parent[i], ch.child[i]);
  }
  for (int i = 0; i < 3; ++i) {
    if (!ch.parent[i].open() || !ch.child[i].open()) {
      error = _systemError("cannot place the map's channels", errno);
      return 0;
    }
  }
  return 1;
}

// This process's environment with the engine's two variables set for the child.
std::vector<std::string> _childEnvironment(const std::string& cardDir,
                                           const std::string& options) {
  std::vector<std::string> env;
  for (char** var = environ; var != nullptr && *var != nullptr; ++var) {
    if (std::strncmp(*var, "MERC_CARD_DIR=", 14) == 0) continue;
    if (std::strncmp(*var, "MERC_OPTIONS=", 13) == 0) continue;
    env.emplace_back(*var);
  }
  env.push_back("MERC_CARD_DIR=" + cardDir);
  env.push_back("MERC_OPTIONS=" + options);
  return env;
}

// What the child does between vfork and exec. It shares this process's memory until the
// exec, so it makes system calls only: no allocation, no locks, no library state.
struct Launch {
  const char* path;
  char* const* argv;
  char* const* envp;
  int fds[3];
  pid_t parent;
  volatile int error;  // errno of a failed exec, read by the parent after vfork returns
};

// Signals that end a map by default even when this process ignores or catches them.
constexpr int kDefaultSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};

[[noreturn]] void _childSide(Launch& launch) {
  // This process's handlers must not run in the child while it shares the memory.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_DFL &&
        now.sa_handler != SIG_IGN) {
      sigaction(sig, &dfl, nullptr);
    }
  }
  for (int sig : kDefaultSignals) sigaction(sig, &dfl, nullptr);
  // Its own process group: an interrupt typed at the terminal reaches the component (which
  // finishes the request in hand) but not the map, and a time limit ends the whole group.
  setpgid(0, 0);
  // A map must not finish work for a unit of work that its server's death rolled back.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != launch.parent) _exit(127);
  for (int i = 0; i < 3; ++i) {
    if (dup2(launch.fds[i], i) < 0) {
      launch.error = errno;
      _exit(127);
    }
  }
  // Descriptors the component opened without close-on-exec are none of the map's business.
  syscall(SYS_close_range, 3u, ~0u, 0u);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(launch.path, launch.argv, launch.envp);
  launch.error = errno;
  _exit(127);
}

// vfork rather than fork: the component's memory is not copied for a process that execs
// at once, which keeps the start of a map independent of the component's size.
pid_t _vforkExec(Launch& launch) {
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  pid_t pid = vfork();
  if (pid == 0) _childSide(launch);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

int _spawn(const std::string& path, const Channels& ch, std::vector<std::string> env,
           pid_t& pid, std::string& error) {
  std::string argv0 = path;
  char* argv[] = {argv0.data(), nullptr};
  std::vector<char*> envp;
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  Launch launch{path.c_str(), argv, envp.data(), {}, getpid(), 0};
  for (int i = 0; i < 3; ++i) launch.fds[i] = ch.child[i].get();
  pid = _vforkExec(launch);
  int code = pid < 0 ? errno : launch.error;
  if (pid > 0 && code != 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (code != 0) {
    error = _systemError("map \"" + path + "\" cannot be started", code);
    return 0;
  }
  return 1;
}

void _sendSome(Fd& in, const unsigned char* data, std::size_t length, std::size_t& sent) {
  ssize_t n = send(in.get(), data + sent, std::min(kChunk, length - sent),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n > 0) sent += static_cast<std::size_t>(n);
  // A child that stops reading (EPIPE) simply gets no more of its input.
  if (sent == length || (n < 0 && errno != EAGAIN && errno != EINTR)) in.reset();
}

void _readSome(Fd& from, std::string& into, std::size_t limit, char* buffer) {
  ssize_t n = read(from.get(), buffer, kChunk);
  if (n > 0) {
    std::size_t keep = std::min(static_cast<std::size_t>(n), limit - std::min(limit, into.size()));
    into.append(buffer, keep);
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    from.reset();
  }
}

int64_t _nowMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds poll may wait: -1 without a time limit, 0 once it has passed.
int _pollTimeout(int64_t deadline) {
  if (deadline < 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(deadline - _nowMillis(), 0, INT32_MAX));
}

enum PumpOutcome { kPumpFailed, kPumpDone, kPumpTimedOut };

// Feeds the input and drains both outputs until all three channels are closed, or the
// deadline (monotonic milliseconds; -1: none) passes.
PumpOutcome _pump(Channels& ch, const MercCommand& command, int64_t deadline, MapResult& result,
                  std::string& error) {
  std::vector<char> buffer(kChunk);
  std::size_t sent = 0;
  if (command.inputLength == 0) ch.parent[0].reset();
  while (ch.parent[0].open() || ch.parent[1].open() || ch.parent[2].open()) {
    pollfd fds[3];
    int which[3];
    nfds_t n = 0;
    for (int i = 0; i < 3; ++i) {
      if (!ch.parent[i].open()) continue;
      fds[n] = pollfd{ch.parent[i].get(), static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
      which[n++] = i;
    }
    const int ready = poll(fds, n, _pollTimeout(deadline));
    if (ready == 0) return kPumpTimedOut;
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = _systemError("cannot wait for the map", errno);
      return kPumpFailed;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      if (which[k] == 0) {
        _sendSome(ch.parent[0], command.input, command.inputLength, sent);
      } else if (which[k] == 1) {
        _readSome(ch.parent[1], result.cards[0], SIZE_MAX, buffer.data());
      } else {
        _readSome(ch.parent[2], result.message, kMaxMessage, buffer.data());
      }
    }
  }
  return kPumpDone;
}

int _wait(pid_t pid, int& status, std::string& error) {
  while (waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) continue;
    error = _systemError("cannot learn how the map ended", errno);
    return 0;
  }
  return 1;
}

void _classify(const std::string& path, int status, MapResult& result) {
  if (WIFEXITED(status)) {
    result.code = WEXITSTATUS(status);
    if (result.code != 0 && !mercIsWarning(result.code) && result.message.empty()) {
      result.message = "map \"" + path + "\" ended with exit status " +
                       std::to_string(result.code);
    }
    return;
  }
  int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  std::string what = "map \"" + path + "\" ended by signal " + std::to_string(sig);
  result.message = result.message.empty() ? what : what + ": " + result.message;
  result.code = kMercMapAborted;
}

// Card number of a file name "card<n>" (no leading zero), or 0 when it is not one.
unsigned _cardNumber(const char* name) {
  if (std::strncmp(name, "card", 4) != 0 || name[4] < '1' || name[4] > '9') return 0;
  unsigned card = 0;
  for (const char* p = name + 4; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || card > kZvrMapMaxCards) return 0;
    card = card * 10 + static_cast<unsigned>(*p - '0');
  }
  return card >= 2 && card <= kZvrMapMaxCards ? card : 0;
}

int _readFile(const std::string& path, std::string& into, std::string& error) {
  Fd fd;
  fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.open()) {
    error = _systemError("cannot open " + path, errno);
    return 0;
  }
  std::vector<char> buffer(kChunk);
  while (true) {
    ssize_t n = read(fd.get(), buffer.data(), buffer.size());
    if (n == 0) return 1;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = _systemError("cannot read " + path, errno);
      return 0;
    }
    into.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

// Reads the further cards; a gap in the numbers is an empty card.
int _readCards(const std::string& dir, MapResult& result, std::string& error) {
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) {
    error = _systemError("cannot read the card folder " + dir, errno);
    return 0;
  }
  int ok = 1;
  while (const dirent* entry = readdir(folder)) {
    unsigned card = _cardNumber(entry->d_name);
    if (card == 0) continue;
    if (result.cards.size() < card) result.cards.resize(card);
    if (!_readFile(dir + "/" + entry->d_name, result.cards[card - 1], error)) {
      ok = 0;
      break;
    }
  }
  closedir(folder);
  return ok;
}

// Ends the map and whatever it started in its process group.
void _killMap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

std::string _timeLimitMessage(const std::string& path, int64_t limit) {
  return "map \"" + path + "\" stopped at its time limit of " + std::to_string(limit) + " ms";
}

// Runs the spawned map to its end; 1 with the result classified, 0 with `error` set.
int _await(const std::string& path, const MercCommand& command, pid_t pid, Channels& ch,
           MapResult& result, std::string& error) {
  for (Fd& fd : ch.child) fd.reset();
  const int64_t deadline = command.timeLimitMs > 0 ? _nowMillis() + command.timeLimitMs : -1;
  PumpOutcome outcome = kPumpFailed;
  try {
    outcome = _pump(ch, command, deadline, result, error);
  } catch (const std::bad_alloc&) {
    error = "no memory for the output of map \"" + path + "\"";
  }
  if (outcome != kPumpDone) _killMap(pid);
  for (Fd& fd : ch.parent) fd.reset();
  int status = 0;
  if (!_wait(pid, status, error) || outcome == kPumpFailed) return 0;
  if (outcome == kPumpTimedOut) {
    result.code = kMercMapTimedOut;
    result.message = _timeLimitMessage(path, command.timeLimitMs);
    return 1;
  }
  _classify(path, status, result);
  return 1;
}

}  // namespace

void mercRunChild(const std::string& path, const MercCommand& command, MapResult& result) {
  std::string error;
  std::string dir;
  Channels ch;
  pid_t pid = -1;
  if (!mercBeginCardFolder(dir, error) || !_makeChannels(ch, error)) {
    mercEndCardFolder(dir);
    result.code = kMercResource;
    result.message = error;
    return;
  }
  if (!_spawn(path, ch, _childEnvironment(dir, command.passOptions), pid, error)) {
    mercEndCardFolder(dir);
    result.code = kMercMapNotStarted;
    result.message = error;
    return;
  }
  int ok = _await(path, command, pid, ch, result, error);
  if (ok && (result.code == kMercOk || mercIsWarning(result.code))) {
    ok = _readCards(dir, result, error);
  }
  mercEndCardFolder(dir);
  if (!ok) {
    result.code = kMercResource;
    result.message = error;
  }
}

}  // namespace merc
