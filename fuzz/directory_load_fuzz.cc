// libFuzzer target: the broker's directory file as `qlxadm load` reads it, through the
// loader's in-memory entry point (the checks that precede parsing, the TOML reader and the
// directory checks; no file and no database). A text that is accepted must also survive a
// round trip: written back with the writer `qlxadm show` uses, it reads to the same model.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "directory_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  qlx::DirectoryModel model;
  std::string error;
  if (!qlx::parseDirectoryToml(text, "/fuzz/directory.toml", model, error)) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  std::ostringstream written;
  qlx::writeDirectoryToml(model, written);
  qlx::DirectoryModel again;
  std::string againError;
  if (!qlx::parseDirectoryToml(written.str(), "/fuzz/directory.toml", again, againError) ||
      !(again == model))
    __builtin_trap();
  return 0;
}
