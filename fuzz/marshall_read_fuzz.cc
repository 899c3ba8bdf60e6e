// libFuzzer target: one transformed piece read back into a response (createResponse).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "marshall_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A broker home of its own, so the request's theme query touches nothing shared.
  static std::string home = "/tmp/zvr-fuzz-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) return 0;
  setenv("QLX_HOME", home.c_str(), 1);
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zvr::fuzz::marshallFuzzCreateResponse(data, size);
}
