// Round trip of one request in flight, measured from outside as a user meets it: a client
// puts a 1 KiB ORDERS request to a service, commits, waits for the response and commits
// again; the next request leaves only then. These paths, each in FULL and NORMAL:
//
//   echo          `qlxadm echo` as the only hop: the bare broker cycle
//   zvrtbc_so     zvrtbc as the only hop, map upper run in process (shared object)
//   zvrtbc_exe    zvrtbc as the only hop, map upper an executable, which serves one run
//                 after another from one process (built with the map wrapper)
//   workflow_so   the demo's whole workflow (zvrtee, zvrbc with map route, zvrtbc with
//                 map upper), maps in process
//   workflow_exe  the same with executable maps, as scripts/demo.sh runs it
//   zvrtbc_exe_oneshot, workflow_exe_oneshot
//                 the executable rows with MERC_MAP_SERVE=off: a process per run
//   zvrtbc_exe_ahead, workflow_exe_ahead
//                 the one-shot rows with MERC_PRESTART=on: the engine starts map
//                 processes ahead of their requests
//   HostStall     no broker: how late a 500 us sleep wakes, as often as a row has
//                 requests; the machine's own stalls, the floor of every row's maximum
//
// Counters: p50, p90, p99 and max of the round trip in microseconds; the servers' CPU per
// request; in FULL the period of one 4 KiB write + fdatasync measured just before the row
// (the floor of a durable commit on this disk). ZVR_LATENCY_REQUESTS sets the requests per
// row (default 10,000; 200 more go first as warm-up and are not counted).
//
// Every row runs on the embedded store; with QLX_BROKER naming a PostgreSQL database the
// echo and zvrtbc rows run again on it (label "on PostgreSQL"), right after the embedded
// row of the same path, so that the two read side by side from one run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "broker_store.h"
#include "qlx.h"

namespace {

using bench::kBody;
constexpr int kWarmUp = 200;
const std::string kBin = ZVR_BIN_DIR;
const std::string kLib = ZVR_LIB_DIR;
const std::string kMaps = ZVR_MAPS_DIR;

int requestsPerRow() {
  const char* text = std::getenv("ZVR_LATENCY_REQUESTS");
  int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 10000;
}

// The demo's directory with the exit given by absolute path, so the home may be anywhere.
std::string demoDirectory() {
  const std::string exit = "exit = \"" + kLib + "/libzvrear.so\"\n";
  return "[element.TEE1]\nformats = []\n"
         "[element.ZVRBC1]\nformats = [\"ORDERS\"]\ndefault_actions = 1\n" + exit +
         "[element.ZVRTBC1]\nformats = [\"ORDERS\"]\ndefault_actions = 1\n" + exit +
         "[element.E]\nformats = [\"*\"]\n"
         "[client.DEMOCLIENT]\nformats = []\n"
         "[service.DEMO]\nworkflow = [\"element:TEE1\", \"element:ZVRBC1\", \"origin\"]\n"
         "[service.UPPERCASE]\nworkflow = [\"element:ZVRTBC1\"]\n"
         "[service.TRANSFORM]\nworkflow = [\"element:ZVRTBC1\", \"origin\"]\n"
         "[service.ECHO]\nworkflow = [\"element:E\", \"origin\"]\n"
         "[dictionary.DemoBroker]\npairs = [[\"ORDERS DEMOCLIENT\", "
         "\"route -service UPPERCASE -action INSERT -oe1s\"]]\n"
         "[dictionary.DemoTransform]\npairs = [[\"ORDERS DEMOCLIENT\", \"upper\"]]\n";
}

// A folder where the bare map names route and upper find the shared objects: the engine
// tries NAME, then NAME.so.
std::string sharedMapFolder(const std::string& home) {
  const std::string folder = home + "/maps_so";
  std::filesystem::create_directory(folder);
  for (const char* name : {"route", "upper"}) {
    std::filesystem::create_symlink(kMaps + "/" + name + "_so.so", folder + "/" + name + ".so");
  }
  return folder;
}

// The PostgreSQL address the run was given, or empty; read before any row changes it.
const std::string kPostgresAddress = [] {
  const char* given = std::getenv("QLX_BROKER");
  return given && qlx::isPostgresAddress(given) ? std::string(given) : std::string();
}();

const std::string& postgresAddress() { return kPostgresAddress; }

// A fresh home; on PostgreSQL (`postgres`) the database's queues are emptied too, and the
// servers started after inherit the address.
std::string makeHome(bool full, bool postgres) {
  std::string home = bench::makeHome("zvrlatency", full);
  if (postgres) {
    setenv("QLX_BROKER", postgresAddress().c_str(), 1);
    std::unique_ptr<qlx::BrokerStore> store = qlx::makeBrokerStore();
    std::string error;
    if (!store->open(error) || !store->resetRuntime(error)) {
      std::fprintf(stderr, "latency_bench: %s\n", error.c_str());
      std::abort();
    }
  } else {
    unsetenv("QLX_BROKER");
  }
  bench::loadDirectory(kBin, home, demoDirectory());
  return home;
}

enum PathKind {
  kEcho,
  kTbcShared,
  kTbcExec,
  kWorkflowShared,
  kWorkflowExec,
  kTbcExecAhead,
  kWorkflowExecAhead,
  kTbcExecOneShot,
  kWorkflowExecOneShot
};

const char* pathName(int kind) {
  static const char* const names[] = {"echo",         "zvrtbc_so",       "zvrtbc_exe",
                                      "workflow_so",  "workflow_exe",    "zvrtbc_exe_ahead",
                                      "workflow_exe_ahead", "zvrtbc_exe_oneshot",
                                      "workflow_exe_oneshot"};
  return names[kind];
}

// Starts the servers of a path; returns the service to send to.
std::string startPath(int kind, const std::string& home, std::vector<pid_t>& servers) {
  const bool shared = kind == kTbcShared || kind == kWorkflowShared;
  const bool ahead = kind == kTbcExecAhead || kind == kWorkflowExecAhead;
  const bool oneShot = ahead || kind == kTbcExecOneShot || kind == kWorkflowExecOneShot;
  // The servers inherit them from this process.
  if (ahead) {
    setenv("MERC_PRESTART", "on", 1);
  } else {
    unsetenv("MERC_PRESTART");
  }
  if (oneShot) {
    setenv("MERC_MAP_SERVE", "off", 1);
  } else {
    unsetenv("MERC_MAP_SERVE");
  }
  const std::string maps = shared ? sharedMapFolder(home) : kMaps;
  if (kind == kEcho) {
    servers.push_back(bench::startServer({kBin + "/qlxadm", "echo", "E"}, maps));
    return "ECHO";
  }
  servers.push_back(bench::startServer(
      {kBin + "/zvrtbc", "-e", "ZVRTBC1", "-destination", "-key", "DemoTransform"}, maps));
  if (kind == kTbcShared || kind == kTbcExec || kind == kTbcExecAhead ||
      kind == kTbcExecOneShot) {
    return "TRANSFORM";
  }
  servers.push_back(bench::startServer(
      {kBin + "/zvrbc", "-e", "ZVRBC1", "-destination", "-key", "DemoBroker"}, maps));
  servers.push_back(bench::startServer(
      {kBin + "/zvrtee", "-e", "TEE1", "-hdr", "-o", home + "/recording.msgs"}, maps));
  return "DEMO";
}

// The client of the round trips.
class Client {
 public:
  explicit Client(const std::string& service) : body_(kBody, 'x') {
    QLXADDR addr = kQlxAddrDefault;
    std::memcpy(addr.Name, "DEMOCLIENT", 10);
    if (!qlxClientInitialize(&addr, &handle_)) std::abort();
    std::memcpy(service_.Name, service.data(), service.size());
    sync_.SyncType = 1;
  }
  ~Client() { qlxTerminate(&handle_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // One request and its response; false when the response did not come in time.
  bool roundTrip(int32_t waitMs) {
    QLXMSG msg = kQlxMsgDefault;
    std::memcpy(msg.FormatName, "ORDERS", 6);
    msg.Format = -1;
    msg.MsgLength = kBody;
    msg.MsgBuffer = {0, static_cast<uint32_t>(kBody), body_.data()};
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXHANDLE theme = 0;
    if (!qlxPutRequest(handle_, &service_, &msg, &put, &sync_, &theme) ||
        !qlxCommit(handle_, &sync_)) {
      std::abort();
    }
    QLXMSG response = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = 0x198;  // this theme, waiting
    get.Wait = waitMs;
    const bool got = qlxGetResponse(handle_, &response, &get, &sync_, &theme) != 0;
    if (got) {
      qlxFreeBuffer(handle_, &response.MsgBuffer);
      qlxFreeBuffer(handle_, &response.TagBuffer);
    }
    qlxCommit(handle_, &sync_);
    qlxCloseHandle(handle_, &theme);
    return got;
  }

 private:
  QLXHANDLE handle_ = 0;
  QLXSERVICE service_ = kQlxServiceDefault;
  QLXSYNC sync_ = kQlxSyncDefault;
  std::string body_;
};

void BM_RoundTrip(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const bool full = state.range(1) != 0;
  const bool postgres = state.range(2) != 0;
  const int requests = requestsPerRow();
  if (postgres && postgresAddress().empty()) {
    state.SkipWithError("no postgresql:// address in QLX_BROKER");
    return;
  }
  for (auto _ : state) {
    const double period = full ? bench::measureSync().medianMicros : 0;
    const std::string home = makeHome(full, postgres);
    std::vector<pid_t> servers;
    const std::string service = startPath(kind, home, servers);
    std::vector<double> took;
    took.reserve(requests);
    double cpu = 0;
    bool answered = true;
    {
      Client client(service);
      // The first round trip also waits for the servers to start.
      for (int i = 0; i < kWarmUp && answered; ++i) answered = client.roundTrip(30000);
      for (int i = 0; i < requests && answered; ++i) {
        const auto start = bench::Clock::now();
        answered = client.roundTrip(30000);
        took.push_back(bench::micros(bench::Clock::now() - start));
      }
      cpu = bench::stopServers(servers);
    }
    std::filesystem::remove_all(home);
    if (!answered) {
      state.SkipWithError("a response did not come within 30 s");
      return;
    }
    state.SetIterationTime(0);
    std::sort(took.begin(), took.end());
    state.counters["p50_us"] = bench::percentile(took, 0.50);
    state.counters["p90_us"] = bench::percentile(took, 0.90);
    state.counters["p99_us"] = bench::percentile(took, 0.99);
    state.counters["max_us"] = took.back();
    state.counters["server_cpu_us"] = cpu * 1e6 / (requests + kWarmUp);
    if (full) state.counters["fdatasync_us"] = period;
  }
  state.SetLabel(std::string(pathName(kind)) + (full ? " FULL" : " NORMAL") +
                 (postgres ? " on PostgreSQL" : ""));
}

// (path, FULL, on PostgreSQL): every path on the embedded store, the served element's
// paths also on PostgreSQL right after.
void pathsAndStores(benchmark::internal::Benchmark* b) {
  for (int64_t kind : {kEcho, kTbcShared, kTbcExec, kTbcExecOneShot, kTbcExecAhead,
                       kWorkflowShared, kWorkflowExec, kWorkflowExecOneShot, kWorkflowExecAhead})
    for (int64_t full : {0, 1}) {
      b->Args({kind, full, 0});
      if (kind == kEcho || kind == kTbcShared || kind == kTbcExec) b->Args({kind, full, 1});
    }
}
BENCHMARK(BM_RoundTrip)
    ->Apply(pathsAndStores)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The machine's own stalls, for reading the rows' maxima: a thread asks to sleep 500 us
// as many times as a row has requests (about as long as a whole-workflow row lasts) and
// records how much later than asked it woke. A row's maximum above this row's is the
// broker's or the servers' doing; one at or below it is the host's scheduling.
void BM_HostStall(benchmark::State& state) {
  const int requests = requestsPerRow();
  constexpr auto kAsked = std::chrono::microseconds(500);
  for (auto _ : state) {
    std::vector<double> late;
    late.reserve(requests);
    for (int i = 0; i < requests; ++i) {
      const auto start = bench::Clock::now();
      std::this_thread::sleep_for(kAsked);
      late.push_back(bench::micros(bench::Clock::now() - start - kAsked));
    }
    state.SetIterationTime(0);
    std::sort(late.begin(), late.end());
    state.counters["p50_us"] = bench::percentile(late, 0.50);
    state.counters["p99_us"] = bench::percentile(late, 0.99);
    state.counters["max_us"] = late.back();
  }
  state.SetLabel("late wake-ups of a 500 us sleep");
}
BENCHMARK(BM_HostStall)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
