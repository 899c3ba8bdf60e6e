// Running an executable map as a child process.
//
// The child gets input card 1 on standard input (a socket, so that a child that stops
// reading cannot raise SIGPIPE in this process), writes card 1 to standard output and its
// message to standard error, and writes cards 2, 3, ... as files "card2", "card3", ... in
// a fresh folder named by MERC_CARD_DIR, which is removed after the run. All three streams
// are served by one poll loop, so neither side can block the other whatever the sizes.
#include "merc_engine.h"
#include "merc_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

int _removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// The folder a child writes its further cards into; removed with everything in it.
class CardDir {
 public:
  CardDir() = default;
  CardDir(const CardDir&) = delete;
  CardDir& operator=(const CardDir&) = delete;
  ~CardDir() {
    if (!path_.empty()) nftw(path_.c_str(), _removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  int create(std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/merc-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      error = _systemError("cannot create the card folder " + pattern, errno);
      return 0;
    }
    path_ = pattern;
    return 1;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
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

// Spawns the map in its own process group, so that an interrupt typed at the terminal
// reaches the component (which finishes the request in hand) but not the map.
int _spawnAttributes(posix_spawnattr_t& attr) {
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  return posix_spawnattr_setflags(
      &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

int _spawn(const std::string& path, const Channels& ch, std::vector<std::string> env,
           pid_t& pid, std::string& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, ch.child[i].get(), i);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors the component opened without close-on-exec are none of the map's business.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  posix_spawnattr_t attr;
  _spawnAttributes(attr);
  std::string argv0 = path;
  char* argv[] = {argv0.data(), nullptr};
  std::vector<char*> envp;
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = _systemError("map \"" + path + "\" cannot be started", rc);
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

// Feeds the input and drains both outputs until all three channels are closed.
int _pump(Channels& ch, const MercCommand& command, MapResult& result, std::string& error) {
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
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      error = _systemError("cannot wait for the map", errno);
      return 0;
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
  return 1;
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

}  // namespace

void mercRunChild(const std::string& path, const MercCommand& command, MapResult& result) {
  std::string error;
  CardDir dir;
  Channels ch;
  pid_t pid = -1;
  if (!dir.create(error) || !_makeChannels(ch, error)) {
    result.code = kMercResource;
    result.message = error;
    return;
  }
  if (!_spawn(path, ch, _childEnvironment(dir.path(), command.passOptions), pid, error)) {
    result.code = kMercMapNotStarted;
    result.message = error;
    return;
  }
  for (Fd& fd : ch.child) fd.reset();
  int pumped = 0;
  try {
    pumped = _pump(ch, command, result, error);
  } catch (const std::bad_alloc&) {
    error = "no memory for the output of map \"" + path + "\"";
  }
  if (!pumped) kill(pid, SIGKILL);
  for (Fd& fd : ch.parent) fd.reset();
  int status = 0;
  if (!_wait(pid, status, error) || !pumped) {
    result.code = kMercResource;
    result.message = error;
    return;
  }
  _classify(path, status, result);
  if ((result.code == kMercOk || mercIsWarning(result.code)) &&
      !_readCards(dir.path(), result, error)) {
    result.code = kMercResource;
    result.message = error;
  }
}

}  // namespace merc
