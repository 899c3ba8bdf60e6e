// Starting an executable map as a child process, up to the point where it waits for its
// input: the card folder, the three channels, the environment, and the vfork + exec.
// mercRunChild (merc_child.cc) feeds and drains a launched map; MercPrestart
// (merc_prestart.h) launches the next run's map ahead of its request.
#ifndef ZVR_PLATFORM_MERC_LAUNCH_H
#define ZVR_PLATFORM_MERC_LAUNCH_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "merc_engine.h"
#include "merc_map.h"

namespace merc {

// "WHAT: <the system's text for code>", as the engine words a failed system call.
std::string mercSystemError(const std::string& what, int code);

// Milliseconds of the monotonic clock, the time base of a run's deadline.
int64_t mercNowMillis();

// Milliseconds poll may wait for `deadline` (mercNowMillis based): -1 without one
// (deadline < 0), 0 once it has passed.
int mercPollTimeout(int64_t deadline);

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  ~Fd() { reset(); }
  void reset(int fd = -1);
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A map process started over three channels and a card folder of its own. Index 0 is
// standard input (a socket), 1 standard output, 2 standard error; `parent` are this
// process's ends. The child's ends are closed once it runs.
struct MapProcess {
  MapProcess() = default;
  MapProcess(const MapProcess&) = delete;
  MapProcess& operator=(const MapProcess&) = delete;
  MapProcess(MapProcess&&) noexcept;
  MapProcess& operator=(MapProcess&&) noexcept;
  // Kills and reaps a process still held (see mercDiscard).
  ~MapProcess();

  pid_t pid = -1;
  Fd parent[3];
  std::string cardDir;
  MapFile file;         // the file as it was just before the exec
  std::string options;  // MERC_OPTIONS it was given
};

// The descriptor a served map gets its channel on (named by kZvrMapServeVariable).
inline constexpr int kServeFd = 3;

// A map process that serves one run after another (merc_serve.h): `channel` is this
// process's end of the socket the map reads its runs from; `card1` and `message` are
// files in memory that are the map's standard output and error, shared with it (one
// open file, one offset), so that the engine empties them before each run. Standard
// input is /dev/null. The card folder is the process's for its whole life.
struct ServedProcess {
  ServedProcess() = default;
  ServedProcess(const ServedProcess&) = delete;
  ServedProcess& operator=(const ServedProcess&) = delete;
  ServedProcess(ServedProcess&&) noexcept;
  ServedProcess& operator=(ServedProcess&&) noexcept;
  // Kills and reaps a process still held (see mercDiscard).
  ~ServedProcess();

  pid_t pid = -1;
  Fd channel;
  Fd card1;
  Fd message;
  std::string cardDir;
  MapFile file;              // the file as it was just before the exec
  std::string options;       // MERC_OPTIONS it was given
  uint64_t environment = 0;  // mercEnvironmentFingerprint() at the launch
};

// A fingerprint of this process's environment as a map gets it (the engine's own
// variables left out): a served map keeps the environment it was started with, so a
// changed one calls for a new process, as a one-shot run would see it.
uint64_t mercEnvironmentFingerprint();

// Launches the map at `file.path` with MERC_OPTIONS=`options` and a fresh card folder in
// MERC_CARD_DIR. The child runs in a process group of its own and is killed when the
// calling thread ends. 1 with `process` set; 0 with `code` (kMercResource when the folder
// or the channels cannot be made, kMercMapNotStarted when the exec fails) and `error` set,
// and nothing left behind.
int mercLaunch(const MapFile& file, const std::string& options, MapProcess& process,
               int32_t& code, std::string& error);

// mercLaunch for a map that serves runs: the same environment and card folder, plus
// kZvrMapServeVariable naming kServeFd. Same results and failures.
int mercLaunchServed(const MapFile& file, const std::string& options, ServedProcess& process,
                     int32_t& code, std::string& error);

// Ends the map and whatever it started in its process group.
void mercKillMap(pid_t pid);

// How a wait for a map's end came out.
enum MercWaitOutcome { kMercWaitFailed, kMercWaitEnded, kMercWaitTimedOut };

// Waits for the map `pid` to end and reaps it, its waitpid status in `status`. A map can
// close its channels and run on; when `deadline` (mercNowMillis based; -1: none) passes
// first, the map and its group are killed and reaped and the wait timed out. Without a
// process descriptor (kernels before 5.3) the wait has no deadline. kMercWaitFailed with
// `error` set when the map cannot be reaped.
MercWaitOutcome mercWaitMap(pid_t pid, int64_t deadline, int& status, std::string& error);

// Kills and reaps a launched map that will not be used, closes its channels and removes
// its card folder. Does nothing for an empty `process`.
void mercDiscard(MapProcess& process);
void mercDiscard(ServedProcess& process);

// Sets the action of every signal this process catches back to the default, for the
// child between vfork and exec: system calls only, no allocation. The kernel's list of
// caught signals is read from /proc/self/status; without it each signal is asked for.
void mercResetCaughtSignals();

// The signals this process catches, bit n - 1 for signal n, as the kernel lists them.
// 1 with `caught` set; 0 (and `caught` untouched) when the list cannot be read.
int mercCaughtSignals(uint64_t& caught);

// Reads the "SigCgt:" line of a status text of `length` bytes (borrowed): 1 with `caught`
// set; 0 when the line is missing, cut short or not a 64-bit hexadecimal mask.
int mercParseCaughtSignals(const char* text, std::size_t length, uint64_t& caught);

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_LAUNCH_H
