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
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "qlx.h"

namespace {

using bench::kBody;
using bench::Clock;
constexpr int kRequests = 1000;
const std::string kBin = ZVR_BIN_DIR;
const std::string kMaps = ZVR_MAPS_DIR;

// Write + fdatasync pairs per second, measured once for the whole run.
double fsyncRate() {
  static const double rate = bench::measureSync().perSecond;
  return rate;
}

// A fresh broker home: element T (served by zvrtbc), element SINK (served by nobody),
// client C and service S = [T, SINK].
std::string makeHome(bool full) {
  std::string home = bench::makeHome("zvrbench", full);
  bench::loadDirectory(
      kBin, home,
      "[element.T]\nformats = [\"*\"]\n[element.SINK]\nformats = [\"*\"]\n"
      "[client.C]\nformats = []\n[service.S]\nworkflow = [\"element:T\", \"element:SINK\"]\n");
  return home;
}

// Depth and in-flight count of element T.
long long pending() {
  std::istringstream lines(bench::runCommand("'" + kBin + "/qlxadm' queues"));
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
  const pid_t pid = bench::startServer(
      {kBin + "/zvrtbc", "-e", "T", "-map", "identity_so", "-silent"}, kMaps);
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
    const double took = bench::seconds(Clock::now() - start);
    state.SetIterationTime(took);
    elapsed += took;
    cpu += bench::stopServers({server});
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

void BM_Memcpy1KiB(benchmark::State& state) { bench::memcpyOneBody(state); }
BENCHMARK(BM_Memcpy1KiB);

}  // namespace

BENCHMARK_MAIN();
