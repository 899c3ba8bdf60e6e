// Replays the committed seed corpora of the marshalling fuzz targets as plain tests, so
// that every build runs the fuzz bodies over known inputs (and the sanitizer build checks
// them).
#include <filesystem>
#include <string>
#include <vector>

#include "marshall_fuzz.h"
#include "testing/zvr_testing.h"

namespace zvr::testing {
namespace {

namespace fs = std::filesystem;

// fuzz/corpus/<target>/ of the source tree this file belongs to.
fs::path corpusDir(const std::string& target) {
  return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / target;
}

class MarshallCorpusTest : public BrokerHome {
 protected:
  // Runs `body` over every seed of `target`; returns the number of seeds.
  int replay(const std::string& target, int (*body)(const uint8_t*, size_t)) {
    fs::path dir = corpusDir(target);
    if (!fs::is_directory(dir)) return -1;
    int seeds = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      std::string bytes = readFile(entry.path());
      // An exact-size copy, as libFuzzer hands its input.
      std::vector<uint8_t> input(bytes.begin(), bytes.end());
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(body(input.data(), input.size()), 0);
      ++seeds;
    }
    return seeds;
  }
};

TEST_F(MarshallCorpusTest, ReadSeeds) {
  int seeds = replay("marshall_read_fuzz", zvr::fuzz::marshallFuzzCreateResponse);
  if (seeds < 0) GTEST_SKIP() << "no corpus at " << corpusDir("marshall_read_fuzz");
  EXPECT_GE(seeds, 10);
}

TEST_F(MarshallCorpusTest, FrameSeeds) {
  int seeds = replay("marshall_frames_fuzz", zvr::fuzz::marshallFuzzSplitFrames);
  if (seeds < 0) GTEST_SKIP() << "no corpus at " << corpusDir("marshall_frames_fuzz");
  EXPECT_GE(seeds, 10);
}

}  // namespace
}  // namespace zvr::testing
