// The engine's inner steps: reading command buffers, assembling output, finding map files.
#include "merc_engine.h"

#include <merc.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace merc {
namespace {

// A command buffer in a heap block of exactly its size, so a sanitizer build sees any
// read past its end. `bytes` may hold NULs; a NUL is added after it.
struct Buffer {
  explicit Buffer(std::string_view bytes) : data(new char[bytes.size() + 1]) {
    std::memcpy(data.get(), bytes.data(), bytes.size());
    data[bytes.size()] = '\0';
  }
  std::unique_ptr<char[]> data;
};

using namespace std::string_literals;

struct ParseCase {
  std::string buffer;
  std::string map;
  std::string input;
  unsigned firstCard;
  bool framed;
  std::string pass;
  int64_t timeLimit = 0;
};

TEST(MercParseCommand, ReadsWellFormedBuffers) {
  const ParseCase cases[] = {
      {"'/m/INV' -ie1s5 hello -oe1s", "/m/INV", "hello", 1, true, ""},
      {"INVMAP -ie1s5 hello -oe1s", "INVMAP", "hello", 1, true, ""},
      {"'/a b/INV' -ie1s0  -oe1s", "/a b/INV", "", 1, true, ""},
      {"'x' -ie1s3 a\0b -oe1s"s, "x", "a\0b"s, 1, true, ""},
      {"'x' -ie1s3 \0\0\0 -oe1s"s, "x", "\0\0\0"s, 1, true, ""},
      {"'x' -ie1s4 a b  -oe1s"s, "x", "a b ", 1, true, ""},
      {"'x' -ie1s2 ab", "x", "ab", 1, false, ""},
      {"'x' -ie1s2 ab -oe1", "x", "ab", 1, false, ""},
      {"'x' -ie1s2 ab -OE1S", "x", "ab", 1, true, ""},
      {"'x' -ie1s2 ab -oe2s -trace on", "x", "ab", 2, true, "-trace on"},
      {"'x' -ie1s2 ab  -a\t-b   -oe12s ", "x", "ab", 12, true, "-a -b"},
      {"'/m/o'k/INV' -ie1s1 a -oe1s", "/m/o'k/INV", "a", 1, true, ""},
      {"'x' -ie1s1 a -tl250 -oe1s", "x", "a", 1, true, "", 250},
      {"'x' -ie1s1 a -TL9 -tl86400000 -oe1s", "x", "a", 1, true, "", 86400000},
      {"'x' -ie1s1 a -title -tl -oe1s", "x", "a", 1, true, "-title -tl"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.buffer);
    Buffer buffer(c.buffer);
    MercCommand command;
    std::string error;
    ASSERT_EQ(mercParseCommand(buffer.data.get(), command, error), 1) << error;
    EXPECT_EQ(command.mapName, c.map);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(command.input), command.inputLength),
              c.input);
    EXPECT_EQ(command.output.firstCard, c.firstCard);
    EXPECT_EQ(command.output.framed, c.framed);
    EXPECT_EQ(command.passOptions, c.pass);
    EXPECT_EQ(command.timeLimitMs, c.timeLimit);
  }
}

TEST(MercParseCommand, RejectsMalformedBuffersWithoutReadingPastThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "not followed by \" -ie1s\""},
      {"INVMAP", "not followed by \" -ie1s\""},
      {"'x -ie1s2 ab", "not closed"},
      {"'x' -ie2 ab", "not closed"},
      {"x -ie2 ab", "not followed by \" -ie1s\""},
      {"'' -ie1s0  -oe1s", "empty map name"},
      {" -ie1s0  -oe1s", "empty map name"},
      {"'x' -ie1s", "no input length"},
      {"'x' -ie1s ab", "no input length"},
      {"'x' -ie1s2", "not followed by one blank"},
      {"'x' -ie1s2ab", "not followed by one blank"},
      {"'x' -ie1s99999999999 a", "too large"},
      {"'x' -ie1s3 ab -oe1s", "input length does not match"},
      {"'x' -ie1s1 ab -oe1s", "input length does not match"},
      {"'x' -ie1s2 ab -oe0s", "bad output option \"-oe0s\""},
      {"'x' -ie1s2 ab -oes", "bad output option"},
      {"'x' -ie1s2 ab -oe1x", "bad output option"},
      {"'x' -ie1s2 ab -tl0", "bad time limit option \"-tl0\""},
      {"'x' -ie1s2 ab -tl5s", "bad time limit option"},
      {"'x' -ie1s2 ab -tl86400001", "bad time limit option"},
      {"'x' -ie1s2 ab -tl99999999999999999999", "bad time limit option"},
      {"'" + std::string(5000, 'm') + "' -ie1s1 a -oe1s", "longer than 4096"},
      {std::string(5000, 'm'), "longer than 4096"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    Buffer buffer(text);
    MercCommand command;
    std::string error;
    EXPECT_EQ(mercParseCommand(buffer.data.get(), command, error), 0);
    EXPECT_NE(error.find(expected), std::string::npos) << error;
  }
}

TEST(MercParseCommand, RejectsNullBuffer) {
  MercCommand command;
  std::string error;
  EXPECT_EQ(mercParseCommand(nullptr, command, error), 0);
  EXPECT_NE(error.find("lpDataToApp is null"), std::string::npos);
}

std::string built(const MapResult& result, OutputCards wanted) {
  void* out = nullptr;
  uint32_t length = 99;
  std::string error;
  EXPECT_EQ(mercBuildOutput(result, wanted, out, length, error), 1) << error;
  std::string text(static_cast<const char*>(out), length);
  std::free(out);
  return text;
}

TEST(MercBuildOutput, FramesEveryCardFromTheFirstAskedOrGivesOneRaw) {
  MapResult result;
  result.cards = {"abc", "", "w\0yz"s};
  EXPECT_EQ(built(result, {1, true}), "3 abc0 4 w\0yz"s);
  EXPECT_EQ(built(result, {2, true}), "0 4 w\0yz"s);
  EXPECT_EQ(built(result, {4, true}), "");
  EXPECT_EQ(built(result, {1, false}), "abc");
  EXPECT_EQ(built(result, {3, false}), "w\0yz"s);
  EXPECT_EQ(built(result, {9, false}), "");
  MapResult empty;
  EXPECT_EQ(built(empty, {1, true}), "0 ");
}

TEST(MercSetErrmsg, CutsTo427BytesAndDropsTrailingLineEnds) {
  ExitParams params{};
  std::memset(params.Errmsg, 'x', sizeof params.Errmsg);
  mercSetErrmsg(params, std::string(1000, 'e'));
  EXPECT_EQ(std::strlen(params.Errmsg), 427u);
  mercSetErrmsg(params, "oops\r\n\n");
  EXPECT_STREQ(params.Errmsg, "oops");
  EXPECT_EQ(params.Errmsg[5], '\0');  // nothing of the earlier text is left behind
  mercSetErrmsg(params, "");
  EXPECT_STREQ(params.Errmsg, "");
}

class MercMapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/merc-maps-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* old = std::getenv("MERC_MAP_PATH");
    hadPath_ = old != nullptr;
    if (hadPath_) oldPath_ = old;
  }
  void TearDown() override {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir((dir_ + "/sub").c_str());
    rmdir(dir_.c_str());
    if (hadPath_) {
      setenv("MERC_MAP_PATH", oldPath_.c_str(), 1);
    } else {
      unsetenv("MERC_MAP_PATH");
    }
  }
  std::string file(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    files_.push_back(path);
    return path;
  }
  std::string find(const std::string& name) {
    std::string path;
    std::string error;
    if (!mercFindMap(name, path, error)) return "error: " + error;
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
  bool hadPath_ = false;
  std::string oldPath_;
};

TEST_F(MercMapFileTest, LooksInEachFolderForTheNameThenTheNameWithSo) {
  file("a", "#!/bin/sh\n");
  file("b.so", "x");
  file("both", "1");
  file("both.so", "2");
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
  setenv("MERC_MAP_PATH", ("/nonexistent::" + dir_).c_str(), 1);
  EXPECT_EQ(find("a"), dir_ + "/a");
  EXPECT_EQ(find("b"), dir_ + "/b.so");
  EXPECT_EQ(find("both"), dir_ + "/both");
  EXPECT_EQ(find("sub"), "error: map \"sub\" not found in MERC_MAP_PATH \"/nonexistent:.:" +
                             dir_ + "\"");
  EXPECT_EQ(find(dir_ + "/b"), dir_ + "/b.so");
  EXPECT_EQ(find(dir_ + "/none"),
            "error: map file \"" + dir_ + "/none\" not found (nor \"" + dir_ + "/none.so\")");
}

TEST_F(MercMapFileTest, DefaultsToTheWorkingFolder) {
  file("here", "1");
  unsetenv("MERC_MAP_PATH");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::string found = find("here");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(found, "./here");
}

TEST_F(MercMapFileTest, TakesOnlyElfSharedLibrariesAsSharedObjects) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&RunMap), &info), 0);
  std::string engine = info.dli_fname;  // libmerc.so: a shared library
  EXPECT_TRUE(mercIsSharedObject(engine));
  // This test program is position independent (type ET_DYN too) but has an interpreter.
  EXPECT_FALSE(mercIsSharedObject("/proc/self/exe"));
  EXPECT_FALSE(mercIsSharedObject(file("script", "#!/bin/sh\nexit 0\n")));
  EXPECT_FALSE(mercIsSharedObject(file("short", "\x7f" "ELF")));
  EXPECT_FALSE(mercIsSharedObject(dir_ + "/missing"));
  std::ifstream in(engine, std::ios::binary);
  std::string head(64, '\0');
  in.read(head.data(), 64);
  // Its ELF header alone: the program headers are out of reach, so it cannot be loaded.
  EXPECT_FALSE(mercIsSharedObject(file("cut", head)));
}

}  // namespace
}  // namespace merc
