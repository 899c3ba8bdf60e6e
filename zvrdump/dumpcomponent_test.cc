#include "dumpcomponent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/zvr_testing.h"

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

class ZvrWriteWholeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zvr-dumpfile-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(ZvrWriteWholeFileTest, ReplacesAnExistingFileByteForByte) {
  std::string path = (dir_ / "dump").string();
  const std::string longer(5000, 'x');
  const std::string binary("a\0b\r\n\xff]", 7);
  bool opened = false;
  std::string reason;
  ASSERT_EQ(zvrWriteWholeFile(path.c_str(), longer.data(), longer.size(), opened, reason), 1);
  ASSERT_EQ(zvrWriteWholeFile(path.c_str(), binary.data(), binary.size(), opened, reason), 1);
  EXPECT_EQ(zvr::testing::readFile(path), binary);
  ASSERT_EQ(zvrWriteWholeFile(path.c_str(), nullptr, 0, opened, reason), 1);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(ZvrWriteWholeFileTest, FailuresTellOpenFromWrite) {
  bool opened = true;
  std::string reason;
  // A folder cannot be opened as a file.
  EXPECT_EQ(zvrWriteWholeFile(dir_.c_str(), "x", 1, opened, reason), 0);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(reason.empty());
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this host";
  // /dev/full opens, and every write to it fails with ENOSPC (at the latest at close).
  reason.clear();
  EXPECT_EQ(zvrWriteWholeFile("/dev/full", "x", 1, opened, reason), 0);
  EXPECT_TRUE(opened);
  EXPECT_NE(reason.find("space"), std::string::npos) << reason;
}

}  // namespace
