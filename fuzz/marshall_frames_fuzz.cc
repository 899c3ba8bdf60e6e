// libFuzzer target: a whole engine output split into frames (splitMultiBuffer), each
// frame read back into a response.
#include <cstddef>
#include <cstdint>

#include "marshall_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return zvr::fuzz::marshallFuzzUseOwnHome(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zvr::fuzz::marshallFuzzSplitFrames(data, size);
}
