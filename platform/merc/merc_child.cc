// Running an executable map as a child process.
//
// The child gets input card 1 on standard input (a socket, so that a child that stops
// reading cannot raise SIGPIPE in this process), writes card 1 to standard output and its
// message to standard error, and writes cards 2, 3, ... as files "card2", "card3", ... in
// an empty folder named by MERC_CARD_DIR, which is removed after the run (or, left empty
// by a map whose processes have all ended, kept for a later run). All three streams
// are served by one poll loop, so neither side can block the other whatever the sizes.
// The process itself is launched by merc_launch.cc, mostly ahead of the run
// (merc_prestart.h).
#include "merc_engine.h"
#include "merc_map.h"

#include "merc_launch.h"
#include "merc_prestart.h"
#include "merc_workdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

enum PumpOutcome { kPumpFailed, kPumpDone, kPumpTimedOut };

// Feeds the input and drains both outputs until all three channels are closed, or the
// deadline (monotonic milliseconds; -1: none) passes.
PumpOutcome _pump(Fd (&channel)[3], const MercCommand& command, int64_t deadline, MapResult& result,
                  std::string& error) {
  std::vector<char> buffer(kChunk);
  std::size_t sent = 0;
  if (command.inputLength == 0) channel[0].reset();
  while (channel[0].open() || channel[1].open() || channel[2].open()) {
    pollfd fds[3];
    int which[3];
    nfds_t n = 0;
    for (int i = 0; i < 3; ++i) {
      if (!channel[i].open()) continue;
      fds[n] = pollfd{channel[i].get(), static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
      which[n++] = i;
    }
    const int ready = poll(fds, n, mercPollTimeout(deadline));
    if (ready == 0) return kPumpTimedOut;
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = mercSystemError("cannot wait for the map", errno);
      return kPumpFailed;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      if (which[k] == 0) {
        _sendSome(channel[0], command.input, command.inputLength, sent);
      } else if (which[k] == 1) {
        _readSome(channel[1], result.cards[0], SIZE_MAX, buffer.data());
      } else {
        _readSome(channel[2], result.message, kMaxMessage, buffer.data());
      }
    }
  }
  return kPumpDone;
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
    error = mercSystemError("cannot open " + path, errno);
    return 0;
  }
  std::vector<char> buffer(kChunk);
  while (true) {
    ssize_t n = read(fd.get(), buffer.data(), buffer.size());
    if (n == 0) return 1;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = mercSystemError("cannot read " + path, errno);
      return 0;
    }
    into.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

bool _dotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// True when the folder is still as the engine made it: a folder of this user's, 0700.
bool _asMade(DIR* folder) {
  struct stat st;
  return fstat(dirfd(folder), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == 0700;
}

// True when no process is left in the process group the map led: nothing of the run can
// write into its card folder any more. The group's id is not handed out again while any
// member lives, so a reaped leader's id answers for its group.
bool _groupEnded(pid_t leader) { return leader > 0 && kill(-leader, 0) != 0 && errno == ESRCH; }

// Runs the launched map to its end and reaps it; 1 with the result classified, 0 with
// `error` set.
int _await(MapProcess& process, const MercCommand& command, MapResult& result,
           std::string& error) {
  const std::string& path = process.file.path;
  const int64_t deadline = command.timeLimitMs > 0 ? mercNowMillis() + command.timeLimitMs : -1;
  PumpOutcome outcome = kPumpFailed;
  try {
    outcome = _pump(process.parent, command, deadline, result, error);
  } catch (const std::bad_alloc&) {
    error = "no memory for the output of map \"" + path + "\"";
  }
  if (outcome != kPumpDone) mercKillMap(process.pid);
  for (Fd& fd : process.parent) fd.reset();
  int status = 0;
  // A map that closed its output and runs on is still held to its time limit.
  const MercWaitOutcome waited =
      mercWaitMap(process.pid, outcome == kPumpDone ? deadline : -1, status, error);
  // Reaped, or lost to nobody knows whom: either way the pid is no longer this run's.
  process.pid = -1;
  if (waited == kMercWaitFailed || outcome == kPumpFailed) return 0;
  if (outcome == kPumpTimedOut || waited == kMercWaitTimedOut) {
    result.code = kMercMapTimedOut;
    result.message = mercTimeLimitMessage(path, command.timeLimitMs);
    return 1;
  }
  mercClassifyExit(path, status, result);
  return 1;
}

// MERC_PRESTART=on (or 1) in the component's environment starts map processes ahead.
// It is off unless asked for: the start-up's CPU is spent all the same, and on a machine
// without a spare core the extra thread and waiting processes cost more than the wait
// they save (docs/maps.md).
bool _startAheadWanted() {
  const char* setting = std::getenv("MERC_PRESTART");
  return setting != nullptr && (std::strcmp(setting, "on") == 0 || std::strcmp(setting, "1") == 0);
}

}  // namespace

void mercClassifyReturn(const std::string& path, int32_t code, MapResult& result) {
  result.code = code;
  if (code != 0 && !mercIsWarning(code) && result.message.empty()) {
    result.message = "map \"" + path + "\" ended with exit status " + std::to_string(code);
  }
}

void mercClassifyExit(const std::string& path, int status, MapResult& result) {
  if (WIFEXITED(status)) {
    mercClassifyReturn(path, WEXITSTATUS(status), result);
    return;
  }
  int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  std::string what = "map \"" + path + "\" ended by signal " + std::to_string(sig);
  result.message = result.message.empty() ? what : what + ": " + result.message;
  result.code = kMercMapAborted;
}

std::string mercTimeLimitMessage(const std::string& path, int64_t limitMs) {
  return "map \"" + path + "\" stopped at its time limit of " + std::to_string(limitMs) + " ms";
}

int mercReadCards(const std::string& dir, MapResult& result, bool& empty, std::string& error) {
  empty = false;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) {
    error = mercSystemError("cannot read the card folder " + dir, errno);
    return 0;
  }
  int ok = 1;
  bool anything = false;
  while (const dirent* entry = readdir(folder)) {
    if (_dotOrDotDot(entry->d_name)) continue;
    anything = true;
    unsigned card = _cardNumber(entry->d_name);
    if (card == 0) continue;
    if (result.cards.size() < card) result.cards.resize(card);
    if (!_readFile(dir + "/" + entry->d_name, result.cards[card - 1], error)) {
      ok = 0;
      break;
    }
  }
  empty = ok && !anything && _asMade(folder);
  closedir(folder);
  return ok;
}

void mercRunChild(const MapFile& file, const MercCommand& command, MapResult& result) {
  std::string error;
  MapProcess process;
  MercPrestart& prestart = mercPrestart();
  if (!prestart.take(file, command.passOptions, process) &&
      !mercLaunch(file, command.passOptions, process, result.code, error)) {
    result.message = error;
    return;
  }
  const pid_t leader = process.pid;
  int ok = _await(process, command, result, error);
  const bool succeeded = ok && (result.code == kMercOk || mercIsWarning(result.code));
  bool empty = false;
  if (succeeded) ok = mercReadCards(process.cardDir, result, empty, error);
  if (ok && empty && _groupEnded(leader)) {
    mercEndCardFolder(process.cardDir, true);
    process.cardDir.clear();
  }
  mercDiscard(process);
  // Only a map that ran well has processes started ahead: a failing one would keep
  // processes of a map that is likely being mended.
  if (succeeded && ok && _startAheadWanted()) {
    prestart.prepare(file.path, command.passOptions);
  } else {
    prestart.cancel();
  }
  if (!ok) {
    result.code = kMercResource;
    result.message = error;
  }
}

void mercStopPrestart() { mercPrestart().stop(); }

void mercDropPrestart() { mercPrestart().cancel(); }

}  // namespace merc
