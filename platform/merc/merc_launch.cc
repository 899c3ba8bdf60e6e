// Starting an executable map: card folder, channels, environment, vfork + exec.
#include "merc_launch.h"

#include "merc_workdir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

extern char** environ;

namespace merc {

std::string mercSystemError(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

int64_t mercNowMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int mercPollTimeout(int64_t deadline) {
  if (deadline < 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(deadline - mercNowMillis(), 0, INT32_MAX));
}

namespace {

// Moves a descriptor above 3, so that the child's dup2 onto 0 to 3 never meets it (a dup2
// onto itself would leave it closed on exec).
int _aboveStdio(int fd) {
  if (fd > 3) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 4);
  close(fd);
  return moved;
}

// Takes over a fresh pair; `pair[0]` is this process's end.
void _adopt(const int pair[2], Fd& parentEnd, Fd& childEnd) {
  parentEnd.reset(_aboveStdio(pair[0]));
  childEnd.reset(_aboveStdio(pair[1]));
}

int _makeChannels(Fd (&parent)[3], Fd (&child)[3], std::string& error) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = mercSystemError("cannot create the input channel", errno);
    return 0;
  }
  _adopt(pair, parent[0], child[0]);
  for (int i = 1; i < 3; ++i) {
    if (pipe2(pair, O_CLOEXEC) != 0) {
      error = mercSystemError("cannot create the output pipes", errno);
      return 0;
    }
    _adopt(pair, parent[i], child[i]);
  }
  for (int i = 0; i < 3; ++i) {
    if (!parent[i].open() || !child[i].open()) {
      error = mercSystemError("cannot place the map's channels", errno);
      return 0;
    }
  }
  return 1;
}

bool _hasName(const char* var, const char* name) {
  const std::size_t length = std::strlen(name);
  return std::strncmp(var, name, length) == 0 && var[length] == '=';
}

// The served map's descriptors: /dev/null for standard input, two files in memory for
// standard output and error (this process keeps the same descriptors), and the channel.
int _makeServedChannels(ServedProcess& process, Fd& input, Fd& childChannel,
                        std::string& error) {
  input.reset(_aboveStdio(open("/dev/null", O_RDONLY | O_CLOEXEC)));
  process.card1.reset(_aboveStdio(memfd_create("merc-card1", MFD_CLOEXEC)));
  process.message.reset(_aboveStdio(memfd_create("merc-message", MFD_CLOEXEC)));
  if (!input.open() || !process.card1.open() || !process.message.open()) {
    error = mercSystemError("cannot create the map's output files", errno);
    return 0;
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = mercSystemError("cannot create the map's channel", errno);
    return 0;
  }
  _adopt(pair, process.channel, childChannel);
  if (!process.channel.open() || !childChannel.open()) {
    error = mercSystemError("cannot place the map's channel", errno);
    return 0;
  }
  return 1;
}

bool _enginesOwn(const char* var) {
  return _hasName(var, "MERC_CARD_DIR") || _hasName(var, "MERC_OPTIONS") ||
         _hasName(var, kZvrMapServeVariable);
}

// This process's environment with the engine's variables set for the child. A serving
// channel named in the component's own environment is none of a one-shot map's.
std::vector<std::string> _childEnvironment(const std::string& cardDir, const std::string& options,
                                           bool served) {
  std::vector<std::string> env;
  for (char** var = environ; var != nullptr && *var != nullptr; ++var) {
    if (!_enginesOwn(*var)) env.emplace_back(*var);
  }
  env.push_back("MERC_CARD_DIR=" + cardDir);
  env.push_back("MERC_OPTIONS=" + options);
  if (served) env.push_back(std::string(kZvrMapServeVariable) + "=" + std::to_string(kServeFd));
  return env;
}

// What the child does between vfork and exec. It shares this process's memory until the
// exec, so it makes system calls only: no allocation, no locks, no library state.
struct Launch {
  const char* path;
  char* const* argv;
  char* const* envp;
  int fds[4];
  int fdCount;  // 3, or 4 with the serving channel
  pid_t parent;
  volatile int error;  // errno of a failed exec, read by the parent after vfork returns
};

// Signals that end a map by default even when this process ignores or catches them.
constexpr int kDefaultSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};

// Without /proc: every signal's action asked for, some sixty system calls (about 65 µs of
// the child's CPU on a virtual machine, where reading the kernel's list costs 17 µs).
void _queryAndResetCaughtSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_DFL &&
        now.sa_handler != SIG_IGN) {
      sigaction(sig, &dfl, nullptr);
    }
  }
}

[[noreturn]] void _childSide(Launch& launch) {
  // This process's handlers must not run in the child while it shares the memory.
  mercResetCaughtSignals();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : kDefaultSignals) sigaction(sig, &dfl, nullptr);
  // Its own process group: an interrupt typed at the terminal reaches the component (which
  // finishes the request in hand) but not the map, and a time limit ends the whole group.
  setpgid(0, 0);
  // A map must not finish work for a unit of work that its server's death rolled back.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != launch.parent) _exit(127);
  for (int i = 0; i < launch.fdCount; ++i) {
    if (dup2(launch.fds[i], i) < 0) {
      launch.error = errno;
      _exit(127);
    }
  }
  // Descriptors the component opened without close-on-exec are none of the map's business.
  syscall(SYS_close_range, static_cast<unsigned>(launch.fdCount), ~0u, 0u);
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

void _reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Starts `path` with the descriptors `child` (borrowed; `count` of them) as its 0, 1, ...
int _spawn(const std::string& path, const int* child, int count, std::vector<std::string> env,
           pid_t& pid, std::string& error) {
  std::string argv0 = path;
  char* argv[] = {argv0.data(), nullptr};
  std::vector<char*> envp;
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  Launch launch{path.c_str(), argv, envp.data(), {}, count, getpid(), 0};
  for (int i = 0; i < count; ++i) launch.fds[i] = child[i];
  pid = _vforkExec(launch);
  int code = pid < 0 ? errno : launch.error;
  if (pid > 0 && code != 0) _reap(pid);
  if (code != 0) {
    error = mercSystemError("map \"" + path + "\" cannot be started", code);
    return 0;
  }
  return 1;
}

}  // namespace

int mercParseCaughtSignals(const char* text, std::size_t length, uint64_t& caught) {
  static constexpr char kField[] = "\nSigCgt:";
  constexpr std::size_t kFieldLength = sizeof kField - 1;
  const char* end = text + length;
  for (const char* p = text; static_cast<std::size_t>(end - p) >= kFieldLength; ++p) {
    if (std::memcmp(p, kField, kFieldLength) != 0) continue;
    p += kFieldLength;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    uint64_t mask = 0;
    int digits = 0;
    for (; p < end && *p != '\n'; ++p, ++digits) {
      const char c = *p;
      int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (value < 0 || digits == 16) return 0;
      mask = mask << 4 | static_cast<uint64_t>(value);
    }
    // A line cut by the end of what was read is no answer.
    if (digits == 0 || p == end) return 0;
    caught = mask;
    return 1;
  }
  return 0;
}

int mercCaughtSignals(uint64_t& caught) {
  // The status text is some 1.5 KiB, and the line sits in its first half.
  char text[4096];
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t used = 0;
  while (used < sizeof text) {
    ssize_t n = read(fd, text + used, sizeof text - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  close(fd);
  return mercParseCaughtSignals(text, used, caught);
}

void mercResetCaughtSignals() {
  uint64_t caught = 0;
  if (!mercCaughtSignals(caught)) {
    _queryAndResetCaughtSignals();
    return;
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG && sig <= 64; ++sig) {
    if (caught >> (sig - 1) & 1) sigaction(sig, &dfl, nullptr);
  }
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd_, -1));
  return *this;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

MapProcess::MapProcess(MapProcess&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      cardDir(std::move(other.cardDir)),
      file(std::move(other.file)),
      options(std::move(other.options)) {
  for (int i = 0; i < 3; ++i) parent[i] = std::move(other.parent[i]);
  other.cardDir.clear();
}

MapProcess& MapProcess::operator=(MapProcess&& other) noexcept {
  if (this == &other) return *this;
  mercDiscard(*this);
  pid = std::exchange(other.pid, -1);
  for (int i = 0; i < 3; ++i) parent[i] = std::move(other.parent[i]);
  cardDir = std::move(other.cardDir);
  other.cardDir.clear();
  file = std::move(other.file);
  options = std::move(other.options);
  return *this;
}

MapProcess::~MapProcess() { mercDiscard(*this); }

int mercLaunch(const MapFile& file, const std::string& options, MapProcess& process,
               int32_t& code, std::string& error) {
  MapProcess launched;
  Fd child[3];
  if (!mercBeginCardFolder(launched.cardDir, error) ||
      !_makeChannels(launched.parent, child, error)) {
    code = kMercResource;
    return 0;  // `launched` removes the folder
  }
  const int fds[] = {child[0].get(), child[1].get(), child[2].get()};
  if (!_spawn(file.path, fds, 3, _childEnvironment(launched.cardDir, options, false),
              launched.pid, error)) {
    launched.pid = -1;
    code = kMercMapNotStarted;
    return 0;
  }
  launched.file = file;
  launched.options = options;
  process = std::move(launched);
  return 1;
}

uint64_t mercEnvironmentFingerprint() {
  // FNV-1a over every variable and its end: some 2 µs for a typical environment.
  uint64_t hash = 14695981039346656037ull;
  for (char** var = environ; var != nullptr && *var != nullptr; ++var) {
    if (_enginesOwn(*var)) continue;
    for (const char* p = *var;; ++p) {
      hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
      if (*p == '\0') break;
    }
  }
  return hash;
}

int mercLaunchServed(const MapFile& file, const std::string& options, ServedProcess& process,
                     int32_t& code, std::string& error) {
  ServedProcess launched;
  launched.environment = mercEnvironmentFingerprint();
  Fd input;
  Fd childChannel;
  if (!mercBeginCardFolder(launched.cardDir, error) ||
      !_makeServedChannels(launched, input, childChannel, error)) {
    code = kMercResource;
    return 0;  // `launched` removes the folder
  }
  static_assert(kServeFd == 3, "the channel follows standard error");
  const int fds[] = {input.get(), launched.card1.get(), launched.message.get(),
                     childChannel.get()};
  if (!_spawn(file.path, fds, 4, _childEnvironment(launched.cardDir, options, true),
              launched.pid, error)) {
    launched.pid = -1;
    code = kMercMapNotStarted;
    return 0;
  }
  launched.file = file;
  launched.options = options;
  process = std::move(launched);
  return 1;
}

ServedProcess::ServedProcess(ServedProcess&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      channel(std::move(other.channel)),
      card1(std::move(other.card1)),
      message(std::move(other.message)),
      cardDir(std::exchange(other.cardDir, std::string())),
      file(std::move(other.file)),
      options(std::move(other.options)),
      environment(other.environment) {}

ServedProcess& ServedProcess::operator=(ServedProcess&& other) noexcept {
  if (this == &other) return *this;
  mercDiscard(*this);
  pid = std::exchange(other.pid, -1);
  channel = std::move(other.channel);
  card1 = std::move(other.card1);
  message = std::move(other.message);
  cardDir = std::exchange(other.cardDir, std::string());
  file = std::move(other.file);
  options = std::move(other.options);
  environment = other.environment;
  return *this;
}

ServedProcess::~ServedProcess() { mercDiscard(*this); }

void mercKillMap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

MercWaitOutcome mercWaitMap(pid_t pid, int64_t deadline, int& status, std::string& error) {
  MercWaitOutcome outcome = kMercWaitEnded;
  // The process descriptor turns readable when the map ends: poll waits for that or the
  // deadline, whichever comes first, and nothing polls in slices.
  if (deadline >= 0) {
    Fd ended;
    ended.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (ended.open()) {
      pollfd watch{ended.get(), POLLIN, 0};
      int ready = 0;
      while ((ready = poll(&watch, 1, mercPollTimeout(deadline))) < 0 && errno == EINTR) {
      }
      if (ready == 0) {
        mercKillMap(pid);
        outcome = kMercWaitTimedOut;
      }
    }
  }
  while (waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) continue;
    error = mercSystemError("cannot learn how the map ended", errno);
    return kMercWaitFailed;
  }
  return outcome;
}

void mercDiscard(MapProcess& process) {
  if (process.pid > 0) {
    mercKillMap(process.pid);
    _reap(process.pid);
    process.pid = -1;
  }
  for (Fd& fd : process.parent) fd.reset();
  mercEndCardFolder(process.cardDir);
  process.cardDir.clear();
}

void mercDiscard(ServedProcess& process) {
  if (process.pid > 0) {
    mercKillMap(process.pid);
    _reap(process.pid);
    process.pid = -1;
  }
  process.channel.reset();
  process.card1.reset();
  process.message.reset();
  mercEndCardFolder(process.cardDir);
  process.cardDir.clear();
}

}  // namespace merc
