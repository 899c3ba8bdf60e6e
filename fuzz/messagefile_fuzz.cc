// libFuzzer target: a whole message file read record by record (zvrParseRecord), each
// record checked against the writer.
#include <cstddef>
#include <cstdint>

#include "messagefile_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zvr::fuzz::messageFuzzReadFile(data, size);
}
