// libFuzzer target: one transformed piece read back into a response (createResponse).
#include <cstddef>
#include <cstdint>

#include "marshall_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return zvr::fuzz::marshallFuzzUseOwnHome(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zvr::fuzz::marshallFuzzCreateResponse(data, size);
}
