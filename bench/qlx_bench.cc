// The broker's unit-of-work cycle: a business element gets a 1 KiB request, puts it on as a
// response and commits. Every figure is also given as a ratio to F, the rate of 4 KiB
// write + fdatasync pairs this disk does, measured right before and right after each
// benchmark of the same run (per_F uses their mean; the disk may be shared and vary).
//
// - Cycle/one_process: client and element in one process (requests filled in while the
//   timer is paused), QLX_SYNC=FULL (commits of several processes share syncs) and NORMAL.
// - Cycle/two_processes: a child client keeps requests coming and drains the responses.
// - Consumers/N: N element processes on one element (or on N elements) for a fixed time
//   while a feeder child keeps the queues filled; share_min is the smallest consumer's
//   part of the messages (fairness).
// - Cycle/deep_queue: as one_process, with 10,000 messages always waiting.
// - CycleCounters: one_process in NORMAL with the broker's counters on and off, alternating.
// - CountsOfOneCycle: the counting a cycle does, alone (two clock reads, four adds), on the
//   store of the run.
// - CycleLatency: as one_process, 25,000 cycles timed one by one (p50, p99, max in µs,
//   and the cycles over 50 ms): long enough for the WAL to reach its checkpoint size
//   several times, so a checkpoint run inside a commit shows as a stall.
// - BrokerVsPlain: the broker's consumers against a plain hand-written queue on the same
//   store doing the same cycle (plain_sqlite_queue.h, plain_pg_queue.h), alternately, in
//   two rounds, on queues filled beforehand: on SQLite one and two consumers, FULL and
//   NORMAL; on PostgreSQL one and four consumers in FULL, one in NORMAL. Each row gives
//   the consumers' CPU per cycle (consumer_us). On PostgreSQL each row also gives, per
//   cycle, what the load of the machine does not change: the server's CPU time
//   (server_cpu_us, all its processes), WAL flushes (wal_syncs), WAL bytes and committed
//   transactions, read from the server's statistics around the timed span; and the
//   server's CPU time per cycle from 1 s to 2.5 s into the span (steady_server_cpu_us),
//   which leaves out what the consumers' sessions cost to start and end (the WAL figures
//   reach the statistics too late to be read inside the span). At the end the run prints
//   (on stderr), per configuration, the broker's rate over the plain queue's in each round
//   and their geometric mean.
//
// With QLX_BROKER set to a postgresql:// address every benchmark runs on that database
// (its queues are emptied and its directory replaced first); without it on a fresh
// embedded broker home per benchmark. On PostgreSQL the one-process cycles also count the
// round trips to the server per cycle (round_trips).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "broker_store.h"
#include "cycle_shape.h"
#include "mapped_metrics.h"
#include "pg_connection.h"
#include "plain_pg_queue.h"
#include "plain_sqlite_queue.h"
#include "qlx.h"

namespace {

using bench::Clock;
using bench::kBatch;
using bench::kBody;
using bench::seconds;

constexpr int kDeepQueue = 10000;

bool onPostgres() {
  const char* address = std::getenv("QLX_BROKER");
  return address && qlx::isPostgresAddress(address);
}

// Write + fdatasync pairs per second of a 4 KiB block in /tmp, where the homes live.
double measureFsyncRate(double span = 0.5) {
  char path[] = "/tmp/qlxbench-fsync.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) std::abort();
  unlink(path);
  std::string block(4096, 'f');
  int count = 0;
  const auto start = Clock::now();
  while (seconds(Clock::now() - start) < span) {
    if (pwrite(fd, block.data(), block.size(), 0) != 4096 || fdatasync(fd) != 0) std::abort();
    ++count;
  }
  const double rate = count / seconds(Clock::now() - start);
  close(fd);
  return rate;
}

// F around one benchmark: measured when made and again by mean().
class FsyncWindow {
 public:
  FsyncWindow() : before_(measureFsyncRate()) {}
  double mean() const { return (before_ + measureFsyncRate()) / 2; }

 private:
  double before_;
};

const char* syncName(int64_t full) { return full ? "FULL" : "NORMAL"; }

// On PostgreSQL the broker's tables keep the dead rows of the benchmarks before until the
// server's autovacuum comes by; vacuumed, every benchmark starts as the plain queue's
// fresh tables do. True when done or not on PostgreSQL.
bool vacuumed(std::string& error) {
  if (!onPostgres()) return true;
  qlx::pg::Connection conn;
  if (!conn.open(std::getenv("QLX_BROKER"), error)) return false;
  if (conn.exec("VACUUM ANALYZE message, claim")) return true;
  error = conn.errorText();
  return false;
}

// A fresh broker with elements E0..E<n-1>, client C and services S<i> = [E<i>, origin].
std::string makeHome(int64_t full, int elements = 1) {
  char pattern[] = "/tmp/qlxbench.XXXXXX";
  std::string home = mkdtemp(pattern);
  setenv("QLX_HOME", home.c_str(), 1);
  setenv("QLX_SYNC", syncName(full), 1);
  std::unique_ptr<qlx::BrokerStore> store = qlx::makeBrokerStore();
  std::string error;
  qlx::DirectoryModel model;
  model.clients.push_back({"C", {}});
  for (int i = 0; i < elements; ++i) {
    const std::string n = std::to_string(i);
    model.elements.push_back({"E" + n, {}, 1, std::nullopt});
    model.services.push_back({"S" + n, {{1, "E" + n}, {100, ""}}});
  }
  const auto replace = [&model](qlx::DirectoryModel& stored, std::string&) {
    stored = model;
    return true;
  };
  if (!store->open(error) || !store->resetRuntime(error) ||
      !store->editDirectory(replace, error) || !vacuumed(error)) {
    std::fprintf(stderr, "qlx_bench: %s\n", error.c_str());
    std::abort();
  }
  return home;
}

void removeHome(const std::string& home) {
  std::string command = "rm -rf '" + home + "'";
  if (std::system(command.c_str()) != 0) std::abort();
}

QLXHANDLE connect(const std::string& name, bool element) {
  QLXADDR addr = kQlxAddrDefault;
  std::strcpy(addr.Name, name.c_str());
  QLXHANDLE handle = 0;
  void* dir = nullptr;
  int ok = element ? qlxSPIInitialize(&addr, 1, &handle, &dir, nullptr)
                   : qlxClientInitialize(&addr, &handle);
  if (!ok) std::abort();
  return handle;
}

QLXSYNC localSync() {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  return sync;
}

// Puts `count` requests of 1 KiB to `service` and commits once.
void sendBatch(QLXHANDLE client, int count, const char* service = "S0") {
  static const std::string body(kBody, 'r');
  QLXSERVICE svc = kQlxServiceDefault;
  std::strcpy(svc.Name, service);
  QLXSYNC sync = localSync();
  for (int i = 0; i < count; ++i) {
    QLXMSG msg = kQlxMsgDefault;
    msg.MsgLength = kBody;
    msg.MsgBuffer = QLXBUFFER{0, kBody, const_cast<char*>(body.data())};
    QLXHANDLE theme = 0;
    if (!qlxPutRequest(client, &svc, &msg, nullptr, &sync, &theme)) std::abort();
    qlxCloseHandle(client, &theme);
  }
  if (!qlxCommit(client, &sync)) std::abort();
}

// Takes responses off the client's queue until `count` were taken (waiting) or none is
// left (not waiting, count < 0); commits every batch. The number taken.
int64_t drain(QLXHANDLE client, int count) {
  QLXSYNC sync = localSync();
  int n = 0;
  for (; count < 0 || n < count; ++n) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = count < 0 ? 0x120 : 0x128;
    get.Wait = 1000;
    QLXHANDLE theme = 0;
    if (!qlxGetResponse(client, &msg, &get, &sync, &theme)) break;
    qlxFreeBuffer(client, &msg.MsgBuffer);
    qlxCloseHandle(client, &theme);
    if (n % kBatch == kBatch - 1) qlxCommit(client, &sync);
  }
  qlxCommit(client, &sync);
  return n;
}

// One cycle of the element: get (waiting), put on, commit. False when no request came.
bool cycle(QLXHANDLE element, int32_t waitMillis = -2) {
  QLXSYNC sync = localSync();
  QLXMSG msg = kQlxMsgDefault;
  QLXGETOPT get = kQlxGetOptDefault;
  get.Options = 0x2148;
  get.Wait = waitMillis;
  QLXHANDLE theme = 0;
  if (!qlxGetRequest(element, &msg, &get, &sync, &theme)) return false;
  QLXPUTOPT put = kQlxPutOptDefault;
  if (!qlxPutResponse(element, &msg, &put, &sync, &theme) || !qlxCommit(element, &sync))
    std::abort();
  qlxFreeBuffer(element, &msg.MsgBuffer);
  qlxCloseHandle(element, &theme);
  return true;
}

void reportRate(benchmark::State& state, int64_t full, const FsyncWindow& window) {
  const double f = window.mean();
  state.SetItemsProcessed(state.iterations());
  state.counters["F"] = f;
  state.counters["per_F"] = benchmark::Counter(static_cast<double>(state.iterations()) / f,
                                               benchmark::Counter::kIsRate);
  state.SetLabel(syncName(full));
}

void oneProcess(benchmark::State& state, int standing, int64_t full) {
  const FsyncWindow window;
  const std::string home = makeHome(full);
  QLXHANDLE client = connect("C", false), element = connect("E0", true);
  for (int sent = 0; sent < standing; sent += kBatch) sendBatch(client, kBatch);
  int ready = 0;
  int64_t trips = 0;
  for (auto _ : state) {
    if (ready == 0) {
      state.PauseTiming();
      drain(client, -1);
      sendBatch(client, kBatch);
      ready = kBatch;
      state.ResumeTiming();
    }
    const int64_t before = qlx::pg::roundTrips();
    cycle(element);
    trips += qlx::pg::roundTrips() - before;
    --ready;
  }
  reportRate(state, full, window);
  if (onPostgres())
    state.counters["round_trips"] = static_cast<double>(trips) / state.iterations();
  qlxTerminate(&element);
  qlxTerminate(&client);
  removeHome(home);
}

void BM_Fdatasync(benchmark::State& state) {
  double rate = 0;
  for (auto _ : state) {
    rate = measureFsyncRate(1.0);
    state.SetIterationTime(1.0);
  }
  state.counters["F"] = rate;
}

void BM_CycleOneProcess(benchmark::State& state) { oneProcess(state, 0, state.range(0)); }
void BM_CycleDeepQueue(benchmark::State& state) { oneProcess(state, kDeepQueue, state.range(0)); }

// The one-process cycle in NORMAL (where the CPU, not the sync, bounds it) with the
// broker's counters kept (range 0 = 1) or off (QLX_METRICS=off), in alternating rounds
// (range 1), so that what the counters cost is read from one run.
void BM_CycleCounters(benchmark::State& state) {
  if (state.range(0))
    unsetenv("QLX_METRICS");
  else
    setenv("QLX_METRICS", "off", 1);
  oneProcess(state, 0, 0);
  unsetenv("QLX_METRICS");
  state.SetLabel(state.range(0) ? "NORMAL, counters" : "NORMAL, counters off");
}

// What the counters add to a cycle, alone: the get's count and clock read, the commit's
// counts (its put, the commit), clock read and processing time; on the store of the run
// (on PostgreSQL the in-process counting, its writes being a thread's once a second).
void BM_CountsOfOneCycle(benchmark::State& state) {
  const std::string home = makeHome(0);
  std::unique_ptr<qlx::BrokerStore> store = qlx::makeBrokerStore();
  std::string error;
  if (!store->open(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  qlx::Metrics& metrics = store->metrics();
  const std::string element = "element:E0", client = "client:C";
  timespec now{};
  for (auto _ : state) {
    metrics.add(element, qlx::kCountGot, 1);
    clock_gettime(CLOCK_MONOTONIC, &now);
    metrics.add(client, qlx::kCountPut, 1);
    metrics.add(element, qlx::kCountCommitted, 1);
    clock_gettime(CLOCK_MONOTONIC, &now);
    metrics.observe(element, static_cast<uint64_t>(now.tv_nsec) / 1000u);
  }
  removeHome(home);
}

void BM_CycleLatency(benchmark::State& state) {
  constexpr int kCycles = 25000;
  const std::string home = makeHome(state.range(0));
  QLXHANDLE client = connect("C", false), element = connect("E0", true);
  std::vector<double> micros;
  micros.reserve(kCycles);
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int n = 0; n < kCycles; n += kBatch) {
      drain(client, -1);
      sendBatch(client, kBatch);
      for (int i = 0; i < kBatch; ++i) {
        const auto before = Clock::now();
        cycle(element);
        micros.push_back(seconds(Clock::now() - before) * 1e6);
      }
    }
    state.SetIterationTime(seconds(Clock::now() - start));
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  state.counters["p50_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = micros.back();
  // Stalls: a checkpoint of 40 MB inside a commit takes far longer than the machine's
  // scheduling noise.
  state.counters["over_50ms"] = static_cast<double>(
      micros.end() - std::upper_bound(micros.begin(), micros.end(), 50000.0));
  state.SetLabel(syncName(state.range(0)));
  qlxTerminate(&element);
  qlxTerminate(&client);
  removeHome(home);
}

// The feeder: keeps `ahead` requests waiting on each service beyond those in work and
// drains the responses.
[[noreturn]] void feederLoop(int services, int ahead) {
  QLXHANDLE client = connect("C", false);
  for (;;) {
    for (int i = 0; i < services; ++i) {
      const std::string service = "S" + std::to_string(i);
      for (int sent = 0; sent < ahead; sent += kBatch) sendBatch(client, kBatch, service.c_str());
    }
    drain(client, kBatch * services);
    ahead = kBatch;
  }
}

void BM_CycleTwoProcesses(benchmark::State& state) {
  const FsyncWindow window;
  const std::string home = makeHome(state.range(0));
  pid_t child = fork();
  if (child == 0) feederLoop(1, 2 * kBatch);
  QLXHANDLE element = connect("E0", true);
  for (auto _ : state) cycle(element);
  reportRate(state, state.range(0), window);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  qlxTerminate(&element);
  removeHome(home);
}

// A consumer process: waits for the start byte, cycles until `millis` passed, writes its
// count.
[[noreturn]] void consumerLoop(const std::string& element, int start, int result,
                               int64_t millis) {
  QLXHANDLE handle = connect(element, true);
  char byte = 0;
  if (read(start, &byte, 1) != 1) _exit(1);
  const auto end = Clock::now() + std::chrono::milliseconds(millis);
  int64_t count = 0;
  while (Clock::now() < end)
    if (cycle(handle, 200)) ++count;
  if (write(result, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) _exit(1);
  qlxTerminate(&handle);
  _exit(0);
}

// Consumers/N on one element (range 1 = 0) or on N elements (range 1 = 1).
void BM_Consumers(benchmark::State& state) {
  const int64_t full = state.range(0);
  const int consumers = static_cast<int>(state.range(2));
  const bool ownElements = state.range(1) != 0;
  const int elements = ownElements ? consumers : 1;
  constexpr int64_t kMillis = 3000;
  std::vector<int64_t> counts;
  const FsyncWindow window;
  for (auto _ : state) {
    const std::string home = makeHome(full, elements);
    pid_t feeder = fork();
    if (feeder == 0) feederLoop(elements, 3 * kBatch);
    int start[2], result[2];
    if (pipe(start) != 0 || pipe(result) != 0) std::abort();
    std::vector<pid_t> children;
    for (int i = 0; i < consumers; ++i) {
      const std::string name = "E" + std::to_string(ownElements ? i : 0);
      pid_t pid = fork();
      if (pid == 0) consumerLoop(name, start[0], result[1], kMillis);
      children.push_back(pid);
    }
    usleep(300000);  // the feeder fills the queues, the consumers connect
    for (int i = 0; i < consumers; ++i)
      if (write(start[1], "g", 1) != 1) std::abort();
    counts.assign(static_cast<size_t>(consumers), 0);
    for (int i = 0; i < consumers; ++i)
      if (read(result[0], &counts[static_cast<size_t>(i)], sizeof(int64_t)) != sizeof(int64_t))
        std::abort();
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    kill(feeder, SIGKILL);
    waitpid(feeder, nullptr, 0);
    for (int fd : {start[0], start[1], result[0], result[1]}) close(fd);
    removeHome(home);
    state.SetIterationTime(kMillis / 1000.0);
  }
  int64_t total = 0;
  for (int64_t n : counts) total += n;
  const double rate = total / (kMillis / 1000.0);
  const double f = window.mean();
  state.counters["cycles_per_s"] = rate;
  state.counters["F"] = f;
  state.counters["per_F"] = rate / f;
  state.counters["share_min"] =
      total ? static_cast<double>(*std::min_element(counts.begin(), counts.end())) / total : 0;
  state.SetLabel(std::string(syncName(full)) + (ownElements ? " own elements" : " one element"));
}

// Waits for the child `pid` to end; the user and system CPU seconds it used.
double reapCpuSeconds(pid_t pid) {
  struct rusage usage {};
  if (wait4(pid, nullptr, 0, &usage) != pid) return 0;
  const auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

// Where the consumers' requests come from: both queues are filled before the start with
// more than the three seconds' work of the fastest seen, and the responses stay where they
// are put, so that the timed span holds the consumers' cycles and nothing else. A feeder
// working beside them does not do the same durable work on both sides: on SQLite in FULL
// the plain queue's feeder, whose busy handler backs off for up to 100 ms while a
// consumer holds the write lock through its sync, got in some eight times a second, the
// broker's (woken as the lock is let go, before the sync) thirty, and each of its commits
// cost the one consumer a sync of its own. On PostgreSQL a feeder taking the responses
// through the broker's gets would load the server about as much as the consumers it feeds.
int prefilled(bool pg) { return pg ? 25000 : 60000; }

void supplyRequests(bool plain, bool pg, const std::string& path, int64_t full) {
  if (pg && plain) {
    bench::makePlainPgQueue(prefilled(pg));
  } else if (plain) {
    bench::makePlainSqliteQueue(path, full, prefilled(pg));
  } else {
    QLXHANDLE client = connect("C", false);
    for (int sent = 0; sent < prefilled(pg); sent += kBatch) sendBatch(client, kBatch);
    qlxTerminate(&client);
    // As the plain queue's: else the server's autovacuum comes by during the timed span.
    std::string error;
    if (!vacuumed(error)) std::abort();
  }
}

// What the server did during the timed spans, summed; not ok once a reading failed.
struct ServerWork {
  bool ok = true;
  double cpuSeconds = 0;
  int64_t walSyncs = 0, walBytes = 0, commits = 0;
  void add(const bench::PgServerFigures& before, const bench::PgServerFigures& after) {
    ok = ok && before.ok && after.ok;
    cpuSeconds += after.cpuSeconds - before.cpuSeconds;
    walSyncs += after.walSyncs - before.walSyncs;
    walBytes += after.walBytes - before.walBytes;
    commits += after.commits - before.commits;
  }
};

// What the server did per cycle in the middle of the consumers' span, away from their
// sessions' starts and ends: from 1 s after the start to 2.5 s, the cycles counted by the
// responses committed.
struct SteadyWork {
  ServerWork server;
  int64_t cycles = 0;
  void measure(PGconn* reader, bool plain) {
    usleep(1000000);
    const bench::PgSteadyReading first = bench::pgSteadyReading(reader, plain);
    usleep(1500000);
    const bench::PgSteadyReading second = bench::pgSteadyReading(reader, plain);
    server.add(first.server, second.server);
    cycles += second.responses - first.responses;
  }
};

// The rows of BrokerVsPlain as they ran, for the summary printed at the end: the broker's
// row of a configuration comes right before the plain queue's of the same round.
struct VsPlainRow {
  std::string shape;  // "FULL, 2 consumer(s)"
  bool plain;
  double rate, perF;
};
std::vector<VsPlainRow> gVsPlainRows;

double geometricMean(const std::vector<double>& values) {
  double logs = 0;
  for (double v : values) logs += std::log(v);
  return values.empty() ? 0 : std::exp(logs / static_cast<double>(values.size()));
}

// The broker's rate over the plain queue's, per configuration: each round's, and their
// geometric mean; in brackets the same with each side's rate taken over the F measured
// beside it. On stderr: stdout may carry the benchmark's JSON.
void printVsPlainSummary() {
  std::vector<std::string> shapes;
  std::map<std::string, std::vector<std::pair<double, double>>> ratios;
  std::map<std::string, const VsPlainRow*> broker;
  for (const VsPlainRow& row : gVsPlainRows) {
    if (!row.plain) {
      broker[row.shape] = &row;
      continue;
    }
    const VsPlainRow* mine = broker[row.shape];
    if (!mine || row.rate <= 0 || row.perF <= 0) continue;
    if (ratios.find(row.shape) == ratios.end()) shapes.push_back(row.shape);
    ratios[row.shape].emplace_back(mine->rate / row.rate, mine->perF / row.perF);
    broker[row.shape] = nullptr;
  }
  if (shapes.empty()) return;
  std::fprintf(stderr, "\nbroker over plain queue, per round (over F), geometric mean:\n");
  for (const std::string& shape : shapes) {
    std::vector<double> plainRatios, perF;
    std::fprintf(stderr, "  %-22s", (shape + ":").c_str());
    for (const auto& [ratio, overF] : ratios[shape]) {
      std::fprintf(stderr, " %.2f (%.2f)", ratio, overF);
      plainRatios.push_back(ratio);
      perF.push_back(overF);
    }
    std::fprintf(stderr, "  mean %.2f (%.2f)\n", geometricMean(plainRatios), geometricMean(perF));
  }
}

// The broker's consumers (range 0 = 0) or the plain queue's (1) of the store in use, in
// FULL or NORMAL (range 1), with range 2 consumer processes for three seconds; registered
// alternately.
void BM_BrokerVsPlain(benchmark::State& state) {
  const bool plain = state.range(0) != 0;
  const int64_t full = state.range(1);
  const int consumers = static_cast<int>(state.range(2));
  constexpr int64_t kMillis = 3000;
  const FsyncWindow window;
  int64_t total = 0;
  double consumerCpu = 0;
  ServerWork server;
  SteadyWork steady;
  for (auto _ : state) {
    const std::string home = makeHome(full, 1);
    const std::string path = home + "/plain.db";
    const bool pg = onPostgres();
    supplyRequests(plain, pg, path, full);
    int start[2], result[2];
    if (pipe(start) != 0 || pipe(result) != 0) std::abort();
    std::vector<pid_t> children;
    for (int i = 0; i < consumers; ++i) {
      pid_t pid = fork();
      if (pid == 0 && plain && pg) bench::plainPgConsumer(full, start[0], result[1], kMillis);
      if (pid == 0 && plain) bench::plainSqliteConsumer(path, full, start[0], result[1], kMillis);
      if (pid == 0) consumerLoop("E0", start[0], result[1], kMillis);
      children.push_back(pid);
    }
    // A consumer that dies before its count then ends the reading below instead of
    // leaving it waiting for ever.
    close(result[1]);
    usleep(300000);
    const bench::PgServerFigures before = pg ? bench::pgServerFigures() : bench::PgServerFigures{};
    PGconn* reader = pg ? bench::pgReadingSession() : nullptr;
    for (int i = 0; i < consumers; ++i)
      if (write(start[1], "g", 1) != 1) std::abort();
    if (pg) steady.measure(reader, plain);
    PQfinish(reader);
    int64_t cycles = 0;
    for (int i = 0; i < consumers; ++i) {
      int64_t n = 0;
      if (read(result[0], &n, sizeof n) != sizeof n) std::abort();
      cycles += n;
    }
    total += cycles;
    for (pid_t pid : children) consumerCpu += reapCpuSeconds(pid);
    if (pg) server.add(before, bench::pgServerFigures());
    for (int fd : {start[0], start[1], result[0]}) close(fd);
    if (plain && pg) bench::dropPlainPgQueue();
    if (total >= prefilled(pg)) state.SkipWithError("the filled queue ran dry");
    removeHome(home);
    state.SetIterationTime(kMillis / 1000.0);
  }
  const double rate = static_cast<double>(total) / (kMillis / 1000.0);
  const double f = window.mean();
  state.counters["cycles_per_s"] = rate;
  state.counters["F"] = f;
  state.counters["per_F"] = rate / f;
  // The consumers' CPU per cycle: on two shared cores it changes less with the load than
  // the rates do.
  const double per = total > 0 ? 1.0 / static_cast<double>(total) : 0;
  state.counters["consumer_us"] = consumerCpu * 1e6 * per;
  if (onPostgres() && server.ok) {
    state.counters["server_cpu_us"] = server.cpuSeconds * 1e6 * per;
    state.counters["wal_syncs"] = static_cast<double>(server.walSyncs) * per;
    state.counters["wal_bytes"] = static_cast<double>(server.walBytes) * per;
    state.counters["commits"] = static_cast<double>(server.commits) * per;
  }
  if (onPostgres() && steady.server.ok && steady.cycles > 0) {
    const double each = 1.0 / static_cast<double>(steady.cycles);
    state.counters["steady_server_cpu_us"] = steady.server.cpuSeconds * 1e6 * each;
  }
  state.SetLabel(std::string(plain ? "plain queue " : "broker ") + syncName(full) + " " +
                 std::to_string(consumers) + " consumer(s)");
  const bool ranDry = total >= prefilled(onPostgres());
  if (!ranDry)
    gVsPlainRows.push_back({std::string(syncName(full)) + ", " + std::to_string(consumers) +
                                " consumer(s)",
                            plain, rate, rate / f});
}

}  // namespace

BENCHMARK(BM_Fdatasync)->Iterations(1)->UseManualTime();
BENCHMARK(BM_CycleOneProcess)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_CycleLatency)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CycleTwoProcesses)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_CycleDeepQueue)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_CycleCounters)
    ->ArgsProduct({{1, 0}, {1, 2, 3, 4}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_CountsOfOneCycle);
BENCHMARK(BM_Consumers)
    ->Args({1, 0, 2})
    ->Args({0, 0, 2})
    ->Args({1, 1, 4})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// Broker and plain queue alternately, two rounds of each configuration (FULL, consumers),
// or as many as QLX_BENCH_ROUNDS asks (1 to 20).
void brokerThenPlain(benchmark::internal::Benchmark* b) {
  const std::vector<std::pair<int64_t, int64_t>> shapes =
      onPostgres() ? std::vector<std::pair<int64_t, int64_t>>{{1, 1}, {1, 4}, {0, 1}}
                   : std::vector<std::pair<int64_t, int64_t>>{{1, 1}, {1, 2}, {0, 1}, {0, 2}};
  const char* asked = std::getenv("QLX_BENCH_ROUNDS");
  const int rounds = asked ? std::clamp(std::atoi(asked), 1, 20) : 2;
  for (int round = 0; round < rounds; ++round) {
    for (const auto& [full, consumers] : shapes) {
      b->Args({0, full, consumers});
      b->Args({1, full, consumers});
    }
  }
}
BENCHMARK(BM_BrokerVsPlain)
    ->Apply(brokerThenPlain)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printVsPlainSummary();
  return 0;
}
