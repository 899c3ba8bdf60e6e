// Requests per second through the real zvrtbc: 1 KiB requests, the in-process identity map
// (identity_so), SQLite synchronous FULL and NORMAL. Every figure is also given as a ratio
// to F, the rate of 4 KiB write + fdatasync pairs this disk does, measured at the start of
// the same run (per_F); the server's CPU time per request stands beside a 1 KiB memcpy.
//
// One iteration: zvrtbc is started and ready on an empty queue; kRequests requests are put
// in one unit of work, and the clock runs from their commit until the element's queue is
// empty with nothing in flight. The responses go on to an element nobody serves, so that
// nothing else competes for the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "qlx.h"

namespace {

constexpr size_t kBody = 1024;
constexpr int kRequests = 1000;
const std::string kBin = ZVR_BIN_DIR;
const std::string kMaps = ZVR_MAPS_DIR;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Write + fdatasync pairs per second of a 4 KiB block in /tmp, where the homes live.
double fsyncRate() {
  static const double rate = [] {
    char path[] = "/tmp/zvrbench-fsync.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) std::abort();
    unlink(path);
    std::string block(4096, 'f');
    int count = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(1)) {
      if (pwrite(fd, block.data(), block.size(), 0) != 4096 || fdatasync(fd) != 0) std::abort();
      ++count;
    }
    close(fd);
    return count / seconds(Clock::now() - start);
  }();
  return rate;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) std::abort();
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

// A fresh broker home: element T (served by zvrtbc), element SINK (served by nobody),
// client C and service S = [T, SINK].
std::string makeHome(bool full) {
  char pattern[] = "/tmp/zvrbench.XXXXXX";
  std::string home = mkdtemp(pattern);
  setenv("QLX_HOME", home.c_str(), 1);
  setenv("QLX_SYNC", full ? "FULL" : "NORMAL", 1);
  std::ofstream(home + "/directory.toml")
      << "[element.T]\nformats = [\"*\"]\n[element.SINK]\nformats = [\"*\"]\n"
         "[client.C]\nformats = []\n[service.S]\nworkflow = [\"element:T\", \"element:SINK\"]\n";
  run("'" + kBin + "/qlxadm' load '" + home + "/directory.toml'");
  return home;
}

// Depth and in-flight count of element T.
long long pending() {
  std::istringstream lines(run("'" + kBin + "/qlxadm' queues"));
  std::string line, name;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    long long depth = 0, inFlight = 0;
    if (words >> name >> depth >> inFlight && name == "element:T") return depth + inFlight;
  }
  return 0;
}

bool serving(const std::string& home) {
  std::ifstream log(home + "/log");
  std::stringstream text;
  text << log.rdbuf();
  return text.str().find("Component Initialized.") != std::string::npos;
}

pid_t startServer(const std::string& home) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("MERC_MAP_PATH", kMaps.c_str(), 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const std::string program = kBin + "/zvrtbc";
    execl(program.c_str(), program.c_str(), "-e", "T", "-map", "identity_so", "-silent",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  while (!serving(home)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return pid;
}

// Puts kRequests requests to S as client C in one unit of work.
void putRequests() {
  QLXADDR addr = kQlxAddrDefault;
  std::memcpy(addr.Name, "C", 1);
  QLXHANDLE client = 0;
  if (!qlxClientInitialize(&addr, &client)) std::abort();
  QLXSERVICE service = kQlxServiceDefault;
  std::memcpy(service.Name, "S", 1);
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  std::string body(kBody, 'x');
  for (int i = 0; i < kRequests; ++i) {
    QLXMSG msg = kQlxMsgDefault;
    std::memcpy(msg.FormatName, "ORDERS", 6);
    msg.Format = -1;
    msg.MsgLength = kBody;
    msg.MsgBuffer = {0, static_cast<uint32_t>(kBody), body.data()};
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXHANDLE theme = 0;
    if (!qlxPutRequest(client, &service, &msg, &put, &sync, &theme)) std::abort();
  }
  if (!qlxCommit(client, &sync)) std::abort();
  qlxTerminate(&client);
}

void BM_Zvrtbc(benchmark::State& state) {
  const bool full = state.range(0) != 0;
  const double f = fsyncRate();
  double cpu = 0;
  double elapsed = 0;
  for (auto _ : state) {
    const std::string home = makeHome(full);
    const pid_t server = startServer(home);
    putRequests();
    const auto start = Clock::now();
    while (pending() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double took = seconds(Clock::now() - start);
    state.SetIterationTime(took);
    elapsed += took;
    kill(server, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(server, &status, 0, &usage);
    cpu += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::filesystem::remove_all(home);
  }
  const double requests = static_cast<double>(state.iterations()) * kRequests;
  const double rate = requests / elapsed;
  state.counters["requests_per_s"] = rate;
  state.counters["F"] = f;
  state.counters["per_F"] = rate / f;
  state.counters["server_cpu_us_per_request"] = cpu * 1e6 / requests;
  state.SetLabel(full ? "QLX_SYNC=FULL" : "QLX_SYNC=NORMAL");
}
BENCHMARK(BM_Zvrtbc)->Arg(1)->Arg(0)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// The CPU yardstick: copying one request's body.
void BM_Memcpy1KiB(benchmark::State& state) {
  std::string from(kBody, 'x'), to(kBody, ' ');
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBody);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Memcpy1KiB);

}  // namespace

BENCHMARK_MAIN();
