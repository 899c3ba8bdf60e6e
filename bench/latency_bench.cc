// Round trip of one request in flight, measured from outside as a user meets it: a client
// puts a 1 KiB ORDERS request to a service, commits, waits for the response and commits
// again; the next request leaves only then. Four paths, each in FULL and NORMAL:
//
//   echo          `qlxadm echo` as the only hop: the bare broker cycle
//   zvrtbc_so     zvrtbc as the only hop, map upper run in process (shared object)
//   zvrtbc_exe    zvrtbc as the only hop, map upper run as a child process (executable)
//   workflow_so   the demo's whole workflow (zvrtee, zvrbc with map route, zvrtbc with
//                 map upper), maps in process
//   workflow_exe  the same with executable maps, as scripts/demo.sh runs it
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
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "broker_store.h"
#include "qlx.h"

namespace {

constexpr size_t kBody = 1024;
constexpr int kWarmUp = 200;
const std::string kBin = ZVR_BIN_DIR;
const std::string kLib = ZVR_LIB_DIR;
const std::string kMaps = ZVR_MAPS_DIR;

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

int requestsPerRow() {
  const char* text = std::getenv("ZVR_LATENCY_REQUESTS");
  int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 10000;
}

// Microseconds of one 4 KiB write + fdatasync in /tmp, where the homes live: the median
// of one second of them.
double syncPeriod() {
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
  close(fd);
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  return took[took.size() / 2];
}

// The demo's directory with the exit given by absolute path, so the home may be anywhere.
void writeDirectory(const std::string& file) {
  const std::string exit = "exit = \"" + kLib + "/libzvrear.so\"\n";
  std::ofstream(file)
      << "[element.TEE1]\nformats = []\n"
         "[element.ZVRBC1]\nformats = [\"ORDERS\"]\ndefault_actions = 1\n" << exit
      << "[element.ZVRTBC1]\nformats = [\"ORDERS\"]\ndefault_actions = 1\n" << exit
      << "[element.E]\nformats = [\"*\"]\n"
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
  char pattern[] = "/tmp/zvrlatency.XXXXXX";
  std::string home = mkdtemp(pattern);
  setenv("QLX_HOME", home.c_str(), 1);
  setenv("QLX_SYNC", full ? "FULL" : "NORMAL", 1);
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
  writeDirectory(home + "/directory.toml");
  const std::string load = "'" + kBin + "/qlxadm' load '" + home + "/directory.toml' >/dev/null";
  if (std::system(load.c_str()) != 0) std::abort();
  return home;
}

pid_t startServer(const std::vector<std::string>& argv, const std::string& maps) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("MERC_MAP_PATH", maps.c_str(), 1);
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

enum PathKind { kEcho, kTbcShared, kTbcExec, kWorkflowShared, kWorkflowExec };

const char* pathName(int kind) {
  static const char* const names[] = {"echo", "zvrtbc_so", "zvrtbc_exe", "workflow_so",
                                      "workflow_exe"};
  return names[kind];
}

// Starts the servers of a path; returns the service to send to.
std::string startPath(int kind, const std::string& home, std::vector<pid_t>& servers) {
  const bool shared = kind == kTbcShared || kind == kWorkflowShared;
  const std::string maps = shared ? sharedMapFolder(home) : kMaps;
  if (kind == kEcho) {
    servers.push_back(startServer({kBin + "/qlxadm", "echo", "E"}, maps));
    return "ECHO";
  }
  servers.push_back(startServer(
      {kBin + "/zvrtbc", "-e", "ZVRTBC1", "-destination", "-key", "DemoTransform"}, maps));
  if (kind == kTbcShared || kind == kTbcExec) return "TRANSFORM";
  servers.push_back(startServer(
      {kBin + "/zvrbc", "-e", "ZVRBC1", "-destination", "-key", "DemoBroker"}, maps));
  servers.push_back(startServer(
      {kBin + "/zvrtee", "-e", "TEE1", "-hdr", "-o", home + "/recording.msgs"}, maps));
  return "DEMO";
}

// CPU seconds the servers used, once they are stopped.
double stopServers(const std::vector<pid_t>& servers) {
  double cpu = 0;
  for (pid_t pid : servers) kill(pid, SIGTERM);
  for (pid_t pid : servers) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpu += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return cpu;
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

double percentile(std::vector<double>& sorted, double p) {
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

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
    const double period = full ? syncPeriod() : 0;
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
        const auto start = Clock::now();
        answered = client.roundTrip(30000);
        took.push_back(micros(Clock::now() - start));
      }
      cpu = stopServers(servers);
    }
    std::filesystem::remove_all(home);
    if (!answered) {
      state.SkipWithError("a response did not come within 30 s");
      return;
    }
    state.SetIterationTime(0);
    std::sort(took.begin(), took.end());
    state.counters["p50_us"] = percentile(took, 0.50);
    state.counters["p90_us"] = percentile(took, 0.90);
    state.counters["p99_us"] = percentile(took, 0.99);
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
  for (int64_t kind : {kEcho, kTbcShared, kTbcExec, kWorkflowShared, kWorkflowExec})
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

}  // namespace

BENCHMARK_MAIN();
