// What a map run costs in the stand-in engine, 1 KiB in and out: the map upper as a shared
// object called in process, as the sample executable (linked statically) served one run
// after another by one process, the same with a process per run (MERC_MAP_SERVE=off, the
// "OneShot" rows), and the same executable linked dynamically (upper_dynamic, as a map
// author's first build would be); beside them a 1 KiB memcpy and the bare starts the
// one-shot rows cannot go below: /bin/true (dynamically linked), empty static C and C++
// programs linked as the sample maps are, and upper itself spawned with its input from a
// file (the map without the engine's work around it: channels, card folder, stat, waits).
//
// The one-shot rows run back to back, so each run waits for its process to start (the
// engine's start ahead included: it has no time to finish between two runs). The
// "StartedAhead" rows turn the start ahead on (MERC_PRESTART=on, one-shot), leave a pause
// between runs, as a component's wait for its next request does, and time RunMap alone:
// what a request pays when its process was started ahead. The "Paused" rows do the same
// without the start ahead, "ServedPaused" with the process kept between runs.
//
// Counters per run: child_cpu_us and child_faults, the CPU and page faults of the map
// processes (on a busy machine the wall time mostly measures the wait for a core);
// engine_cpu_us, this process's own CPU (the engine's work, its thread for the start
// ahead included).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <merc.h>

#include "bench_support.h"

extern char** environ;

namespace {

using bench::childCpuSeconds;
using bench::kBody;

double _seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// What the map processes and this process used so far.
struct Usage {
  double childCpu;
  double childFaults;
  double selfCpu;
};

Usage usageNow() {
  rusage self{};
  rusage children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return {childCpuSeconds(), static_cast<double>(children.ru_minflt + children.ru_majflt),
          _seconds(self.ru_utime) + _seconds(self.ru_stime)};
}

// Per iteration since `before`: the children's CPU and page faults, and this process's CPU
// (`withSelf`; not for the rows that only spawn).
void countUsage(benchmark::State& state, const Usage& before, bool withSelf) {
  if (state.iterations() == 0) return;
  const Usage after = usageNow();
  const double n = static_cast<double>(state.iterations());
  state.counters["child_cpu_us"] = (after.childCpu - before.childCpu) * 1e6 / n;
  state.counters["child_faults"] = (after.childFaults - before.childFaults) / n;
  if (withSelf) state.counters["engine_cpu_us"] = (after.selfCpu - before.selfCpu) * 1e6 / n;
}
const std::string kMaps = ZVR_MAPS_DIR;

void runMap(benchmark::State& state, const std::string& map,
            std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  setenv("MERC_MAP_PATH", kMaps.c_str(), 1);
  MercInitAPI();
  const std::string body(kBody, 'x');
  const std::string command = map + " -ie1s" + std::to_string(kBody) + " " + body + " -oe1s";
  const Usage before = usageNow();
  for (auto _ : state) {
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    ExitParams params{};
    params.dwSize = 480;
    params.lpDataToApp = const_cast<char*>(command.c_str());
    const auto start = bench::Clock::now();
    if (RunMap(&params) != 0) {
      state.SkipWithError(params.Errmsg);
      break;
    }
    state.SetIterationTime(bench::seconds(bench::Clock::now() - start));
    std::free(params.lpDataFromApp);
  }
  // A served map's CPU counts among the children's once it is reaped.
  MercExitAPI();
  countUsage(state, before, true);
}

// runMap with a process per run.
void runMapOneShot(benchmark::State& state, const std::string& map,
                   std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  setenv("MERC_MAP_SERVE", "off", 1);
  runMap(state, map, pause);
  unsetenv("MERC_MAP_SERVE");
}

void BM_RunMapShared(benchmark::State& state) { runMap(state, "upper_so"); }
BENCHMARK(BM_RunMapShared)->Unit(benchmark::kMicrosecond);

void BM_RunMapExecutable(benchmark::State& state) { runMap(state, "upper"); }
BENCHMARK(BM_RunMapExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_RunMapExecutableOneShot(benchmark::State& state) { runMapOneShot(state, "upper"); }
BENCHMARK(BM_RunMapExecutableOneShot)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_RunMapDynamicExecutable(benchmark::State& state) { runMap(state, "upper_dynamic"); }
BENCHMARK(BM_RunMapDynamicExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_RunMapDynamicExecutableOneShot(benchmark::State& state) {
  runMapOneShot(state, "upper_dynamic");
}
BENCHMARK(BM_RunMapDynamicExecutableOneShot)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(2);

// Long enough for a process started ahead to reach its first read on a busy machine.
constexpr std::chrono::milliseconds kBetweenRequests(20);

void BM_RunMapExecutableStartedAhead(benchmark::State& state) {
  setenv("MERC_PRESTART", "on", 1);
  runMapOneShot(state, "upper", kBetweenRequests);
  unsetenv("MERC_PRESTART");
}
BENCHMARK(BM_RunMapExecutableStartedAhead)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

void BM_RunMapDynamicExecutableStartedAhead(benchmark::State& state) {
  setenv("MERC_PRESTART", "on", 1);
  runMapOneShot(state, "upper_dynamic", kBetweenRequests);
  unsetenv("MERC_PRESTART");
}
BENCHMARK(BM_RunMapDynamicExecutableStartedAhead)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

void BM_RunMapExecutablePaused(benchmark::State& state) {
  runMapOneShot(state, "upper", kBetweenRequests);
}
BENCHMARK(BM_RunMapExecutablePaused)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

// A served process between requests, as a component's wait for its next one leaves it.
void BM_RunMapExecutableServedPaused(benchmark::State& state) {
  runMap(state, "upper", kBetweenRequests);
}
BENCHMARK(BM_RunMapExecutableServedPaused)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

// posix_spawn and wait of a program with standard input from `input` (/dev/null when
// empty) and its output to /dev/null.
void spawnAndWait(benchmark::State& state, const std::string& path, const std::string& input) {
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const Usage before = usageNow();
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot spawn");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  countUsage(state, before, false);
  posix_spawn_file_actions_destroy(&actions);
}

void BM_SpawnTrue(benchmark::State& state) { spawnAndWait(state, "/bin/true", ""); }
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

#ifdef ZVR_EMPTY_C
void BM_SpawnEmptyStaticC(benchmark::State& state) { spawnAndWait(state, ZVR_EMPTY_C, ""); }
BENCHMARK(BM_SpawnEmptyStaticC)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_SpawnEmptyStaticCxx(benchmark::State& state) { spawnAndWait(state, ZVR_EMPTY_CXX, ""); }
BENCHMARK(BM_SpawnEmptyStaticCxx)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);
#endif

// The map alone: its start, its run on 1 KiB and its exit, without the engine around it.
void BM_SpawnUpper(benchmark::State& state) {
  char name[] = "/tmp/merc_bench_input.XXXXXX";
  const int fd = mkstemp(name);
  const std::string body(kBody, 'x');
  if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
    state.SkipWithError("cannot write the input file");
  } else {
    spawnAndWait(state, kMaps + "/upper", name);
  }
  if (fd >= 0) close(fd);
  unlink(name);
}
BENCHMARK(BM_SpawnUpper)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_Memcpy1KiB(benchmark::State& state) { bench::memcpyOneBody(state); }
BENCHMARK(BM_Memcpy1KiB);

}  // namespace

BENCHMARK_MAIN();
