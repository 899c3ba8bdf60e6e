// Executable maps built with the wrapper, served one run after another by one process:
// the results equal a process of its own per run, and every promise of a one-shot run
// holds (card folder, environment, return codes, exit and signal mid-run, time limit,
// changed files, the switch off, the end of the server).
#include <merc.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "merc_engine.h"
#include "merc_serve.h"

namespace merc {
namespace {

using namespace std::string_literals;

// True once the process is gone or a zombie.
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

bool goneWithin(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto start = std::chrono::steady_clock::now();
  while (!gone(pid)) {
    if (std::chrono::steady_clock::now() - start > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct MapRun {
  int result = 0;
  int32_t code = 0;
  bool hasOutput = false;
  std::string output;
  std::string errmsg;
  bool operator==(const MapRun&) const = default;
  // The number after "pid=" in the output, or -1.
  pid_t pid() const {
    const std::size_t at = output.find("pid=");
    return at == std::string::npos ? -1 : static_cast<pid_t>(std::atol(output.c_str() + at + 4));
  }
};

std::ostream& operator<<(std::ostream& out, const MapRun& r) {
  return out << "{" << r.result << ", " << r.code << ", " << r.hasOutput << ", \""
             << r.output.substr(0, 200) << "\" (" << r.output.size() << " bytes), \"" << r.errmsg
             << "\"}";
}

std::string framed(const std::string& card) { return std::to_string(card.size()) + " " + card; }

std::string mapsDir() {
  const char* build = std::getenv("ZVR_BUILD_DIR");
  return build != nullptr ? std::string(build) + "/maps" : ZVR_MAPS_DIR;
}

class MercServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    maps_ = mapsDir();
    if (access((maps_ + "/serve_probe").c_str(), X_OK) != 0) {
      GTEST_SKIP() << "test maps not built in " << maps_;
    }
    char pattern[] = "/tmp/merc-serve-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("MERC_MAP_PATH", (maps_ + ":" + dir_).c_str(), 1);
    unsetenv("MERC_MAP_SERVE");
    unsetenv("MERC_MAP_TIMEOUT");
    unsetenv("MERC_PRESTART");
    ASSERT_EQ(MercInitAPI(), 0);
  }
  void TearDown() override {
    MercExitAPI();
    unsetenv("MERC_MAP_SERVE");
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  static MapRun run(const std::string& map, std::string_view input,
                    const std::string& tail = " -oe1s") {
    std::string command =
        map + " -ie1s" + std::to_string(input.size()) + " " + std::string(input) + tail;
    ExitParams params{};
    params.dwSize = 480;
    params.lpDataToApp = command.data();
    MapRun r;
    r.result = RunMap(&params);
    r.code = params.nReturn;
    r.hasOutput = params.lpDataFromApp != nullptr;
    if (r.hasOutput) {
      r.output.assign(static_cast<const char*>(params.lpDataFromApp), params.dwFromLen);
    }
    r.errmsg = params.Errmsg;
    std::free(params.lpDataFromApp);
    return r;
  }
  // The same run with a process of its own (the switch off).
  static MapRun runOneShot(const std::string& map, std::string_view input,
                           const std::string& tail = " -oe1s") {
    setenv("MERC_MAP_SERVE", "off", 1);
    MapRun r = run(map, input, tail);
    unsetenv("MERC_MAP_SERVE");
    return r;
  }
  static std::vector<pid_t> idle() { return mercServePool().idlePids(); }
  // A copy of the probe in the test's folder, which the test may change.
  std::string probeCopy() {
    const std::string path = dir_ + "/probe";
    std::filesystem::copy_file(maps_ + "/serve_probe", path + ".new",
                               std::filesystem::copy_options::overwrite_existing);
    chmod((path + ".new").c_str(), 0755);
    std::rename((path + ".new").c_str(), path.c_str());
    return path;
  }

  std::string maps_;
  std::string dir_;
};

TEST_F(MercServeTest, TheWrapperMarksItsExecutablesAndNothingElse) {
  std::ofstream(dir_ + "/script") << "#!/bin/sh\ncat\n";
  const struct {
    std::string path;
    bool marked;
  } cases[] = {
      {maps_ + "/identity", true},          {maps_ + "/serve_probe", true},
      {maps_ + "/upper_dynamic", true},     {maps_ + "/upper_so.so", false},
      {dir_ + "/script", false},            {dir_ + "/missing", false},
      {"/bin/true", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mercHasServeMark(c.path), c.marked) << c.path;
  }
}

// Section headers that point anywhere: the reads stay inside the file and find nothing.
TEST_F(MercServeTest, DamagedSectionHeadersAreNoMark) {
  std::ifstream in(maps_ + "/identity", std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(whole.size(), 64u);
  // Offsets in the 64-bit ELF header: e_shoff 40 (8 bytes), e_shentsize 58, e_shnum 60,
  // e_shstrndx 62 (2 bytes each).
  uint64_t sectionHeaders = 0;
  for (std::size_t i = 8; i > 0; --i) {
    sectionHeaders = sectionHeaders << 8 | static_cast<unsigned char>(whole[40 + i - 1]);
  }
  ASSERT_LT(sectionHeaders, whole.size());
  auto patched = [&](std::size_t at, std::size_t width, uint64_t value) {
    std::string copy = whole;
    for (std::size_t i = 0; i < width; ++i) copy[at + i] = static_cast<char>(value >> (8 * i));
    return copy;
  };
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"cut after the ELF header", whole.substr(0, 64)},
      {"cut inside the section headers", whole.substr(0, sectionHeaders + 10)},
      {"section headers past the end", patched(40, 8, uint64_t{1} << 40)},
      {"section headers far past the end", patched(40, 8, ~uint64_t{0} - 10)},
      {"odd section header size", patched(58, 2, 32)},
      {"too many sections", patched(60, 2, 0xFFFF)},
      {"name table index out of range", patched(62, 2, 0xFFF0)},
      {"not ELF", "#!" + whole.substr(2)},
  };
  if (whole[4] != 2) GTEST_SKIP() << "a 64-bit host's layout";
  for (const auto& c : cases) {
    const std::string path = dir_ + "/damaged";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_FALSE(mercHasServeMark(path)) << c.what;
  }
}

// Every sample map and edge map gives, run after run on one process, exactly what a
// process of its own per run gives.
TEST_F(MercServeTest, ResultsEqualAProcessPerRun) {
  const std::string header = "<Header>\r\n<FormatName>ORDERS</FormatName>\r\n</Header>\r\n";
  const std::string save = dir_ + "/saved";
  const struct {
    const char* map;
    std::string input;
    std::string tail;
  } cases[] = {
      {"identity", "hello", " -oe1s"},
      {"identity", "", " -oe1s"},
      {"identity", "a\0b\0"s, " -oe1s"},
      {"identity", std::string(3 << 20, 'm'), " -oe1s"},
      {"upper", header + "body", " -oe1s"},
      {"route", header + "b", " -oe1s -action NOTIFY -service S9"},
      {"routelist", "route:INSERT:A\nroute::\nbody", " -oe1s"},
      {"twocards", header + "two", " -oe1s"},
      {"twocards", header + "two", " -oe2s"},
      {"twocards", header + "two", ""},
      {"emptyfirst", "x", " -oe1s"},
      {"warn", "data", " -oe1s -rc 14"},
      {"warn", "data", " -oe1s -rc 21"},
      {"warn", "data", " -oe1s -rc 15"},
      {"fail", "data", " -oe1s"},
      {"saveinput", "keep me", " -oe1s -save " + save},
      {"stdout_order", "4 the input\n", " -oe1s"},
      {"serve_probe", "x", " -oe1s rc=3"},
      {"serve_probe", "x", " -oe1s big=5000000"},
      {"serve_probe", "x", " -oe1s litter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.map) + c.tail);
    const MapRun alone = runOneShot(c.map, c.input, c.tail);
    const MapRun first = run(c.map, c.input, c.tail);
    ASSERT_EQ(idle().size(), 1u) << "the process was not kept";
    const pid_t server = idle().front();
    const MapRun second = run(c.map, c.input, c.tail);
    EXPECT_EQ(first, alone);
    EXPECT_EQ(second, alone);
    EXPECT_EQ(idle(), std::vector<pid_t>{server}) << "the second run had another process";
    MercExitAPI();
    EXPECT_TRUE(goneWithin(server));
  }
  std::ifstream saved(save, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "keep me");
}

// The map sees what a one-shot run sees; its globals survive between runs, as in a
// shared object; the switch gives every run a process of its own again.
TEST_F(MercServeTest, OneProcessServesRunAfterRunUnlessSwitchedOff) {
  const MapRun first = run("serve_probe", "", " -oe1 pid count env -x 1");
  const MapRun second = run("serve_probe", "", " -oe1 pid count env -x 1");
  ASSERT_EQ(first.code, 0) << first.errmsg;
  EXPECT_EQ(first.pid(), second.pid());
  EXPECT_NE(first.output.find("call=1\n"), std::string::npos) << first.output;
  EXPECT_NE(second.output.find("call=2\n"), std::string::npos) << second.output;
  const MapRun alone = runOneShot("serve_probe", "", " -oe1 pid count env -x 1");
  EXPECT_NE(alone.pid(), first.pid());
  EXPECT_NE(alone.output.find("call=1\n"), std::string::npos) << alone.output;
  // The same environment but for the card folder's name, which is each process's own.
  auto environment = [](const MapRun& r) {
    std::string env = r.output.substr(r.output.find("argv0="));
    const std::size_t dir = env.find(" dir=") + 5;
    return env.erase(dir, env.find(' ', dir) - dir);
  };
  EXPECT_EQ(environment(first), "argv0=" + maps_ + "/serve_probe dir= options=pid count env -x 1" +
                                    " serve=(none)\n");
  EXPECT_EQ(environment(alone), environment(first));
  setenv("MERC_MAP_SERVE", "0", 1);
  EXPECT_NE(run("serve_probe", "", " -oe1 pid").pid(), run("serve_probe", "", " -oe1 pid").pid());
  unsetenv("MERC_MAP_SERVE");
}

// Whatever a run leaves in its card folder, the next run of the process finds it empty.
TEST_F(MercServeTest, EveryRunFindsItsCardFolderEmpty) {
  const MapRun littered = run("serve_probe", "pid folder litter", " -oe1s steps");
  ASSERT_EQ(littered.code, 0) << littered.errmsg;
  EXPECT_EQ(littered.output,
            framed("pid=" + std::to_string(littered.pid()) + "\nfolder=[]\n") + framed("litter"));
  const MapRun failed = run("serve_probe", "pid folder litter rc=8", " -oe1s steps");
  EXPECT_EQ(failed.code, 8);
  const MapRun next = run("serve_probe", "pid folder", " -oe1s steps");
  EXPECT_EQ(next.output, framed("pid=" + std::to_string(littered.pid()) + "\nfolder=[]\n"));
}

// A run that ends its process (exit, a signal) has the result a one-shot run has, and the
// next run gets a new process; a failing return code keeps the process.
TEST_F(MercServeTest, RunsThatEndTheirProcess) {
  const struct {
    const char* steps;
    int32_t code;
    const char* message;
    bool kept;
  } cases[] = {
      {"echo exit=0", 0, "", false},
      {"echo exit=3", 3, "serve_probe\" ended with exit status 3", false},
      {"echo exit=14", 14, "", false},
      {"echo signal=9", -5, "serve_probe\" ended by signal 9: dying", false},
      {"echo signal=15", -5, "serve_probe\" ended by signal 15: dying", false},
      {"echo rc=8", 8, "serve_probe\" ended with exit status 8", true},
      {"echo rc=300", 44, "serve_probe\" ended with exit status 44", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    const MapRun before = run("serve_probe", "pid", " -oe1s steps");
    const MapRun served = run("serve_probe", c.steps, " -oe1s steps");
    EXPECT_EQ(served.code, c.code);
    EXPECT_NE(served.errmsg.find(c.message), std::string::npos) << served.errmsg;
    EXPECT_EQ(served, runOneShot("serve_probe", c.steps, " -oe1s steps"));
    if (served.code == 0) {
      EXPECT_EQ(served.output, framed(c.steps + "partial\n"s));
    }
    const MapRun after = run("serve_probe", "pid", " -oe1s steps");
    EXPECT_EQ(after.code, 0) << after.errmsg;
    EXPECT_EQ(after.pid() == before.pid(), c.kept);
    if (!c.kept) {
      EXPECT_TRUE(goneWithin(before.pid()));
    }
  }
}

// The time limit counts from the hand-over, kills the process, and the next run starts
// a new one; a process idle for longer than the limit is not stopped by it.
TEST_F(MercServeTest, TimeLimitEndsTheProcess) {
  const MapRun before = run("serve_probe", "pid", " -oe1s steps -tl100");
  ASSERT_GT(before.pid(), 0) << before.errmsg;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const MapRun stuck = run("serve_probe", "sleep=30000", " -oe1s steps -tl200");
  EXPECT_EQ(stuck.code, kMercMapTimedOut);
  EXPECT_FALSE(stuck.hasOutput);
  EXPECT_NE(stuck.errmsg.find("serve_probe\" stopped at its time limit of 200 ms"),
            std::string::npos) << stuck.errmsg;
  EXPECT_TRUE(goneWithin(before.pid()));
  const MapRun after = run("serve_probe", "pid", " -oe1s steps -tl60000");
  EXPECT_EQ(after.code, 0) << after.errmsg;
  EXPECT_NE(after.pid(), before.pid());
}

// A map that closes its channels and runs on is held to the time limit all the same,
// served or in a process of its own.
TEST_F(MercServeTest, TimeLimitHoldsAMapThatHungUp) {
  for (const bool served : {true, false}) {
    SCOPED_TRACE(served ? "served" : "one process per run");
    const std::string steps = "hangup sleep=20000";
    const MapRun hungUp = served ? run("serve_probe", steps, " -oe1s steps -tl200")
                                 : runOneShot("serve_probe", steps, " -oe1s steps -tl200");
    EXPECT_EQ(hungUp.code, kMercMapTimedOut) << hungUp.errmsg;
    EXPECT_NE(hungUp.errmsg.find("serve_probe\" stopped at its time limit of 200 ms"),
              std::string::npos) << hungUp.errmsg;
  }
}

// A map file changed in any way, other options or another environment get a process of
// their own; the processes of the old file end.
TEST_F(MercServeTest, ChangedFileOptionsOrEnvironmentGetAFreshProcess) {
  const std::string probe = probeCopy();
  const struct {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"touched", [&] { utimensat(AT_FDCWD, probe.c_str(), nullptr, 0); }},
      {"mode changed", [&] { chmod(probe.c_str(), 0700); }},
      {"replaced", [&] { probeCopy(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const pid_t old = run("probe", "", " -oe1 pid").pid();
    ASSERT_GT(old, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a coarse clock's tick
    c.change();
    const pid_t fresh = run("probe", "", " -oe1 pid").pid();
    EXPECT_NE(fresh, old);
    EXPECT_TRUE(goneWithin(old));
  }
  const pid_t plain = run("probe", "", " -oe1 pid").pid();
  const pid_t other = run("probe", "", " -oe1 pid -y").pid();
  EXPECT_NE(plain, other);
  EXPECT_EQ(run("probe", "", " -oe1 pid").pid(), plain);
  EXPECT_EQ(run("probe", "", " -oe1 pid -y").pid(), other);
  // The map sees the server's environment as a one-shot run would.
  setenv("MERC_SERVE_TEST_SETTING", "1", 1);
  EXPECT_NE(run("probe", "", " -oe1 pid").pid(), plain);
  unsetenv("MERC_SERVE_TEST_SETTING");
  EXPECT_EQ(run("probe", "", " -oe1 pid").pid(), plain);
}

// Threads that run maps at once each get a process; the processes outlive the threads
// that ran them, and the idle ones stay bounded.
TEST_F(MercServeTest, ThreadsRunAtOnceOnProcessesOfTheirOwn) {
  constexpr int kThreads = 4;
  constexpr int kRuns = 15;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRuns; ++i) {
        const std::string input = "thread " + std::to_string(t) + " run " + std::to_string(i);
        const MapRun r = run("serve_probe", input, " -oe1s echo sleep=2 steps");
        failures[t] += r.code != 0 || r.output != framed(input);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  // The processes outlive the threads that ran them, and serve the next thread.
  const std::vector<pid_t> left = idle();
  EXPECT_GE(left.size(), 1u);
  EXPECT_LE(left.size(), static_cast<std::size_t>(kThreads));
  for (pid_t pid : left) EXPECT_FALSE(gone(pid)) << "ended with the thread that ran it";
  const MapRun after = run("serve_probe", "pid", " -oe1s echo sleep=2 steps");
  EXPECT_EQ(after.code, 0) << after.errmsg;
  EXPECT_EQ(after.pid(), left.back());
  for (int i = 0; i < 12; ++i) run("serve_probe", "", " -oe1 -n" + std::to_string(i));
  EXPECT_EQ(idle().size(), kIdleServed);
}

// The server's stop ends its idle processes, and its death ends them too, even by SIGKILL.
TEST_F(MercServeTest, ProcessesEndWithTheServer) {
  const pid_t idleOne = run("serve_probe", "", " -oe1 pid").pid();
  ASSERT_GT(idleOne, 0);
  MercExitAPI();
  EXPECT_TRUE(goneWithin(idleOne));

  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    const pid_t map = run("serve_probe", "", " -oe1 pid").pid();
    if (write(pipe[1], &map, sizeof map) != static_cast<ssize_t>(sizeof map)) _exit(1);
    pause();
    _exit(0);
  }
  close(pipe[1]);
  pid_t map = -1;
  ASSERT_EQ(read(pipe[0], &map, sizeof map), static_cast<ssize_t>(sizeof map));
  close(pipe[0]);
  ASSERT_GT(map, 0);
  EXPECT_FALSE(gone(map));
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  EXPECT_TRUE(goneWithin(map)) << "the map outlived its server";
}

}  // namespace
}  // namespace merc
