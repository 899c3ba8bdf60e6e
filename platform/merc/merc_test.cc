// RunMap end to end: the sample maps (executables and shared objects) and maps written
// by the tests as shell scripts, run through the engine as a component runs them.
#include <merc.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "merc_workdir.h"

namespace {

using namespace std::string_literals;

const char kHeader[] =
    "<Header>\r\n<Attributes>\r\n<Priority>-2</Priority>\r\n</Attributes>\r\n"
    "<FormatName>ORDERS</FormatName>\r\n</Header>\r\n";

struct MapRun {
  int result = 0;
  int32_t nReturn = 0;
  bool hasOutput = false;
  std::string output;
  std::string errmsg;
};

std::string mapsDir() {
  const char* build = std::getenv("ZVR_BUILD_DIR");
  return build != nullptr ? std::string(build) + "/maps" : ZVR_MAPS_DIR;
}

class MercRunMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    maps_ = mapsDir();
    if (access((maps_ + "/identity").c_str(), X_OK) != 0) {
      GTEST_SKIP() << "sample maps not built in " << maps_ << " (configure with maps)";
    }
    char pattern[] = "/tmp/merc-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scripts_ = pattern;
    setenv("MERC_MAP_PATH", (maps_ + ":" + scripts_).c_str(), 1);
    unsetenv("MERC_ROUTE_SERVICE");
    ASSERT_EQ(MercInitAPI(), 0);
  }
  void TearDown() override {
    MercExitAPI();
    for (const std::string& f : files_) std::remove(f.c_str());
    if (!scripts_.empty()) rmdir(scripts_.c_str());
  }

  // Runs a map over the input with the command buffer built as the transform objects
  // build it, in a heap block of exactly its size.
  MapRun run(const std::string& map, std::string_view input, const std::string& tail = " -oe1s") {
    std::string head = map + " -ie1s" + std::to_string(input.size()) + " ";
    return runRaw(head + std::string(input) + tail);
  }
  MapRun runRaw(const std::string& command) {
    std::unique_ptr<char[]> buffer(new char[command.size() + 1]);
    std::memcpy(buffer.get(), command.data(), command.size());
    buffer[command.size()] = '\0';
    ExitParams params{};
    params.dwSize = 480;
    params.lpDataToApp = buffer.get();
    return collect(params, RunMap(&params));
  }
  static MapRun collect(ExitParams& params, int result) {
    MapRun r;
    r.result = result;
    r.nReturn = params.nReturn;
    r.hasOutput = params.lpDataFromApp != nullptr;
    if (r.hasOutput) {
      r.output.assign(static_cast<const char*>(params.lpDataFromApp), params.dwFromLen);
    }
    EXPECT_TRUE(r.hasOutput || params.dwFromLen == 0);
    EXPECT_NE(std::memchr(params.Errmsg, '\0', sizeof params.Errmsg), nullptr);
    r.errmsg = params.Errmsg;
    std::free(params.lpDataFromApp);
    return r;
  }
  // Writes an executable shell script map into the test's own map folder.
  std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    std::string path = scripts_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), mode);
    files_.push_back(path);
    return path;
  }
  static std::string framed(const std::string& card) {
    return std::to_string(card.size()) + " " + card;
  }

  std::string maps_;
  std::string scripts_;
  std::vector<std::string> files_;
};

TEST_F(MercRunMapTest, IdentityPassesEveryByteAsExecutableAndSharedObject) {
  const std::string inputs[] = {"hello", "", "a\0b\0"s, kHeader + "body"s,
                                std::string(70000, 'z')};
  for (const std::string map : {"identity", "identity_so", "'IDENTITY_PATH'"}) {
    std::string name = map == "'IDENTITY_PATH'" ? "'" + maps_ + "/identity'" : map;
    for (const std::string& input : inputs) {
      SCOPED_TRACE(name + " over " + std::to_string(input.size()) + " bytes");
      MapRun framedRun = run(name, input);
      EXPECT_EQ(framedRun.nReturn, 0) << framedRun.errmsg;
      EXPECT_EQ(framedRun.result, 0);
      EXPECT_EQ(framedRun.output, framed(input));
      MapRun raw = run(name, input, "");
      EXPECT_EQ(raw.output, input);
      EXPECT_TRUE(raw.hasOutput);
    }
  }
}

TEST_F(MercRunMapTest, UpperChangesTheBodyOnly) {
  for (const char* map : {"upper", "upper_so"}) {
    SCOPED_TRACE(map);
    EXPECT_EQ(run(map, kHeader + "hello, World\0x"s).output,
              framed(kHeader + "HELLO, WORLD\0X"s));
    EXPECT_EQ(run(map, "no header <x>").output, framed("NO HEADER <X>"));
  }
}

TEST_F(MercRunMapTest, RouteAddsARoutingSectionAtTheEndOfTheHeader) {
  auto routing = [](const std::string& action, const std::string& service) {
    return "<Routing>\r\n<Route>\r\n<Action>" + action + "</Action>\r\n<Service>" + service +
           "</Service>\r\n</Route>\r\n</Routing>\r\n";
  };
  std::string head = kHeader;
  std::string withoutEnd = head.substr(0, head.size() - std::strlen("</Header>\r\n"));
  for (const char* map : {"route", "route_so"}) {
    SCOPED_TRACE(map);
    EXPECT_EQ(run(map, head + "body").output,
              framed(withoutEnd + routing("INSERT", "SVC2") + "</Header>\r\nbody"));
    EXPECT_EQ(run(map, "body", " -oe1s -service SVC9 -action NOTIFY").output,
              framed("<Header>\r\n" + routing("NOTIFY", "SVC9") + "</Header>\r\nbody"));
    setenv("MERC_ROUTE_SERVICE", "ENVSVC", 1);
    EXPECT_EQ(run(map, "b").output,
              framed("<Header>\r\n" + routing("INSERT", "ENVSVC") + "</Header>\r\nb"));
    unsetenv("MERC_ROUTE_SERVICE");
  }
}

TEST_F(MercRunMapTest, TwoCardsGiveTwoFrames) {
  std::string input = kHeader + "two"s;
  for (const char* map : {"twocards", "twocards_so"}) {
    SCOPED_TRACE(map);
    MapRun r = run(map, input);
    EXPECT_EQ(r.nReturn, 0) << r.errmsg;
    EXPECT_EQ(r.output, framed(input) + framed(kHeader + "TWO"s));
    EXPECT_EQ(run(map, input, " -oe2s").output, framed(kHeader + "TWO"s));
    EXPECT_EQ(run(map, input, "").output, input);  // no output option: card 1 raw
  }
}

TEST_F(MercRunMapTest, WarningsKeepTheOutputAndTheMessage) {
  for (const char* map : {"warn", "warn_so"}) {
    for (const std::string code : {"14", "18", "21"}) {
      SCOPED_TRACE(map + (" " + code));
      MapRun r = run(map, "data", " -oe1s -rc " + code);
      EXPECT_EQ(r.nReturn, std::stoi(code));
      EXPECT_EQ(r.result, r.nReturn);
      EXPECT_EQ(r.output, framed("data"));
      EXPECT_EQ(r.errmsg, "warn: message passed on with a warning (return code " + code + ")");
    }
  }
}

TEST_F(MercRunMapTest, FailureGivesNoOutputAndTheMapsMessage) {
  for (const char* map : {"fail", "fail_so"}) {
    SCOPED_TRACE(map);
    MapRun r = run(map, "data");
    EXPECT_EQ(r.nReturn, 8);
    EXPECT_FALSE(r.hasOutput);
    EXPECT_EQ(r.errmsg, "fail: the map rejects every message");
  }
  MapRun warnAsFailure = run("warn", "data", " -oe1s -rc 15");
  EXPECT_EQ(warnAsFailure.nReturn, 15);
  EXPECT_FALSE(warnAsFailure.hasOutput);
}

TEST_F(MercRunMapTest, EngineFailuresHaveTheirOwnCodesAndClearMessages) {
  struct Case {
    std::string command;
    int32_t code;
    std::string message;
  };
  script("noexec", "cat", 0644);
  std::ofstream(scripts_ + "/noshebang") << "cat\n";
  chmod((scripts_ + "/noshebang").c_str(), 0755);
  files_.push_back(scripts_ + "/noshebang");
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&RunMap), &info), 0);
  const Case cases[] = {
      {"nosuchmap -ie1s1 a -oe1s", -3, "map \"nosuchmap\" not found in MERC_MAP_PATH"},
      {"'/no/such/map' -ie1s1 a -oe1s", -3, "map file \"/no/such/map\" not found"},
      {"noexec -ie1s1 a -oe1s", -4, "cannot be started: Permission denied"},
      {"noshebang -ie1s1 a -oe1s", -4, "cannot be started: Exec format error"},
      {"'"s + info.dli_fname + "' -ie1s1 a -oe1s", -4, "without the entry point zvrMapRun"},
      {"identity -ie1s3 a -oe1s", -2, "input length does not match"},
      {"identity -ie1s", -2, "no input length after -ie1s"},
      {"identity a -oe1s", -2, "not followed by \" -ie1s\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    MapRun r = runRaw(c.command);
    EXPECT_EQ(r.nReturn, c.code);
    EXPECT_EQ(r.result, c.code);
    EXPECT_FALSE(r.hasOutput);
    EXPECT_NE(r.errmsg.find(c.message), std::string::npos) << r.errmsg;
  }
}

TEST_F(MercRunMapTest, RejectsMissingRecordAndBuffer) {
  EXPECT_EQ(RunMap(nullptr), -2);
  ExitParams params{};
  params.lpDataFromApp = &params;  // whatever was left there is not taken as output
  MapRun r = collect(params, RunMap(&params));
  EXPECT_EQ(r.nReturn, -2);
  EXPECT_FALSE(r.hasOutput);
  EXPECT_NE(r.errmsg.find("lpDataToApp is null"), std::string::npos);
}

TEST_F(MercRunMapTest, ChildGetsCardFolderAndOptionsAndTheFolderIsRemoved) {
  script("cards",
         "cat; printf two > \"$MERC_CARD_DIR/card2\"; printf four > \"$MERC_CARD_DIR/card4\"\n"
         "printf x > \"$MERC_CARD_DIR/other\"; printf one > \"$MERC_CARD_DIR/card1\"\n"
         "printf %s \"$MERC_CARD_DIR\" > \"$MERC_CARD_DIR/card5\"");
  MapRun r = run("cards", "in");
  ASSERT_EQ(r.nReturn, 0) << r.errmsg;
  std::string folder = r.output.substr(r.output.rfind(' ') + 1);
  EXPECT_EQ(r.output, framed("in") + framed("two") + framed("") + framed("four") + framed(folder));
  EXPECT_NE(folder.find("/merc-"), std::string::npos);
  struct stat st;
  EXPECT_NE(stat(folder.c_str(), &st), 0) << folder << " left behind";

  script("opts", "printf %s \"$MERC_OPTIONS\"");
  EXPECT_EQ(run("opts", "", " -oe1s -x 1  -y").output, framed("-x 1 -y"));
  setenv("MERC_OPTIONS", "stale", 1);
  EXPECT_EQ(run("opts", "", " -oe1s").output, framed(""));
  unsetenv("MERC_OPTIONS");
}

// A run that leaves its card folder empty hands it on to the next run; anything the run
// could still put there (files, a changed mode, a process of its group still alive) makes
// the next run get a new empty folder instead.
TEST_F(MercRunMapTest, CardFolderPassesOnOnlyEmptyAndUntouched) {
  struct Case {
    const char* name;
    const char* action;  // what the first run does besides printing its folder
    bool sameFolder;
  };
  const Case cases[] = {
      {"nothing", ":", true},
      {"card written", "printf two > \"$MERC_CARD_DIR/card2\"", false},
      {"other file", "printf x > \"$MERC_CARD_DIR/notes\"", false},
      {"file removed again", "printf x > \"$MERC_CARD_DIR/card3\"; rm \"$MERC_CARD_DIR/card3\"",
       true},
      {"subfolder", "mkdir \"$MERC_CARD_DIR/sub\"", false},
      {"mode changed", "chmod 0755 \"$MERC_CARD_DIR\"", false},
      {"straggler in its group",
       "(sleep 0.3; printf late > \"$MERC_CARD_DIR/card2\") </dev/null >/dev/null 2>&1 &",
       false},
  };
  // Waits out the straggler, then shows what the folder holds.
  script("probe",
         "cat >/dev/null; sleep 0.6; printf '%s %s [%s]' \"$MERC_CARD_DIR\" "
         "\"$(stat -c %a \"$MERC_CARD_DIR\")\" \"$(ls -A \"$MERC_CARD_DIR\")\"");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script("first", "cat >/dev/null\n" + std::string(c.action) + "\nprintf %s \"$MERC_CARD_DIR\"");
    MapRun first = run("first", "x");
    ASSERT_EQ(first.nReturn, 0) << first.errmsg;
    const std::string folder = first.output.substr(first.output.find(' ') + 1);
    MapRun probe = run("probe", "x");
    ASSERT_EQ(probe.nReturn, 0) << probe.errmsg;
    const std::string seen = probe.output.substr(probe.output.find(' ') + 1);
    const std::string probeFolder = seen.substr(0, seen.find(' '));
    EXPECT_EQ(probeFolder == folder, c.sameFolder) << folder << " then " << probeFolder;
    EXPECT_EQ(seen.substr(probeFolder.size()), " 700 []") << "the run met a used folder";
  }
  // A kept folder that went away meanwhile (a cleaner of /tmp) is not handed out.
  script("first", "cat >/dev/null\nprintf %s \"$MERC_CARD_DIR\"");
  MapRun kept = run("first", "x");
  ASSERT_EQ(kept.nReturn, 0) << kept.errmsg;
  ASSERT_EQ(rmdir(kept.output.substr(kept.output.find(' ') + 1).c_str()), 0);
  script("second", "cat >/dev/null\nprintf two > \"$MERC_CARD_DIR/card2\"");
  MapRun second = run("second", "x");
  EXPECT_EQ(second.nReturn, 0) << second.errmsg;
  EXPECT_EQ(second.output, framed("") + framed("two"));
}

TEST_F(MercRunMapTest, ExitStatusAndStandardErrorOfAChild) {
  script("careful", "cat; echo careful >&2; exit 18");
  MapRun warned = run("careful", "x");
  EXPECT_EQ(warned.nReturn, 18);
  EXPECT_EQ(warned.output, framed("x"));
  EXPECT_EQ(warned.errmsg, "careful");

  script("silent", "exit 3");
  MapRun silent = run("silent", "x");
  EXPECT_EQ(silent.nReturn, 3);
  EXPECT_NE(silent.errmsg.find("silent\" ended with exit status 3"), std::string::npos);

  script("chatty", "i=0; while [ $i -lt 100 ]; do printf 0123456789 >&2; i=$((i+1)); done; exit 8");
  MapRun chatty = run("chatty", "x");
  EXPECT_EQ(chatty.nReturn, 8);
  EXPECT_EQ(chatty.errmsg.size(), 427u);

  script("killed", "echo dying >&2; kill -9 $$");
  MapRun killed = run("killed", "x");
  EXPECT_EQ(killed.nReturn, -5);
  EXPECT_NE(killed.errmsg.find("ended by signal 9: dying"), std::string::npos) << killed.errmsg;
  EXPECT_FALSE(killed.hasOutput);
}

TEST_F(MercRunMapTest, LargeStreamsPassWithoutDeadlock) {
  std::string mib(1 << 20, '\0');
  for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>(i * 7 + i / 251);
  // cat writes while it still reads: a writer that did not also read would stall.
  script("streaming", "exec cat");
  script("noisy", "head -c 300000 /dev/zero | tr '\\000' e >&2; cat");
  for (const char* map : {"identity", "identity_so", "streaming", "noisy"}) {
    SCOPED_TRACE(map);
    MapRun r = run(map, mib);
    EXPECT_EQ(r.nReturn, 0) << r.errmsg;
    EXPECT_TRUE(r.output == framed(mib)) << "output of " << r.output.size() << " bytes differs";
  }
  // A map that ignores its input ends early; the engine must not die of the broken pipe.
  script("deaf", "printf hi");
  MapRun deaf = run("deaf", mib);
  EXPECT_EQ(deaf.nReturn, 0);
  EXPECT_EQ(deaf.output, framed("hi"));
}

// The child wrapper reads its input in growing pieces and writes card 1 out in pieces:
// sizes at and around each piece's edge pass byte for byte, card 2 as well.
TEST_F(MercRunMapTest, ChildWrapperPassesEverySizeWhole) {
  for (std::size_t size : {0, 1, 4095, 4096, 4097, 8192, 65535, 65536, 65537, 131073, 300000}) {
    SCOPED_TRACE(size);
    std::string input(size, '\0');
    for (std::size_t i = 0; i < size; ++i) input[i] = static_cast<char>('a' + i % 26);
    MapRun once = run("identity", input);
    EXPECT_EQ(once.nReturn, 0) << once.errmsg;
    EXPECT_TRUE(once.output == framed(input)) << "identity gave " << once.output.size() << " bytes";
    MapRun two = run("twocards", input);
    EXPECT_EQ(two.nReturn, 0) << two.errmsg;
    std::string upper = input;
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
    EXPECT_TRUE(two.output == framed(input) + framed(upper))
        << "twocards gave " << two.output.size() << " bytes";
  }
}

// A map that prints to standard output itself, beside its appends and past the size of a
// stdio buffer, gets card 1 in the order it made it.
TEST_F(MercRunMapTest, ChildWrapperKeepsTheOrderOfWhatTheMapPrints) {
  std::string printed;
  for (int i = 0; i < 10000; ++i) printed += "5 printed at length\n";
  const std::string expected = "1 appended\n2 printed\n3 streamed\n4 the input\n" + printed +
                               "6 appended\n7 printed last\n";
  MapRun r = run("stdout_order", "4 the input\n");
  EXPECT_EQ(r.nReturn, 0) << r.errmsg;
  EXPECT_TRUE(r.output == framed(expected))
      << "card 1 of " << r.output.size() << " bytes begins " << r.output.substr(0, 80);
}

TEST_F(MercRunMapTest, SharedObjectIsLoadedOnceUntilTheEngineEnds) {
  std::string path = maps_ + "/identity_so.so";
  ASSERT_EQ(run("identity_so", "a").nReturn, 0);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << "identity_so.so is not loaded after a run";
  auto calls = reinterpret_cast<int (*)()>(dlsym(handle, "zvrMapCalls"));
  ASSERT_NE(calls, nullptr);
  int before = calls();
  EXPECT_EQ(run("identity_so", "b").output, framed("b"));
  EXPECT_EQ(run("'" + path + "'", "c").output, framed("c"));  // same file, same instance
  EXPECT_EQ(calls(), before + 2);
  dlclose(handle);
  MercExitAPI();
  EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "identity_so.so still loaded after MercExitAPI";
  EXPECT_EQ(run("identity_so", "d").output, framed("d"));  // loads again on demand
}

// True once the process is gone or a zombie nobody reaped yet.
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  while (!ended(pid)) {
    if (std::chrono::steady_clock::now() - start > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Waits until `path` holds a line and returns the number on it, or -1.
long readPidFile(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    std::ifstream in(path);
    long pid = 0;
    if (in >> pid && pid > 0) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST_F(MercRunMapTest, TimeLimitEndsTheMapAndWhatItStartedLikeAFailingMap) {
  const std::string pidFile = scripts_ + "/sleeper.pid";
  files_.push_back(pidFile);
  script("stuck", "sleep 30 & echo $! > '" + pidFile + "'; wait; cat");
  struct Case {
    const char* tail;
    const char* environment;
    int64_t limit;
  };
  const Case cases[] = {{" -oe1s -tl300", nullptr, 300}, {" -oe1s", "250", 250},
                        {" -tl200 -oe1s", "60000", 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    std::remove(pidFile.c_str());
    if (c.environment != nullptr) setenv("MERC_MAP_TIMEOUT", c.environment, 1);
    const auto start = std::chrono::steady_clock::now();
    MapRun r = run("stuck", "in", c.tail);
    const auto took = std::chrono::steady_clock::now() - start;
    unsetenv("MERC_MAP_TIMEOUT");
    EXPECT_EQ(r.nReturn, -7);
    EXPECT_FALSE(r.hasOutput);
    EXPECT_NE(r.errmsg.find("stopped at its time limit of " + std::to_string(c.limit) + " ms"),
              std::string::npos) << r.errmsg;
    EXPECT_LT(took, std::chrono::seconds(10));
    long sleeper = readPidFile(pidFile);
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(endsWithin(static_cast<pid_t>(sleeper), std::chrono::seconds(5)))
        << "the map's own child outlived the time limit";
  }
  // In time, the limit changes nothing.
  EXPECT_EQ(run("identity", "quick", " -oe1s -tl60000").output, framed("quick"));
  setenv("MERC_MAP_TIMEOUT", "soon", 1);
  MapRun bad = run("identity", "x");
  unsetenv("MERC_MAP_TIMEOUT");
  EXPECT_EQ(bad.nReturn, -2);
  EXPECT_NE(bad.errmsg.find("MERC_MAP_TIMEOUT=\"soon\" is not a time limit"), std::string::npos)
      << bad.errmsg;
}

// A server killed while a map runs: the map dies with it, and its engine folder is swept by
// the next engine.
TEST_F(MercRunMapTest, MapDiesWithItsServerAndTheNextEngineSweepsTheFolder) {
  char pattern[] = "/tmp/merc-tmpdir-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string tmp = pattern;
  const std::string pidFile = scripts_ + "/map.pid";
  const std::string doneFile = scripts_ + "/map.done";
  files_.push_back(pidFile);
  files_.push_back(doneFile);
  script("slow", "echo $$ > '" + pidFile + "'; sleep 2; echo finished > '" + doneFile + "'");
  pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    setenv("TMPDIR", tmp.c_str(), 1);
    run("slow", "in");
    _exit(0);
  }
  long map = readPidFile(pidFile);
  ASSERT_GT(map, 0);
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  EXPECT_TRUE(endsWithin(static_cast<pid_t>(map), std::chrono::seconds(5)))
      << "the map outlived its server";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_NE(access(doneFile.c_str(), F_OK), 0) << "the map finished its work after its server died";

  int left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(tmp)) {
    left += entry.path().filename().string().rfind(merc::kEngineFolderPrefix, 0) == 0;
  }
  EXPECT_EQ(left, 1) << "the killed server's engine folder";
  EXPECT_EQ(merc::mercSweepEngineFolders(tmp), 1);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  rmdir(tmp.c_str());
}

TEST(MercEngineFolders, SweepTakesOnlyFoldersOfEndedEngines) {
  char pattern[] = "/tmp/merc-tmpdir-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string tmp = pattern;
  auto folder = [&](const std::string& name, bool withLock, bool old) {
    const std::string path = tmp + "/" + name;
    mkdir(path.c_str(), 0700);
    int fd = withLock ? open((path + "/lock").c_str(), O_RDWR | O_CREAT, 0600) : -1;
    std::ofstream(path + "/card2") << "x";
    if (old) {
      timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    return fd;
  };
  struct Case {
    std::string name;
    bool withLock, old, locked, removed;
  };
  const Case cases[] = {
      {"merc-engine-live01", true, true, true, false},    // its engine still runs
      {"merc-engine-dead01", true, false, false, true},   // its engine ended
      {"merc-engine-nolock", false, false, false, false}, // being made, or too young
      {"merc-engine-oldnol", false, true, false, true},   // never locked, long untouched
      {"merc-new-young1", true, false, false, false},     // being made
      {"merc-new-old001", false, true, false, true},
      {"merc-abc123", false, true, false, true},          // an older engine's card folder
      {"merc-abc124", false, false, false, false},        // one that may be in use
      {"merc-test-abc123", false, true, false, false},    // not the engine's
  };
  std::vector<int> held;
  for (const Case& c : cases) {
    int fd = folder(c.name, c.withLock, c.old);
    if (c.locked) {
      ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    }
    held.push_back(fd);
  }
  int removed = 0;
  for (const Case& c : cases) removed += c.removed;
  EXPECT_EQ(merc::mercSweepEngineFolders(tmp), removed);
  for (const Case& c : cases) {
    EXPECT_EQ(access((tmp + "/" + c.name).c_str(), F_OK) != 0, c.removed) << c.name;
  }
  for (int fd : held) {
    if (fd >= 0) close(fd);
  }
  std::filesystem::remove_all(tmp);
}

}  // namespace
