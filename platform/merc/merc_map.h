// Entry point of an in-process map of the stand-in engine.
//
// A map file that is a shared object exporting zvrMapRun is loaded once by the engine and
// called in the engine's process for every run (the fast path). Every other executable map
// runs as a child process instead: input card 1 on its standard input, output card 1 on
// its standard output, output cards 2, 3, ... as the files "card2", "card3", ... in the
// folder named by MERC_CARD_DIR (a missing number is an empty card; other files there are
// ignored), its message on standard error and its exit status as the return code. Both
// kinds see the same options (MERC_OPTIONS for a child).
#ifndef ZVR_PLATFORM_MERC_MAP_H
#define ZVR_PLATFORM_MERC_MAP_H

#include <stddef.h>
#include <stdint.h>

// Raised when MapInput or MapOutput change incompatibly.
inline constexpr uint32_t kZvrMapAbiVersion = 1;

// The highest output card number a map may write.
inline constexpr unsigned kZvrMapMaxCards = 999;

// Serving one run after another from one process. An executable built with the wrapper
// maps/map_main.cc carries a section of the name below; the engine finds it in the file's
// section headers and then starts the process once, with the environment variable below
// naming the descriptor of a stream socket, instead of once per run. The wrapper removes
// the variable before any map code runs. Each run: the engine empties the files that are
// the process's standard output and error, sends a frame (kZvrMapServeHeader bytes, the
// input's length little-endian, then the input), and the wrapper calls zvrMapRun, flushes
// standard output and answers the return code (0 to 255) in kZvrMapServeAnswer bytes,
// little-endian. The end of the channel ends the process.
#define ZVR_MAP_SERVE_SECTION ".zvr.map.serve"
inline constexpr char kZvrMapServeSection[] = ZVR_MAP_SERVE_SECTION;
inline constexpr char kZvrMapServeVariable[] = "MERC_SERVE_FD";
inline constexpr size_t kZvrMapServeHeader = 8;
inline constexpr size_t kZvrMapServeAnswer = 4;

extern "C" {

// What the engine hands a map; everything is borrowed for the duration of the call.
struct MapInput {
  uint32_t abiVersion;  // kZvrMapAbiVersion of the engine
  const char* mapPath;  // the map file the engine resolved; never null
  const void* data;     // input card 1: exactly `length` bytes, may hold NULs, not terminated
  size_t length;
  const char* options;  // options the engine does not interpret, blank-separated, in the
                        // order given; "" when none; never null
};

// How a map hands back its output. The map calls the two functions through the record;
// `context` belongs to the engine and is not to be touched.
struct MapOutput {
  void* context;
  // Appends `length` bytes at `data` to output card `card` (1 to kZvrMapMaxCards).
  // Cards never written are empty; the run has as many cards as the highest one written
  // (at least card 1). Returns 0, or -1 for a bad card number or when memory runs out.
  int (*append)(MapOutput* out, unsigned card, const void* data, size_t length);
  // Appends a text to the run's message (what a child map writes on standard error).
  void (*message)(MapOutput* out, const char* text);
};

// The entry point: returns the run's return code (0 success; 14, 18, 21 warnings; any
// other value failure). A map must not keep pointers into its input or output records.
typedef int (*ZvrMapRunFn)(const MapInput* input, MapOutput* output);
int zvrMapRun(const MapInput* input, MapOutput* output);

}  // extern "C"

#endif  // ZVR_PLATFORM_MERC_MAP_H
