// identity: output card 1 is the input, byte for byte.
#include "map_text.h"

#include <atomic>

namespace {
std::atomic<int> gCalls{0};
}

extern "C" {

// Runs of this map in this process: as a shared object it is loaded once and stays
// loaded, so the count goes on across runs until the engine ends.
int zvrMapCalls(void) { return gCalls.load(); }

int zvrMapRun(const MapInput* input, MapOutput* output) {
  ++gCalls;
  if (maps::appendText(output, 1, maps::inputText(input)) != 0) {
    output->message(output, "identity: cannot write output card 1\n");
    return 8;
  }
  return 0;
}

}  // extern "C"
