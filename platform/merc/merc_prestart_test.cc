// Executable maps started ahead of their requests: which run takes the waiting process,
// what ends it, and that it stays invisible to the component (signals, forks, the end).
#include <merc.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "merc_engine.h"
#include "merc_prestart.h"

namespace merc {
namespace {

// True once the process is gone or a zombie.
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

bool goneWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  while (!gone(pid)) {
    if (std::chrono::steady_clock::now() - start > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Children of this process, running or not yet reaped.
int childCount() {
  int count = 0;
  const std::string me = std::to_string(getpid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 &&
        std::to_string(ppid) == me) {
      ++count;
    }
  }
  return count;
}

// MERC_CARD_DIR of a running process. The engine learns of a launch as soon as the exec
// has let go of its memory, a moment before the kernel has set up the new environment.
std::string cardDirOf(pid_t pid) {
  const std::string key("\0MERC_CARD_DIR=", 15);
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = env.find(key);
    if (at != std::string::npos) {
      at += key.size();
      return env.substr(at, env.find('\0', at) - at);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

struct MapRun {
  int32_t code = 0;
  std::string output;  // card 1, unframed
  std::string errmsg;
  pid_t pid() const { return static_cast<pid_t>(std::atol(output.c_str())); }
};

class MercPrestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/merc-prestart-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("MERC_MAP_PATH", dir_.c_str(), 1);
    setenv("MERC_PRESTART", "on", 1);
    unsetenv("MERC_MAP_TIMEOUT");
    ASSERT_EQ(MercInitAPI(), 0);
    // Prints the pid of the process that ran it, after its whole input.
    script("pid", "cat >/dev/null; printf %s $$");
  }
  void TearDown() override {
    MercExitAPI();
    unsetenv("MERC_PRESTART");
    std::filesystem::remove_all(dir_);
  }

  MapRun run(const std::string& map, const std::string& tail = " -oe1") {
    const std::string input = "in";
    std::string command = map + " -ie1s" + std::to_string(input.size()) + " " + input + tail;
    ExitParams params{};
    params.dwSize = 480;
    params.lpDataToApp = command.data();
    MapRun r;
    r.code = RunMap(&params);
    if (params.lpDataFromApp != nullptr) {
      r.output.assign(static_cast<const char*>(params.lpDataFromApp), params.dwFromLen);
    }
    r.errmsg = params.Errmsg;
    std::free(params.lpDataFromApp);
    return r;
  }
  std::string script(const std::string& name, const std::string& body) {
    const std::string path = dir_ + "/" + name;
    const std::string fresh = path + ".new";
    std::ofstream(fresh) << "#!/bin/sh\n" << body << "\n";
    chmod(fresh.c_str(), 0755);
    std::rename(fresh.c_str(), path.c_str());
    return path;
  }
  // The processes waiting for the next runs, the next to be taken first, once the
  // engine's thread is done launching.
  static std::vector<pid_t> waitingPids() { return mercPrestart().waitingPids(); }
  static pid_t waiting() {
    std::vector<pid_t> pids = waitingPids();
    return pids.empty() ? -1 : pids.front();
  }
  static bool allGone(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) {
      if (!goneWithin(pid, std::chrono::seconds(5))) return false;
    }
    return true;
  }

  std::string dir_;
};

TEST_F(MercPrestartTest, NextRunTakesTheProcessStartedAhead) {
  MapRun first = run("pid");
  ASSERT_EQ(first.code, 0) << first.errmsg;
  const std::vector<pid_t> ahead = waitingPids();
  ASSERT_EQ(ahead.size(), kStartedAhead) << "processes started after a run that ended well";
  EXPECT_TRUE(gone(first.pid()));
  for (pid_t pid : ahead) EXPECT_NE(pid, first.pid());
  // Each run takes the longest-waiting one, and the engine tops the queue up again.
  for (pid_t expected : ahead) {
    MapRun next = run("pid");
    ASSERT_EQ(next.code, 0) << next.errmsg;
    EXPECT_EQ(next.pid(), expected);
    EXPECT_TRUE(goneWithin(expected, std::chrono::seconds(5)));
    EXPECT_EQ(waitingPids().size(), kStartedAhead);
    EXPECT_LE(childCount(), static_cast<int>(kStartedAhead)) << "a process leaked";
  }
}

// Whatever makes the waiting processes other than what the run would start ends them: the
// run starts its own, and the waiting ones do not outlive the run.
TEST_F(MercPrestartTest, ChangedFileOrOptionsEndTheWaitingProcess) {
  struct Case {
    const char* what;
    std::function<void()> change;
    const char* tail;
    const char* expected;  // output prefix of the second run; null: a pid
  };
  const std::string path = dir_ + "/pid";
  const Case cases[] = {
      {"replaced", [this] { script("pid", "cat >/dev/null; printf v2"); },
       " -oe1", "v2"},
      {"rewritten in place",
       [&] {
         std::ofstream(path, std::ios::trunc) << "#!/bin/sh\ncat >/dev/null; printf v3\n";
       },
       " -oe1", "v3"},
      {"permissions changed", [&] { chmod(path.c_str(), 0700); }, " -oe1",
       nullptr},
      {"touched",
       [&] {
         const timespec times[2] = {{1, 0}, {1, 0}};
         utimensat(AT_FDCWD, path.c_str(), times, 0);
       },
       " -oe1", nullptr},
      {"other options", [] {}, " -oe1 -other", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script("pid", "cat >/dev/null; printf %s $$");
    ASSERT_EQ(run("pid").code, 0);
    const std::vector<pid_t> ahead = waitingPids();
    ASSERT_FALSE(ahead.empty());
    c.change();
    MapRun second = run("pid", c.tail);
    ASSERT_EQ(second.code, 0) << second.errmsg;
    if (c.expected != nullptr) {
      EXPECT_EQ(second.output, c.expected);
    } else {
      EXPECT_NE(second.pid(), ahead.front());
    }
    EXPECT_TRUE(allGone(ahead)) << "a stale process lives on";
  }
}

// Only a run that ended well leaves a process waiting, and only when MERC_PRESTART=on; a
// run that does not use the waiting process ends it.
TEST_F(MercPrestartTest, WhatLeavesAProcessWaiting) {
  script("fail", "cat >/dev/null; exit 8");
  script("warn", "cat; exit 14");
  script("stuck", "exec sleep 30");
  const std::string shared = std::string(ZVR_MAPS_DIR) + "/identity_so.so";
  struct Case {
    std::string map;
    const char* tail;
    int32_t code;
    bool waits;
  };
  const Case cases[] = {
      {"pid", " -oe1", 0, true},
      {"pid", " -oe1 -not-asked-for", 0, false},
      {"warn", " -oe1", 14, true},
      {"fail", " -oe1", 8, false},
      {"stuck", " -oe1 -tl100", kMercMapTimedOut, false},
      {"missing", " -oe1", kMercMapNotFound, false},
      {"'" + shared + "'", " -oe1", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.map);
    ASSERT_EQ(run("pid").code, 0);
    const std::vector<pid_t> before = waitingPids();
    ASSERT_FALSE(before.empty());
    // Without MERC_PRESTART=on nothing starts ahead.
    if (std::strstr(c.tail, "-not-asked-for") != nullptr) unsetenv("MERC_PRESTART");
    EXPECT_EQ(run(c.map, c.tail).code, c.code);
    setenv("MERC_PRESTART", "on", 1);
    // A run of the same map takes the first; any other run ends them all.
    if (c.map == "pid") {
      EXPECT_TRUE(goneWithin(before.front(), std::chrono::seconds(5)));
    } else {
      EXPECT_TRUE(allGone(before)) << "an unused process lives on";
    }
    EXPECT_EQ(!waitingPids().empty(), c.waits);
    EXPECT_LE(childCount(), static_cast<int>(kStartedAhead)) << "a process leaked";
  }
}

TEST_F(MercPrestartTest, EngineEndTakesTheWaitingProcessesAndTheirCardFolders) {
  ASSERT_EQ(run("pid").code, 0);
  const std::vector<pid_t> ahead = waitingPids();
  ASSERT_FALSE(ahead.empty());
  std::vector<std::string> folders;
  for (pid_t pid : ahead) {
    folders.push_back(cardDirOf(pid));
    ASSERT_FALSE(folders.back().empty());
    EXPECT_TRUE(std::filesystem::is_directory(folders.back()));
  }
  MercExitAPI();
  for (pid_t pid : ahead) EXPECT_TRUE(gone(pid)) << pid << " outlived MercExitAPI";
  for (const std::string& folder : folders) EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(childCount(), 0);
  // The engine starts again on demand.
  ASSERT_EQ(MercInitAPI(), 0);
  EXPECT_EQ(run("pid").code, 0);
  EXPECT_GT(waiting(), 0);
}

TEST_F(MercPrestartTest, WaitingProcessKilledFromOutsideIsNotUsed) {
  ASSERT_EQ(run("pid").code, 0);
  const pid_t ahead = waiting();
  ASSERT_GT(ahead, 0);
  kill(ahead, SIGKILL);
  ASSERT_TRUE(goneWithin(ahead, std::chrono::seconds(5)));
  MapRun next = run("pid");
  ASSERT_EQ(next.code, 0) << "a run failed for a process that was never its own: "
                          << next.errmsg;
  EXPECT_NE(next.pid(), ahead);
}

std::atomic<long> gHandlerThread{0};
void _noteThread(int) { gHandlerThread = syscall(SYS_gettid); }

// A component's stop signal ends its wait for a request only when its own thread takes
// it: the engine's thread must never be the one that does.
TEST_F(MercPrestartTest, SignalsReachTheComponentsThreadOnly) {
  ASSERT_EQ(run("pid").code, 0);
  ASSERT_GT(waiting(), 0);
  struct sigaction note {};
  struct sigaction saved {};
  note.sa_handler = _noteThread;
  ASSERT_EQ(sigaction(SIGUSR1, &note, &saved), 0);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  // While this thread blocks the signal, a thread of the engine that did not would take it.
  gHandlerThread = 0;
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  kill(getpid(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(gHandlerThread.load(), 0) << "the engine's thread took the component's signal";
  pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
  EXPECT_EQ(gHandlerThread.load(), syscall(SYS_gettid));
  sigaction(SIGUSR1, &saved, nullptr);
}

// A forked copy of the component runs maps of its own and leaves the parent's waiting
// process alone.
TEST_F(MercPrestartTest, ForkedCopyStartsItsOwn) {
  ASSERT_EQ(run("pid").code, 0);
  const pid_t ahead = waiting();
  ASSERT_GT(ahead, 0);
  pid_t copy = fork();
  ASSERT_GE(copy, 0);
  if (copy == 0) {
    MapRun r = run("pid");
    const bool own = r.code == 0 && r.pid() != ahead && r.pid() > 0;
    MercExitAPI();
    _exit(own ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(copy, &status, 0), copy);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(gone(ahead)) << "the copy ended the parent's waiting process";
  EXPECT_EQ(run("pid").pid(), ahead);
}

// The kind of a map file is read once per identity, and again when the file changes.
TEST(MercSharedMapCache, ChangedFileIsLookedAtAgain) {
  char pattern[] = "/tmp/merc-kind-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/m";
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&RunMap), &info), 0);
  std::string error;
  MapFile file;
  std::ofstream(path) << "#!/bin/sh\n";
  ASSERT_TRUE(mercFindMap(path, file, error)) << error;
  EXPECT_FALSE(mercIsSharedMap(file));
  std::filesystem::copy_file(info.dli_fname, dir + "/m.tmp");
  std::filesystem::rename(dir + "/m.tmp", path);
  ASSERT_TRUE(mercFindMap(path, file, error)) << error;
  EXPECT_TRUE(mercIsSharedMap(file)) << "a replaced file kept its old kind";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace merc
