#include "dumpcomponent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
  std::vector<const char*> args;
  ZvrDumpParse expected;
  const char* element;
  const char* outFile;
  unsigned header;
};

TEST(ZvrDumpOptionsTest, CommandLines) {
  const ParseCase cases[] = {
      {{"-o", "f"}, ZvrDumpParse::kRun, "ZVRTransform1", "f", 0},
      {{"-hdr", "-e", "D1", "-o", "f"}, ZvrDumpParse::kRun, "D1", "f", 1},
      {{"-o", "a", "-o", "b"}, ZvrDumpParse::kRun, "ZVRTransform1", "b", 0},
      {{"-e", "D1"}, ZvrDumpParse::kInvalid, "D1", nullptr, 0},  // -o is required
      {{}, ZvrDumpParse::kInvalid, "ZVRTransform1", nullptr, 0},
      {{"-o"}, ZvrDumpParse::kInvalid, "ZVRTransform1", nullptr, 0},
      {{"-o", "f", "-e"}, ZvrDumpParse::kInvalid, "ZVRTransform1", "f", 0},
      {{"-o", "f", "-x"}, ZvrDumpParse::kInvalid, "ZVRTransform1", "f", 0},
      {{"-o", "f", "-HDR"}, ZvrDumpParse::kInvalid, "ZVRTransform1", "f", 0},
      {{"-?"}, ZvrDumpParse::kHelp, "ZVRTransform1", nullptr, 0},
      {{"-?", "-o", "f"}, ZvrDumpParse::kHelp, "ZVRTransform1", "f", 0},
      {{"-?", "-bad"}, ZvrDumpParse::kInvalid, "ZVRTransform1", nullptr, 0},
  };
  for (const ParseCase& c : cases) {
    std::vector<const char*> argv{"zvrdumpt"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ZvrDumpOptions options;
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    EXPECT_EQ(zvrParseDumpOptions(static_cast<int>(argv.size()), argv.data(), options),
              c.expected)
        << line;
    if (c.expected == ZvrDumpParse::kInvalid) continue;
    EXPECT_STREQ(options.element, c.element) << line;
    EXPECT_STREQ(options.outFile, c.outFile) << line;
    EXPECT_EQ(options.header, c.header) << line;
  }
}

}  // namespace
