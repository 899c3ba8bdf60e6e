// libFuzzer target: the Routing section of a transformed piece, as raw bytes or as
// well-formed entries that must read back as written.
#include <cstddef>
#include <cstdint>

#include "marshall_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return zvr::fuzz::marshallFuzzUseOwnHome(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zvr::fuzz::marshallFuzzRouting(data, size);
}
