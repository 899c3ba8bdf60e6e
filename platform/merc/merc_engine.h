// Inner steps of the stand-in engine behind RunMap: reading the command buffer, finding
// the map file, running it (in process or as a child) and assembling the output.
// RunMap (merc_api.cc) strings them together; the steps are separate so that each can be
// tested on its own.
#ifndef ZVR_PLATFORM_MERC_ENGINE_H
#define ZVR_PLATFORM_MERC_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ExitParams;

namespace merc {

// Return codes of the engine's own failures. They are negative so that they never
// collide with a map's return code (a child's exit status is 0 to 255).
enum MercReturn : int32_t {
  kMercOk = 0,
  kMercBadCommand = -2,     // null record or command buffer, malformed command buffer
  kMercMapNotFound = -3,    // no map file under the name
  kMercMapNotStarted = -4,  // the file cannot be loaded or executed, or lacks zvrMapRun
  kMercMapAborted = -5,     // the child map ended by a signal
  kMercResource = -6,       // pipes, temporary folder, memory, output of 4 GiB or more
  kMercMapTimedOut = -7,    // the child map ran past its time limit and was killed
};

// True for the return codes that mean success with warnings.
bool mercIsWarning(int32_t code);

// The longest command head (map name, "-ie1s", length, blank) that is accepted.
inline constexpr std::size_t kMaxHead = 4096;

// Which output cards are echoed, and how (from an "-oe<n>[s]" option).
struct OutputCards {
  unsigned firstCard = 1;  // without any -oe option: card 1, raw
  bool framed = false;     // "s": every card from firstCard on, each as "<len> <bytes>"
};

// One command buffer, read. `input` points into the buffer it was read from.
struct MercCommand {
  std::string mapName;  // without the enclosing quotes
  const unsigned char* input = nullptr;
  std::size_t inputLength = 0;
  OutputCards output;
  std::string passOptions;  // options left to the map, blank-separated
  int64_t timeLimitMs = 0;  // of a child map's run; 0: none
};

// Reads a command buffer. Reads never go past the buffer's terminating NUL, except the
// input bytes, whose count comes from -ie1s. 1 on success; 0 with `error` set.
int mercParseCommand(const char* buffer, MercCommand& command, std::string& error);

// Reads the tail options into `command`: -oe<n>[s] and -tl<milliseconds> (any case; the
// last one counts) are the engine's; every other word is passed to the map. 1 on success;
// 0 with `error` set for a malformed -oe or -tl option.
int mercParseOptions(const char* tail, MercCommand& command, std::string& error);

// What tells a map file from the one that was at the same path before: a file replaced,
// rewritten, touched or given other permissions differs in one of these.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = -1;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  uint32_t mode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A map file found on disk.
struct MapFile {
  std::string path;
  FileIdentity identity;
};

// Finds the map file: a name holding '/' is a path; a bare name is looked for in each
// folder of MERC_MAP_PATH (colon-separated, default "."). Each place is tried as given,
// then with ".so" appended. 1 with `file` set (one stat of the file found); 0 with
// `error` set.
int mercFindMap(const std::string& name, MapFile& file, std::string& error);

// The same, for callers that want the path alone.
int mercFindMap(const std::string& name, std::string& path, std::string& error);

// The identity of the file at `path` as stat gives it now; 0 when there is none.
int mercFileIdentity(const std::string& path, FileIdentity& identity);

// True when `path` is an ELF shared library of this host (type ET_DYN without a program
// interpreter, so position-independent executables do not count).
bool mercIsSharedObject(const std::string& path);

// mercIsSharedObject for a file found by mercFindMap, remembered per path for as long as
// the file keeps its identity, so that a map run every request reads its header once.
bool mercIsSharedMap(const MapFile& file);

// True when `path` is an ELF file of this host carrying the section kZvrMapServeSection
// (merc_map.h): an executable built with the wrapper, which serves one run after another.
// Reads the section headers and their names, each read bounded by the file's own sizes.
bool mercHasServeMark(const std::string& path);

// mercHasServeMark for a file found by mercFindMap, remembered per path for as long as
// the file keeps its identity.
bool mercIsServedMap(const MapFile& file);

// What a map produced: the cards (index 0 is card 1; at least one) and its message.
struct MapResult {
  int32_t code = kMercOk;
  std::vector<std::string> cards = std::vector<std::string>(1);
  std::string message;
};

// Reads MERC_MAP_TIMEOUT (milliseconds, the time limit of a child map's run when the
// command sets none). 1 with `limit` set (0 when unset); 0 with `error` set for a value
// that is not a number of milliseconds.
int mercDefaultTimeLimit(int64_t& limit, std::string& error);

// Runs a child map over the input; `command.passOptions` goes to MERC_OPTIONS. The child
// is killed with SIGKILL when this process dies (a component's thread that runs maps must
// live as long as the component), and together with its process group when it runs past
// `command.timeLimitMs` (kMercMapTimedOut). A shared-object map has no time limit: a call
// in process cannot be stopped safely.
// A run that ends in success or a warning has the next run's process started ahead
// (MercPrestart), and a run finds its process started ahead when it has the same file,
// unchanged, and the same options.
void mercRunChild(const MapFile& file, const MercCommand& command, MapResult& result);

// False when MERC_MAP_SERVE=off (or 0) in this process's environment: every run of an
// executable map then starts a process of its own, marked or not.
bool mercServingWanted();

// Runs a marked executable map (mercIsServedMap) on a process kept for the file as it is
// now and the options, launching one when none is idle; same results, messages, time
// limit and card folder promises as mercRunChild. The process goes back to the idle ones
// when it answered, else it is reaped or killed.
void mercRunServed(const MapFile& file, const MercCommand& command, MapResult& result);

// Ends every idle served process.
void mercStopServing();

// The result of a map's exit `status` (waitpid's) into `result`: its return code, or
// kMercMapAborted for a signal, with the engine's message when the map gave none.
void mercClassifyExit(const std::string& path, int status, MapResult& result);

// The result of a map's return code: a failure without a message of its own gets
// "map \"PATH\" ended with exit status N".
void mercClassifyReturn(const std::string& path, int32_t code, MapResult& result);

// The message of a run stopped at its time limit.
std::string mercTimeLimitMessage(const std::string& path, int64_t limitMs);

// Reads cards 2, 3, ... from the card folder `dir` into `result`; a gap in the numbers is
// an empty card. `empty`: the folder held nothing and is as the engine made it. 1, or 0
// with `error` set.
int mercReadCards(const std::string& dir, MapResult& result, bool& empty, std::string& error);

// Ends the map process started ahead, if any, and the thread that starts them.
void mercStopPrestart();

// Ends the map process started ahead, if any: the run in hand does not use it.
void mercDropPrestart();

// Runs a shared-object map in process; loads and keeps it on first use. Sets
// kMercMapNotStarted when the object cannot be loaded or lacks zvrMapRun.
void mercRunShared(const std::string& path, const MercCommand& command, MapResult& result);

// True when the shared-object map at `path` is loaded already.
bool mercSharedLoaded(const std::string& path);

// Unloads every cached shared-object map.
void mercUnloadShared();

// Builds the output the caller asked for into a malloc'ed buffer. 1 with `out` and
// `length` set (caller frees `out`); 0 with `error` set when it is 4 GiB or more or
// memory runs out.
int mercBuildOutput(const MapResult& result, const OutputCards& wanted, void*& out,
                    uint32_t& length, std::string& error);

// Copies a message into Errmsg: cut to 427 bytes, trailing line ends removed, NUL-ended.
void mercSetErrmsg(ExitParams& params, const std::string& text);

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_ENGINE_H
