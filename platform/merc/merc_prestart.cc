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

int MercPrestart::take(const MapFile& file, const std::string& options, MapProcess& process) {
  std::unique_lock<std::mutex> lock(mutex_);
  _forgetInheritedLocked();
  if (wanted_ && (wanted_->path != file.path || wanted_->options != options)) wanted_.reset();
  changed_.wait(lock, [this] { return !wanted_ && !launching_; });
  MapProcess found = std::move(waiting_);
  lock.unlock();
  if (!_sameLaunch(found, file, options) || _killedWhileWaiting(found.pid)) return 0;
  process = std::move(found);
  return 1;
}

void MercPrestart::discard() {
  MapProcess unused;
  take(MapFile{}, std::string(), unused);
}

void MercPrestart::prepare(const std::string& path, const std::string& options) {
  std::lock_guard<std::mutex> hold(mutex_);
  _forgetInheritedLocked();
  if (thread_ == nullptr && !_startThreadLocked()) return;
  wanted_ = Wanted{path, options};
  changed_.notify_all();
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
  MapProcess left;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    left = std::move(waiting_);
    wanted_.reset();
    stopping_ = false;
    owner_ = -1;
  }
}

pid_t MercPrestart::waitingPid() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !wanted_ && !launching_; });
  return waiting_.pid;
}

void MercPrestart::_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || wanted_.has_value(); });
    if (stopping_) return;
    Wanted wanted = std::move(*wanted_);
    wanted_.reset();
    launching_ = true;
    MapProcess stale = std::move(waiting_);
    lock.unlock();
    mercDiscard(stale);
    MapProcess fresh;
    MapFile file{wanted.path, {}};
    int32_t code = 0;
    std::string error;
    // The identity is taken before the exec: a file changed after it differs at the take,
    // so a process never runs a file other than the one the run finds.
    if (mercFileIdentity(file.path, file.identity)) {
      mercLaunch(file, wanted.options, fresh, code, error);
    }
    lock.lock();
    waiting_ = std::move(fresh);
    launching_ = false;
    changed_.notify_all();
  }
}

void MercPrestart::_forgetInheritedLocked() {
  if (owner_ == -1 || owner_ == getpid()) return;
  // A forked copy of the process: the thread and the waiting process are the parent's.
  // Neither is touched (no join, no kill); the copy starts its own when it needs them.
  static_cast<void>(thread_.release());
  waiting_.pid = -1;
  waiting_.cardDir.clear();
  for (Fd& fd : waiting_.parent) fd.reset();
  wanted_.reset();
  launching_ = false;
  stopping_ = false;
  owner_ = -1;
}

MercPrestart& mercPrestart() {
  static MercPrestart* instance = new MercPrestart();
  return *instance;
}

}  // namespace merc
