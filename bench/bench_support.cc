// Helpers of the benchmarks that start the real programs.
#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {
namespace {

double _cpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

double percentile(const std::vector<double>& sorted, double p) {
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

SyncFigures measureSync() {
  char path[] = "/tmp/zvrbench-fsync.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) std::abort();
  unlink(path);
  std::string block(4096, 'f');
  std::vector<double> took;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(1)) {
    const auto t = Clock::now();
    if (pwrite(fd, block.data(), block.size(), 0) != 4096 || fdatasync(fd) != 0) std::abort();
    took.push_back(micros(Clock::now() - t));
  }
  const double elapsed = seconds(Clock::now() - start);
  close(fd);
  std::sort(took.begin(), took.end());
  return SyncFigures{static_cast<double>(took.size()) / elapsed, percentile(took, 0.5)};
}

std::string makeHome(const std::string& prefix, bool full) {
  std::string pattern = "/tmp/" + prefix + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  setenv("QLX_HOME", pattern.c_str(), 1);
  setenv("QLX_SYNC", full ? "FULL" : "NORMAL", 1);
  return pattern;
}

void loadDirectory(const std::string& binDir, const std::string& home, const std::string& toml) {
  std::ofstream(home + "/directory.toml") << toml;
  const std::string load =
      "'" + binDir + "/qlxadm' load '" + home + "/directory.toml' >/dev/null 2>&1";
  if (std::system(load.c_str()) != 0) std::abort();
}

std::string runCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) std::abort();
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

pid_t startServer(const std::vector<std::string>& argv, const std::string& mapPath) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("MERC_MAP_PATH", mapPath.c_str(), 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

double stopServers(const std::vector<pid_t>& servers) {
  double cpu = 0;
  for (pid_t pid : servers) kill(pid, SIGTERM);
  for (pid_t pid : servers) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpu += _cpuSeconds(usage);
  }
  return cpu;
}

double childCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return _cpuSeconds(usage);
}

void memcpyOneBody(benchmark::State& state) {
  std::string from(kBody, 'x'), to(kBody, ' ');
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBody);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

}  // namespace bench
