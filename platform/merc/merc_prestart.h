// Executable maps started ahead of their requests. A child map's start-up (exec, page
// faults, the loader, static initialisers) costs more than most maps' work on a request.
// After a run that ended well the engine starts the same map again on a thread of its
// own, while the component finishes the request in hand and waits for the next; the new
// process runs up to its first read of standard input and waits there. The next run of
// the same file, unchanged, with the same options takes it; anything else ends the
// waiting processes and starts one the ordinary way.
//
// Up to kStartedAhead processes wait: with one request in flight the next request comes
// as soon as the response is out, sooner than a process starts on a busy machine, so the
// process a run takes was started one request earlier still.
#ifndef ZVR_PLATFORM_MERC_PRESTART_H
#define ZVR_PLATFORM_MERC_PRESTART_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "merc_launch.h"

namespace merc {

// The most map processes that wait for runs to come.
inline constexpr std::size_t kStartedAhead = 2;

class MercPrestart {
 public:
  MercPrestart();
  MercPrestart(const MercPrestart&) = delete;
  MercPrestart& operator=(const MercPrestart&) = delete;
  ~MercPrestart() { stop(); }

  // Hands over the longest-waiting process when it was launched from `file` as it is now
  // (same path and identity) with `options`: 1 with `process` set. Otherwise ends every
  // waiting process and returns 0. Waits for a launch in progress when no process waits.
  // No launch starts after it until the next prepare or cancel: the run in hand has the
  // machine to itself.
  int take(const MapFile& file, const std::string& options, MapProcess& process);

  // Asks for processes of `path` with `options` to be launched ahead of the next runs.
  // Returns at once; the launches happen on the engine's thread, started on first use.
  void prepare(const std::string& path, const std::string& options);

  // Ends the waiting processes (after a launch in progress) and launches no more until
  // the next prepare; the thread stays.
  void cancel();

  // Ends the waiting processes and the thread. A later prepare starts them again.
  void stop();

  // The pids of the waiting processes, the next to be taken first, once the launches
  // asked for are done (for tests).
  std::vector<pid_t> waitingPids();

 private:
  struct Wanted {
    std::string path;
    std::string options;
  };

  bool _launchDueLocked() const;
  void _loop();
  bool _startThreadLocked();
  void _forgetInheritedLocked();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Wanted> wanted_;
  bool paused_ = false;  // a run is in hand
  bool launching_ = false;
  bool stopping_ = false;
  std::deque<MapProcess> waiting_;
  std::unique_ptr<std::thread> thread_;
  pid_t owner_ = -1;
};

// The engine's one instance. It is never destroyed: at the end of the process its thread
// ends with it, and the waiting maps with that thread (they are killed when their
// launcher ends).
MercPrestart& mercPrestart();

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_PRESTART_H
