// Executable maps started ahead of their requests, on the engine's own thread.
#include "merc_prestart.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

namespace merc {
namespace {

// True when the process ended by a signal while it waited (killed from outside): a run
// on it would report a failure that the map never had.
bool _killedWhileWaiting(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return true;
  }
  return info.si_pid == pid && info.si_code != CLD_EXITED;
}

bool _sameLaunch(const MapProcess& process, const MapFile& file, const std::string& options) {
  return process.pid > 0 && process.file.path == file.path &&
         process.file.identity == file.identity && process.options == options;
}

}  // namespace

MercPrestart::MercPrestart() {
  // A fork while the engine's thread holds the lock would leave the child's copy locked
  // for ever.
  static MercPrestart* self = this;
  pthread_atfork([] { self->mutex_.lock(); }, [] { self->mutex_.unlock(); },
                 [] { self->mutex_.unlock(); });
}

bool MercPrestart::_launchDueLocked() const {
  return wanted_.has_value() && !paused_ && waiting_.size() < kStartedAhead;
}

int MercPrestart::take(const MapFile& file, const std::string& options, MapProcess& process) {
  std::deque<MapProcess> stale;
  MapProcess found;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    _forgetInheritedLocked();
    paused_ = true;
    if (wanted_ && (wanted_->path != file.path || wanted_->options != options)) wanted_.reset();
    changed_.wait(lock, [this] { return !waiting_.empty() || !launching_; });
    if (!waiting_.empty()) {
      found = std::move(waiting_.front());
      waiting_.pop_front();
    }
    if (!_sameLaunch(found, file, options)) {
      stale = std::move(waiting_);
      waiting_.clear();
      wanted_.reset();
    }
  }
  // Killed and reaped here, outside the lock, by the destructors.
  if (!_sameLaunch(found, file, options) || _killedWhileWaiting(found.pid)) return 0;
  process = std::move(found);
  return 1;
}

void MercPrestart::prepare(const std::string& path, const std::string& options) {
  std::lock_guard<std::mutex> hold(mutex_);
  _forgetInheritedLocked();
  if (thread_ == nullptr && !_startThreadLocked()) return;
  wanted_ = Wanted{path, options};
  paused_ = false;
  changed_.notify_all();
}

void MercPrestart::cancel() {
  std::deque<MapProcess> stale;
  std::unique_lock<std::mutex> lock(mutex_);
  _forgetInheritedLocked();
  wanted_.reset();
  paused_ = false;
  changed_.wait(lock, [this] { return !launching_; });
  stale = std::move(waiting_);
  waiting_.clear();
  lock.unlock();
}

bool MercPrestart::_startThreadLocked() {
  // The thread takes no signal: one meant for the component (an interrupt that ends its
  // wait for a request) must reach the component's own thread.
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  try {
    thread_ = std::make_unique<std::thread>([this] { _loop(); });
    owner_ = getpid();
  } catch (const std::system_error&) {
    thread_.reset();  // no thread, no start ahead: every run starts its own process
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return thread_ != nullptr;
}

void MercPrestart::stop() {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    _forgetInheritedLocked();
    stopping_ = true;
    thread = std::move(thread_);
    changed_.notify_all();
  }
  if (thread != nullptr) thread->join();
  std::deque<MapProcess> left;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    left = std::move(waiting_);
    waiting_.clear();
    wanted_.reset();
    paused_ = false;
    stopping_ = false;
    owner_ = -1;
  }
}

std::vector<pid_t> MercPrestart::waitingPids() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !launching_ && !_launchDueLocked(); });
  std::vector<pid_t> pids;
  for (const MapProcess& process : waiting_) pids.push_back(process.pid);
  return pids;
}

void MercPrestart::_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || _launchDueLocked(); });
    if (stopping_) return;
    const Wanted wanted = *wanted_;
    launching_ = true;
    lock.unlock();
    MapProcess fresh;
    MapFile file{wanted.path, {}};
    int32_t code = 0;
    std::string error;
    // The identity is taken before the exec: a file changed after it differs at the take,
    // so a process never runs a file other than the one the run finds.
    const bool launched = mercFileIdentity(file.path, file.identity) &&
                          mercLaunch(file, wanted.options, fresh, code, error);
    lock.lock();
    launching_ = false;
    const bool stillWanted = wanted_ && wanted_->path == wanted.path &&
                             wanted_->options == wanted.options;
    if (launched && stillWanted) {
      waiting_.push_back(std::move(fresh));
    } else if (!launched && stillWanted) {
      wanted_.reset();  // the run will start it and report why it cannot
    }
    changed_.notify_all();
    if (fresh.pid > 0) {
      lock.unlock();
      mercDiscard(fresh);
      lock.lock();
    }
  }
}

void MercPrestart::_forgetInheritedLocked() {
  if (owner_ == -1 || owner_ == getpid()) return;
  // A forked copy of the process: the thread and the waiting processes are the parent's.
  // None is touched (no join, no kill); the copy starts its own when it needs them.
  static_cast<void>(thread_.release());
  for (MapProcess& process : waiting_) {
    process.pid = -1;
    process.cardDir.clear();
  }
  waiting_.clear();
  wanted_.reset();
  paused_ = false;
  launching_ = false;
  stopping_ = false;
  owner_ = -1;
}

MercPrestart& mercPrestart() {
  static MercPrestart* instance = new MercPrestart();
  return *instance;
}

}  // namespace merc
