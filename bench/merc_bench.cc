// What a map run costs in the stand-in engine, 1 KiB in and out: the map upper as a shared
// object called in process, as the sample executable (linked statically) run as a child,
// and the same executable linked dynamically (upper_dynamic, as a map author's first build
// would be); beside them the bare start of a dynamically linked program that does nothing
// (/bin/true) and a 1 KiB memcpy.
//
// The executable rows run back to back, so each run waits for its process to start (the
// engine's start ahead included: it has no time to finish between two runs). The
// "StartedAhead" rows turn the start ahead on (MERC_PRESTART=on), leave a pause between
// runs, as a component's wait for its next request does, and time RunMap alone: what a
// request pays when its process was started ahead. The "Paused" rows do the same without
// the start ahead.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

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

// CPU the children used per iteration: on a busy machine the wall time of a child mostly
// measures how long it waited for a core.
void countChildCpu(benchmark::State& state, double before) {
  if (state.iterations() > 0) {
    state.counters["child_cpu_us"] = (childCpuSeconds() - before) * 1e6 / state.iterations();
  }
}
const std::string kMaps = ZVR_MAPS_DIR;

void runMap(benchmark::State& state, const std::string& map,
            std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  setenv("MERC_MAP_PATH", kMaps.c_str(), 1);
  MercInitAPI();
  const std::string body(kBody, 'x');
  const std::string command = map + " -ie1s" + std::to_string(kBody) + " " + body + " -oe1s";
  const double before = childCpuSeconds();
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
  countChildCpu(state, before);
  MercExitAPI();
}

void BM_RunMapShared(benchmark::State& state) { runMap(state, "upper_so"); }
BENCHMARK(BM_RunMapShared)->Unit(benchmark::kMicrosecond);

void BM_RunMapExecutable(benchmark::State& state) { runMap(state, "upper"); }
BENCHMARK(BM_RunMapExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_RunMapDynamicExecutable(benchmark::State& state) { runMap(state, "upper_dynamic"); }
BENCHMARK(BM_RunMapDynamicExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

// Long enough for a process started ahead to reach its first read on a busy machine.
constexpr std::chrono::milliseconds kBetweenRequests(20);

void BM_RunMapExecutableStartedAhead(benchmark::State& state) {
  setenv("MERC_PRESTART", "on", 1);
  runMap(state, "upper", kBetweenRequests);
  unsetenv("MERC_PRESTART");
}
BENCHMARK(BM_RunMapExecutableStartedAhead)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

void BM_RunMapDynamicExecutableStartedAhead(benchmark::State& state) {
  setenv("MERC_PRESTART", "on", 1);
  runMap(state, "upper_dynamic", kBetweenRequests);
  unsetenv("MERC_PRESTART");
}
BENCHMARK(BM_RunMapDynamicExecutableStartedAhead)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

void BM_RunMapExecutablePaused(benchmark::State& state) {
  runMap(state, "upper", kBetweenRequests);
}
BENCHMARK(BM_RunMapExecutablePaused)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(300);

// posix_spawn and wait of a program with no input or output.
void spawnAndWait(benchmark::State& state, const std::string& path) {
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const double before = childCpuSeconds();
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot spawn");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  countChildCpu(state, before);
}

void BM_SpawnTrue(benchmark::State& state) { spawnAndWait(state, "/bin/true"); }
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

void BM_Memcpy1KiB(benchmark::State& state) { bench::memcpyOneBody(state); }
BENCHMARK(BM_Memcpy1KiB);

}  // namespace

BENCHMARK_MAIN();
