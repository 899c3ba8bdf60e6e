// What the benchmarks that start the real programs share: timing and percentiles, the
// disk's sync figures, broker homes, and starting and stopping servers and children.
// latency_bench, server_bench and merc_bench use it; each keeps only what it measures.
#ifndef ZVR_BENCH_BENCH_SUPPORT_H
#define ZVR_BENCH_BENCH_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "cycle_shape.h"

namespace benchmark {
class State;
}

namespace bench {

inline double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The value at fraction `p` (0 to 1) of `sorted`, which is sorted and not empty.
double percentile(const std::vector<double>& sorted, double p);

// One second of 4 KiB write + fdatasync pairs in /tmp, where the homes live: how many
// per second, and the median period of one in microseconds.
struct SyncFigures {
  double perSecond = 0;
  double medianMicros = 0;
};
SyncFigures measureSync();

// A fresh broker home "/tmp/<prefix>.XXXXXX", named by QLX_HOME for this process and the
// servers it starts, with QLX_SYNC FULL or NORMAL. Aborts when it cannot be made.
std::string makeHome(const std::string& prefix, bool full);

// Writes `toml` as the home's directory.toml and loads it with `binDir`/qlxadm. Aborts
// when the load fails.
void loadDirectory(const std::string& binDir, const std::string& home, const std::string& toml);

// Runs a shell command; its standard output and error together.
std::string runCommand(const std::string& command);

// Forks and execs a server (argv[0] is its path) with MERC_MAP_PATH=`mapPath` and its
// standard output and error on /dev/null.
pid_t startServer(const std::vector<std::string>& argv, const std::string& mapPath);

// Stops the servers with SIGTERM and reaps them; the CPU seconds they used.
double stopServers(const std::vector<pid_t>& servers);

// CPU seconds this process's reaped children used so far.
double childCpuSeconds();

// The CPU yardstick: copying one request's body.
void memcpyOneBody(benchmark::State& state);

}  // namespace bench

#endif  // ZVR_BENCH_BENCH_SUPPORT_H
