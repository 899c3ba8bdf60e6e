// Executable maps that serve one run after another. A process start is most of what an
// executable map costs (docs/maps.md), and a map built with the wrapper maps/map_main.cc
// implements zvrMapRun, which by contract may be called for many runs in one process, as
// a shared object's is. Such a file is marked (kZvrMapServeSection); the engine starts it
// once and hands it each run over a channel (merc_map.h), keeping the process between
// runs. A process serves one run at a time: threads that run maps at once each take a
// process of their own, and the ones between runs wait here, a bounded number of them.
// The processes are launched on a thread of the engine's own that lasts as long as the
// process (they die with it, and with their server), so a component's thread that ends
// takes no process along that another thread is using.
#ifndef ZVR_PLATFORM_MERC_SERVE_H
#define ZVR_PLATFORM_MERC_SERVE_H

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "merc_launch.h"

namespace merc {

// The most processes kept between runs, of all files and options together.
inline constexpr std::size_t kIdleServed = 8;

class MercServePool {
 public:
  MercServePool();
  MercServePool(const MercServePool&) = delete;
  MercServePool& operator=(const MercServePool&) = delete;
  ~MercServePool() { stop(); }

  // Hands over the idle process launched most recently from `file` as it is now (same
  // path and identity) with `options` and this process's environment as it is now: 1 with `process` set, the caller's until it gives
  // it back. Idle processes of the same path with another identity (the file replaced,
  // rewritten, touched or its mode changed) are ended, and so is one found ended already
  // (killed from outside); 0 when none is left.
  int take(const MapFile& file, const std::string& options, ServedProcess& process);

  // Keeps a process that answered its run and has its card folder empty, for the next
  // run; ends the longest idle one when more than kIdleServed would wait.
  void give(ServedProcess&& process);

  // Ends every idle process.
  void stop();

  // The pids of the idle processes, the longest idle first (for tests).
  std::vector<pid_t> idlePids();

 private:
  void _forgetInheritedLocked();

  std::mutex mutex_;
  std::deque<ServedProcess> idle_;  // the longest idle first
  pid_t owner_ = -1;
};

// The engine's one instance. It is never destroyed: at the end of the process the idle
// maps are killed with the engine's thread that launched them.
MercServePool& mercServePool();

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_SERVE_H
