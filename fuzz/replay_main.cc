// Runs a fuzz target's body over every file of the folders given on the command line: how
// each target's committed seed corpus is replayed as a plain test in every build, with or
// without libFuzzer (and under the sanitizers in the sanitizer build). Exit status 0 when
// every input ran and at least one was found; a broken invariant aborts in the body.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// Every regular file below `dir`, in name order so that a failure replays the same way.
std::vector<fs::path> inputsOf(const fs::path& dir) {
  std::vector<fs::path> inputs;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(dir, error))
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

// Runs one file through the body from an exact-size heap copy, as libFuzzer hands its
// input, so that the sanitizers catch a read past its end.
bool replay(const fs::path& input) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  LLVMFuzzerTestOneInput(copy.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& input : inputsOf(argv[i])) {
      if (!replay(input)) {
        std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
        return 1;
      }
      ++replayed;
    }
  }
  std::printf("replay: %zu inputs\n", replayed);
  return replayed != 0 ? 0 : 1;
}
