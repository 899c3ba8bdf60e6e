#include "teecomponent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
  std::vector<const char*> args;
  int valid;
  const char* element;
  const char* outFile;
  bool eat;
  unsigned full;
  unsigned hex;
};

TEST(ZvrTeeOptionsTest, CommandLines) {
  const ParseCase cases[] = {
      {{}, 1, "ZVRTee1", nullptr, false, 0, 0},
      {{"-noforward", "-hex", "-o", "f", "-hdr", "-e", "T"}, 1, "T", "f", true, 1, 1},
      {{"-e", "A", "-e", "B", "-o", "x", "-o", "y"}, 1, "B", "y", false, 0, 0},
      {{"-e"}, 0, "ZVRTee1", nullptr, false, 0, 0},
      {{"-hdr", "-o"}, 0, "ZVRTee1", nullptr, false, 1, 0},
      {{"-forward"}, 0, "ZVRTee1", nullptr, false, 0, 0},
      {{"-e", "T", "extra"}, 0, "T", nullptr, false, 0, 0},
      {{"-?"}, 0, "ZVRTee1", nullptr, false, 0, 0},
  };
  for (const ParseCase& c : cases) {
    full_message = 0;
    hex_dump = 0;
    std::vector<const char*> argv{"zvrtee"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    ZvrTeeOptions options;
    EXPECT_EQ(zvrParseTeeOptions(static_cast<int>(argv.size()), argv.data(), options), c.valid)
        << line;
    if (!c.valid) continue;
    EXPECT_STREQ(options.be_name, c.element) << line;
    EXPECT_STREQ(options.out_filename, c.outFile) << line;
    EXPECT_EQ(options.eat_msgs, c.eat) << line;
    EXPECT_EQ(full_message, c.full) << line;
    EXPECT_EQ(hex_dump, c.hex) << line;
  }
}

}  // namespace
