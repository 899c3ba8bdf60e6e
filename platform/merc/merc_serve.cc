// Running marked executable maps on processes kept between runs, and the idle ones.
//
// A run: the engine empties the process's standard output and error (files in memory it
// shares with the process), sends the input as one frame and waits for the answer, the
// return code. The process then keeps running and waits for the next frame. A process
// that ends during its run (exit, a signal) gives the run the result a one-shot process
// would have given, read from what it wrote so far; one stopped at its time limit is
// killed with its process group. Neither is kept.
#include "merc_serve.h"

#include "merc_engine.h"
#include "merc_map.h"
#include "merc_workdir.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace merc {
namespace {

// Standard error is kept up to this size, as for a one-shot map.
constexpr std::size_t kMaxMessage = 64 * 1024;

void _storeLittleEndian(unsigned char* to, std::size_t width, uint64_t value) {
  for (std::size_t i = 0; i < width; ++i) to[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t _loadLittleEndian(const unsigned char* from, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = value << 8 | from[i - 1];
  return value;
}

enum ServeOutcome {
  kServeAnswered,  // the map answered; the process waits for the next run
  kServeEnded,     // the process ended (or closed its channel) before it answered
  kServeTimedOut,
  kServeFailed,  // the engine's own failure; `error` says which
};

// Waits until `fd` is ready for `events`: kServeAnswered when it is, or the outcome that
// ends the run.
ServeOutcome _await(int fd, short events, int64_t deadline, std::string& error) {
  while (true) {
    pollfd ready{fd, events, 0};
    const int n = poll(&ready, 1, mercPollTimeout(deadline));
    if (n > 0) return kServeAnswered;
    if (n == 0) return kServeTimedOut;
    if (errno != EINTR) {
      error = mercSystemError("cannot wait for the map", errno);
      return kServeFailed;
    }
  }
}

// Sends the frame: its header, then the input. A process that stops reading ends the
// run at its deadline; one that ended is seen as ended.
ServeOutcome _sendFrame(int fd, const MercCommand& command, int64_t deadline,
                        std::string& error) {
  unsigned char header[kZvrMapServeHeader];
  _storeLittleEndian(header, sizeof header, command.inputLength);
  iovec pieces[2] = {{header, sizeof header},
                     {const_cast<unsigned char*>(command.input), command.inputLength}};
  int first = 0;
  while (first < 2) {
    msghdr message{};
    message.msg_iov = pieces + first;
    message.msg_iovlen = static_cast<std::size_t>(2 - first);
    ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN) {
      const ServeOutcome ready = _await(fd, POLLOUT, deadline, error);
      if (ready != kServeAnswered) return ready;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kServeEnded;  // EPIPE, ECONNRESET: the process is gone
    for (auto sent = static_cast<std::size_t>(n); sent > 0 && first < 2;) {
      const std::size_t done = std::min(sent, pieces[first].iov_len);
      pieces[first].iov_base = static_cast<unsigned char*>(pieces[first].iov_base) + done;
      pieces[first].iov_len -= done;
      sent -= done;
      if (pieces[first].iov_len == 0) ++first;
    }
    while (first < 2 && pieces[first].iov_len == 0) ++first;
  }
  return kServeAnswered;
}

// Reads the answer: the run's return code.
ServeOutcome _receiveAnswer(int fd, int64_t deadline, int32_t& code, std::string& error) {
  unsigned char answer[kZvrMapServeAnswer];
  std::size_t got = 0;
  while (got < sizeof answer) {
    ssize_t n = recv(fd, answer + got, sizeof answer - got, MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      const ServeOutcome ready = _await(fd, POLLIN, deadline, error);
      if (ready != kServeAnswered) return ready;
    } else if (n == 0 || errno != EINTR) {
      return kServeEnded;
    }
  }
  code = static_cast<int32_t>(_loadLittleEndian(answer, sizeof answer) & 0xFF);
  return kServeAnswered;
}

// Empties a file the map writes to and rewinds it: the map's descriptor shares the offset.
bool _emptyOutput(const Fd& file) {
  return ftruncate(file.get(), 0) == 0 && lseek(file.get(), 0, SEEK_SET) == 0;
}

// What the map wrote into `file`, up to `limit` bytes.
int _readOutput(const Fd& file, std::size_t limit, std::string& into, std::string& error) {
  struct stat st;
  if (fstat(file.get(), &st) != 0) {
    error = mercSystemError("cannot read the map's output", errno);
    return 0;
  }
  into.resize(std::min(static_cast<std::size_t>(st.st_size), limit));
  std::size_t done = 0;
  while (done < into.size()) {
    ssize_t n = pread(file.get(), into.data() + done, into.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = mercSystemError("cannot read the map's output", errno);
      return 0;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  into.resize(done);
  return 1;
}

// Hands the process one run and waits for its end. `code` is set for kServeAnswered,
// `status` (waitpid's) for kServeEnded; the process is reaped for every outcome but
// kServeAnswered.
ServeOutcome _serve(ServedProcess& process, const MercCommand& command, int32_t& code,
                    int& status, std::string& error) {
  if (!_emptyOutput(process.card1) || !_emptyOutput(process.message)) {
    error = mercSystemError("cannot empty the map's output", errno);
    return kServeFailed;
  }
  // The time limit counts from the hand-over.
  const int64_t deadline = command.timeLimitMs > 0 ? mercNowMillis() + command.timeLimitMs : -1;
  const int fd = process.channel.get();
  ServeOutcome outcome = _sendFrame(fd, command, deadline, error);
  if (outcome == kServeAnswered) outcome = _receiveAnswer(fd, deadline, code, error);
  if (outcome == kServeAnswered) return outcome;
  if (outcome != kServeEnded) mercKillMap(process.pid);
  process.channel.reset();
  // A map that closed the channel and runs on is still held to its time limit.
  std::string reapError;
  const MercWaitOutcome waited = mercWaitMap(std::exchange(process.pid, -1),
                                             outcome == kServeEnded ? deadline : -1, status,
                                             reapError);
  if (outcome != kServeEnded) return outcome;
  if (waited == kMercWaitFailed) {
    error = reapError;
    return kServeFailed;
  }
  return waited == kMercWaitTimedOut ? kServeTimedOut : kServeEnded;
}

// The run's result from its outcome and what the map wrote. 1, or 0 with `error` set.
// `emptied`: the card folder was read and found empty and as made.
int _collect(const ServedProcess& process, const MercCommand& command, ServeOutcome outcome,
             int32_t code, int status, MapResult& result, bool& emptied, std::string& error) {
  const std::string& path = process.file.path;
  if (outcome == kServeTimedOut) {
    result.code = kMercMapTimedOut;
    result.message = mercTimeLimitMessage(path, command.timeLimitMs);
    return 1;
  }
  if (!_readOutput(process.card1, SIZE_MAX, result.cards[0], error) ||
      !_readOutput(process.message, kMaxMessage, result.message, error)) {
    return 0;
  }
  if (outcome == kServeAnswered) {
    mercClassifyReturn(path, code, result);
  } else {
    mercClassifyExit(path, status, result);
  }
  if (result.code == kMercOk || mercIsWarning(result.code)) {
    return mercReadCards(process.cardDir, result, emptied, error);
  }
  return 1;
}

// True when the process ended while it waited between runs.
bool _endedWhileIdle(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return true;
  }
  return info.si_pid == pid;
}

bool _sameLaunch(const ServedProcess& process, const MapFile& file, const std::string& options,
                 uint64_t environment) {
  return process.file.path == file.path && process.file.identity == file.identity &&
         process.options == options && process.environment == environment;
}

// Launches served maps on a thread of the engine's own, which lives as long as the
// process. A map is killed when the thread that launched it ends (PR_SET_PDEATHSIG), and
// a served process outlives its run: launched on a component's thread that then ends, it
// would die under the run of another thread.
class ServeLauncher {
 public:
  ServeLauncher() {
    // A forked copy gets a state of its own: the parent's thread did not come along, and a
    // condition variable it waited on is unusable in the copy. The parent's state stays
    // locked from the fork on in the copy, and is left there.
    static ServeLauncher* self = this;
    pthread_atfork([] { self->state_->mutex.lock(); }, [] { self->state_->mutex.unlock(); },
                   [] { self->state_ = new State(); });
  }

  // mercLaunchServed, done on the engine's thread (on the caller's when that thread
  // cannot be started).
  int launch(const MapFile& file, const std::string& options, ServedProcess& process,
             int32_t& code, std::string& error) {
    Job job{&file, &options, &process, &code, &error};
    State& state = *state_;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!_startedLocked(state)) {
      lock.unlock();
      return mercLaunchServed(file, options, process, code, error);
    }
    state.queue.push_back(&job);
    state.changed.notify_all();
    state.changed.wait(lock, [&job] { return job.done; });
    return job.result;
  }

 private:
  struct Job {
    const MapFile* file;
    const std::string* options;
    ServedProcess* process;
    int32_t* code;
    std::string* error;
    int result = 0;
    bool done = false;
  };
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job*> queue;
    bool started = false;
  };

  static bool _startedLocked(State& state) {
    if (state.started) return true;
    // The thread takes no signal: one meant for the component must reach its own threads.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    try {
      std::thread([&state] { _loop(state); }).detach();
      state.started = true;
    } catch (const std::system_error&) {
      // No thread: each run launches on its own thread.
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return state.started;
  }

  static void _loop(State& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    while (true) {
      state.changed.wait(lock, [&state] { return !state.queue.empty(); });
      Job* job = state.queue.front();
      state.queue.pop_front();
      lock.unlock();
      job->result =
          mercLaunchServed(*job->file, *job->options, *job->process, *job->code, *job->error);
      lock.lock();
      job->done = true;
      state.changed.notify_all();
    }
  }

  State* state_ = new State();  // never freed: its thread uses it for as long as it lives
};

// Never destroyed: its thread ends with the process.
ServeLauncher& _launcher() {
  static ServeLauncher* instance = new ServeLauncher();
  return *instance;
}

}  // namespace

bool mercServingWanted() {
  const char* setting = std::getenv("MERC_MAP_SERVE");
  return setting == nullptr || (std::strcmp(setting, "off") != 0 && std::strcmp(setting, "0") != 0);
}

void mercRunServed(const MapFile& file, const MercCommand& command, MapResult& result) {
  std::string error;
  ServedProcess process;
  MercServePool& pool = mercServePool();
  if (!pool.take(file, command.passOptions, process) &&
      !_launcher().launch(file, command.passOptions, process, result.code, error)) {
    result.message = error;
    return;
  }
  int32_t code = 0;
  int status = 0;
  const ServeOutcome outcome = _serve(process, command, code, status, error);
  int ok = outcome != kServeFailed;
  bool emptied = false;
  try {
    if (ok) ok = _collect(process, command, outcome, code, status, result, emptied, error);
  } catch (const std::bad_alloc&) {
    ok = 0;
    error = "no memory for the output of map \"" + file.path + "\"";
  }
  if (!ok) {
    result.code = kMercResource;
    result.message = error;
  }
  // A map that failed may keep its process, as a shared object stays loaded; the next run
  // must find the card folder empty either way. Most runs leave it empty, and reading
  // the cards has seen that.
  if (outcome == kServeAnswered && ok && (emptied || mercEmptyCardFolder(process.cardDir))) {
    pool.give(std::move(process));
  }
  // Otherwise `process` is killed (if still running), reaped and its folder removed here.
}

void mercStopServing() { mercServePool().stop(); }

MercServePool::MercServePool() {
  // A fork while a run holds the lock would leave the child's copy locked for ever.
  static MercServePool* self = this;
  pthread_atfork([] { self->mutex_.lock(); }, [] { self->mutex_.unlock(); },
                 [] { self->mutex_.unlock(); });
}

int MercServePool::take(const MapFile& file, const std::string& options,
                        ServedProcess& process) {
  std::deque<ServedProcess> stale;
  const uint64_t environment = mercEnvironmentFingerprint();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    _forgetInheritedLocked();
    for (auto it = idle_.begin(); it != idle_.end();) {
      const bool changed = it->file.path == file.path && !(it->file.identity == file.identity);
      if (!changed) {
        ++it;
        continue;
      }
      stale.push_back(std::move(*it));
      it = idle_.erase(it);
    }
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (!_sameLaunch(*it, file, options, environment)) continue;
      process = std::move(*it);
      idle_.erase(std::next(it).base());
      break;
    }
  }
  // The stale ones are killed and reaped by the destructors, outside the lock.
  if (process.pid <= 0) return 0;
  if (!_endedWhileIdle(process.pid)) return 1;
  mercDiscard(process);
  return take(file, options, process);
}

void MercServePool::give(ServedProcess&& process) {
  ServedProcess oldest;
  std::lock_guard<std::mutex> hold(mutex_);
  _forgetInheritedLocked();
  owner_ = getpid();
  idle_.push_back(std::move(process));
  if (idle_.size() > kIdleServed) {
    oldest = std::move(idle_.front());
    idle_.pop_front();
  }
}

void MercServePool::stop() {
  std::deque<ServedProcess> ended;
  std::lock_guard<std::mutex> hold(mutex_);
  _forgetInheritedLocked();
  ended = std::move(idle_);
  idle_.clear();
}

std::vector<pid_t> MercServePool::idlePids() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<pid_t> pids;
  for (const ServedProcess& process : idle_) pids.push_back(process.pid);
  return pids;
}

void MercServePool::_forgetInheritedLocked() {
  if (owner_ == -1 || owner_ == getpid()) return;
  // A forked copy of the process: the idle maps are the parent's children. None is
  // touched (no kill, no folder removed); the copy launches its own when it needs them.
  for (ServedProcess& process : idle_) {
    process.pid = -1;
    process.cardDir.clear();
  }
  idle_.clear();
  owner_ = -1;
}

MercServePool& mercServePool() {
  static MercServePool* instance = new MercServePool();
  return *instance;
}

}  // namespace merc
