// Executable maps started ahead of their requests. A child map's start-up (exec, page
// faults, the loader, static initialisers) costs more than most maps' work on a request.
// After a run that ended well the engine starts the same map again on a thread of its
// own, while the component finishes the request in hand and waits for the next; the new
// process runs up to its first read of standard input and waits there. The next run of
// the same file, unchanged, with the same options takes it; anything else ends it and
// starts a process the ordinary way. At most one process waits at any time.
#ifndef ZVR_PLATFORM_MERC_PRESTART_H
#define ZVR_PLATFORM_MERC_PRESTART_H

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "merc_launch.h"

namespace merc {

class MercPrestart {
 public:
  MercPrestart();
  MercPrestart(const MercPrestart&) = delete;
  MercPrestart& operator=(const MercPrestart&) = delete;
  ~MercPrestart() { stop(); }

  // Hands over the waiting process when it was launched from `file` as it is now (same
  // path and identity) with `options`: 1 with `process` set. Otherwise ends the waiting
  // process, if any, and returns 0. Waits for a launch in progress first.
  int take(const MapFile& file, const std::string& options, MapProcess& process);

  // Asks for a process of `path` with `options` to be launched ahead of the next run.
  // Returns at once; the launch happens on the engine's thread, started on first use.
  void prepare(const std::string& path, const std::string& options);

  // Ends the waiting process, if any (after a launch in progress), keeping the thread.
  void discard();

  // Ends the waiting process and the thread. A later prepare starts them again.
  void stop();

  // The pid of the waiting process, or -1 (for tests).
  pid_t waitingPid();

 private:
  struct Wanted {
    std::string path;
    std::string options;
  };

  void _loop();
  bool _startThreadLocked();
  void _forgetInheritedLocked();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Wanted> wanted_;
  bool launching_ = false;
  bool stopping_ = false;
  MapProcess waiting_;
  std::unique_ptr<std::thread> thread_;
  pid_t owner_ = -1;
};

// The engine's one instance. It is never destroyed: at the end of the process its thread
// ends with it, and a waiting map with that thread (it is killed when its launcher ends).
MercPrestart& mercPrestart();

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_PRESTART_H
