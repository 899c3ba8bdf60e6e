// Replays the committed seed corpus of the message-file fuzz target as a plain test, so
// that every build runs the fuzz body over known inputs (and the sanitizer build checks
// them).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "messagefile_fuzz.h"
#include "testing/zvr_testing.h"

namespace {

namespace fs = std::filesystem;

TEST(MessageFileCorpusTest, Seeds) {
  const fs::path dir = fs::path(ZVR_SOURCE_DIR) / "fuzz" / "corpus" / "messagefile_fuzz";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
  int seeds = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    std::string bytes = zvr::testing::readFile(entry.path());
    // An exact-size copy, as libFuzzer hands its input.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    SCOPED_TRACE(entry.path().string());
    EXPECT_EQ(zvr::fuzz::messageFuzzReadFile(input.data(), input.size()), 0);
    ++seeds;
  }
  EXPECT_GE(seeds, 8);
}

}  // namespace
