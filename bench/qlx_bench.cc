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
// - PlainQueue/N (PostgreSQL only): the best a hand-written queue does on the same
//   database, N processes each running BEGIN, SELECT ... FOR UPDATE SKIP LOCKED, INSERT,
//   DELETE, COMMIT through libpq, beside which the broker's cycles are read.
//
// With QLX_BROKER set to a postgresql:// address every benchmark runs on that database
// (its queues are emptied and its directory replaced first); without it on a fresh
// embedded broker home per benchmark.
// - BrokerVsPlain: the broker's consumers against a plain hand-written SQLite queue doing
//   the same cycle, alternately, one and two consumers, FULL and NORMAL.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <libpq-fe.h>
#include <sqlite3.h>

#include "broker_store.h"
#include "mapped_metrics.h"
#include "qlx.h"

namespace {

constexpr size_t kBody = 1024;
constexpr int kBatch = 200;
constexpr int kDeepQueue = 10000;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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
      !store->editDirectory(replace, error)) {
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
// left (not waiting, count < 0); commits every batch.
void drain(QLXHANDLE client, int count) {
  QLXSYNC sync = localSync();
  for (int n = 0; count < 0 || n < count; ++n) {
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
  for (auto _ : state) {
    if (ready == 0) {
      state.PauseTiming();
      drain(client, -1);
      sendBatch(client, kBatch);
      ready = kBatch;
      state.ResumeTiming();
    }
    cycle(element);
    --ready;
  }
  reportRate(state, full, window);
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

// One connection of the plain queue; aborts when the database cannot be reached.
PGconn* plainConnect(int64_t full) {
  PGconn* conn = PQconnectdb(std::getenv("QLX_BROKER"));
  if (PQstatus(conn) != CONNECTION_OK) std::abort();
  PQclear(PQexec(conn, full ? "SET synchronous_commit = on" : "SET synchronous_commit = off"));
  return conn;
}

bool plainRun(PGconn* conn, const char* sql, int count = 0, const char* const* values = nullptr,
              const int* lengths = nullptr, const int* formats = nullptr,
              std::string* first = nullptr) {
  PGresult* r = PQexecParams(conn, sql, count, nullptr, values, lengths, formats, 1);
  const ExecStatusType status = PQresultStatus(r);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (first) *first = ok && PQntuples(r) == 1 ? std::string(PQgetvalue(r, 0, 0), 8) : "";
  PQclear(r);
  return ok;
}

// One cycle of the plain queue: take the oldest request, put a response, in one
// transaction. False when the queue was empty.
bool plainCycle(PGconn* conn) {
  static const std::string body(kBody, 'r');
  std::string id;
  if (!plainRun(conn, "BEGIN") ||
      !plainRun(conn, "SELECT id, body FROM plain_in ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED",
                0, nullptr, nullptr, nullptr, &id))
    std::abort();
  if (id.empty()) {
    plainRun(conn, "ROLLBACK");
    return false;
  }
  const char* values[] = {body.data()};
  const int lengths[] = {static_cast<int>(body.size())};
  const int formats[] = {1};
  const char* idValue[] = {id.data()};
  const int idLength[] = {8};
  if (!plainRun(conn, "INSERT INTO plain_out (body) VALUES ($1::bytea)", 1, values, lengths,
                formats) ||
      !plainRun(conn, "DELETE FROM plain_in WHERE id = $1::bigint", 1, idValue, idLength,
                formats) ||
      !plainRun(conn, "COMMIT"))
    std::abort();
  return true;
}

// PlainQueue/FULL/N: N processes cycle for a fixed time on a queue filled far ahead.
void BM_PlainQueue(benchmark::State& state) {
  if (!qlx::isPostgresAddress(std::getenv("QLX_BROKER") ? std::getenv("QLX_BROKER") : "")) {
    state.SkipWithError("no postgresql:// address in QLX_BROKER");
    for (auto _ : state) {
    }
    return;
  }
  const int64_t full = state.range(0);
  const int consumers = static_cast<int>(state.range(1));
  constexpr int64_t kMillis = 3000;
  int64_t total = 0;
  for (auto _ : state) {
    PGconn* conn = plainConnect(full);
    if (!plainRun(conn, "DROP TABLE IF EXISTS plain_in, plain_out") ||
        !plainRun(conn, "CREATE TABLE plain_in (id bigserial PRIMARY KEY, body bytea)") ||
        !plainRun(conn, "CREATE TABLE plain_out (id bigserial PRIMARY KEY, body bytea)") ||
        !plainRun(conn, "INSERT INTO plain_in (body) SELECT decode(repeat('72', 1024), 'hex') "
                        "FROM generate_series(1, 200000)"))
      std::abort();
    int result[2];
    if (pipe(result) != 0) std::abort();
    for (int i = 0; i < consumers; ++i)
      if (fork() == 0) {
        PGconn* own = plainConnect(full);
        const auto end = Clock::now() + std::chrono::milliseconds(kMillis);
        int64_t count = 0;
        while (Clock::now() < end && plainCycle(own)) ++count;
        _exit(write(result[1], &count, sizeof count) == sizeof count ? 0 : 1);
      }
    for (int i = 0; i < consumers; ++i) {
      int64_t count = 0;
      if (read(result[0], &count, sizeof count) != sizeof count) std::abort();
      total += count;
    }
    while (wait(nullptr) > 0) {
    }
    close(result[0]);
    close(result[1]);
    plainRun(conn, "DROP TABLE plain_in, plain_out");
    PQfinish(conn);
    state.SetIterationTime(kMillis / 1000.0);
  }
  state.counters["cycles_per_s"] = total / (kMillis / 1000.0);
  state.SetLabel(syncName(full));
}

// The plain queue: what one would write by hand on SQLite for the same cycle, to set the
// broker's figures beside. One table; a consumer's cycle is one transaction (BEGIN
// IMMEDIATE, select the first request, insert the response, delete the request, COMMIT),
// WAL, synchronous FULL or NORMAL, a busy timeout. A feeder keeps requests waiting and
// deletes the responses.
sqlite3* openPlain(const std::string& path, int64_t full) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
  sqlite3_busy_timeout(db, 30000);
  const std::string pragmas = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                              syncName(full) +
                              "; CREATE TABLE IF NOT EXISTS queue (id INTEGER PRIMARY KEY, "
                              "q INTEGER NOT NULL, body BLOB NOT NULL);"
                              "CREATE INDEX IF NOT EXISTS queue_q ON queue (q, id)";
  if (sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  return db;
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) std::abort();
  return stmt;
}

bool runStep(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

[[noreturn]] void plainFeederLoop(const std::string& path, int64_t full) {
  sqlite3* db = openPlain(path, full);
  static const std::string body(kBody, 'r');
  sqlite3_stmt* depth = prepare(db, "SELECT count(*) FROM queue WHERE q = 0");
  sqlite3_stmt* put = prepare(db, "INSERT INTO queue (q, body) VALUES (0, ?1)");
  sqlite3_stmt* drain = prepare(db, "DELETE FROM queue WHERE q = 1");
  for (;;) {
    sqlite3_step(depth);
    const int64_t waiting = sqlite3_column_int64(depth, 0);
    sqlite3_reset(depth);
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (int64_t i = waiting; i < 3 * kBatch; ++i) {
      sqlite3_bind_blob(put, 1, body.data(), kBody, SQLITE_STATIC);
      runStep(put);
    }
    runStep(drain);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    usleep(20000);
  }
}

// One consumer's cycle of the plain queue. False when no request was waiting.
bool plainCycle(sqlite3* db, sqlite3_stmt* take, sqlite3_stmt* put, sqlite3_stmt* remove) {
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  bool got = sqlite3_step(take) == SQLITE_ROW;
  if (got) {
    const int64_t id = sqlite3_column_int64(take, 0);
    sqlite3_bind_blob(put, 1, sqlite3_column_blob(take, 1), sqlite3_column_bytes(take, 1),
                      SQLITE_TRANSIENT);
    sqlite3_reset(take);
    sqlite3_bind_int64(remove, 1, id);
    got = runStep(put) && runStep(remove);
  }
  sqlite3_reset(take);
  sqlite3_exec(db, got ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  return got;
}

[[noreturn]] void plainConsumerLoop(const std::string& path, int64_t full, int start, int result,
                                    int64_t millis) {
  sqlite3* db = openPlain(path, full);
  sqlite3_stmt* take = prepare(db, "SELECT id, body FROM queue WHERE q = 0 ORDER BY id LIMIT 1");
  sqlite3_stmt* put = prepare(db, "INSERT INTO queue (q, body) VALUES (1, ?1)");
  sqlite3_stmt* remove = prepare(db, "DELETE FROM queue WHERE id = ?1");
  char byte = 0;
  if (read(start, &byte, 1) != 1) _exit(1);
  const auto end = Clock::now() + std::chrono::milliseconds(millis);
  int64_t count = 0;
  while (Clock::now() < end) {
    if (plainCycle(db, take, put, remove)) ++count;
  }
  if (write(result, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) _exit(1);
  _exit(0);
}

// The broker's consumers (range 0 = 0) or the plain queue's (1), in FULL or NORMAL
// (range 1), with range 2 consumer processes for three seconds; registered alternately.
void BM_BrokerVsPlain(benchmark::State& state) {
  const bool plain = state.range(0) != 0;
  const int64_t full = state.range(1);
  const int consumers = static_cast<int>(state.range(2));
  constexpr int64_t kMillis = 3000;
  const FsyncWindow window;
  int64_t total = 0;
  for (auto _ : state) {
    const std::string home = makeHome(full, 1);
    const std::string path = home + "/plain.db";
    if (plain) sqlite3_close(openPlain(path, full));
    pid_t feeder = fork();
    if (feeder == 0) {
      if (plain) plainFeederLoop(path, full);
      feederLoop(1, 3 * kBatch);
    }
    int start[2], result[2];
    if (pipe(start) != 0 || pipe(result) != 0) std::abort();
    std::vector<pid_t> children;
    for (int i = 0; i < consumers; ++i) {
      pid_t pid = fork();
      if (pid == 0 && plain) plainConsumerLoop(path, full, start[0], result[1], kMillis);
      if (pid == 0) consumerLoop("E0", start[0], result[1], kMillis);
      children.push_back(pid);
    }
    usleep(300000);
    for (int i = 0; i < consumers; ++i)
      if (write(start[1], "g", 1) != 1) std::abort();
    for (int i = 0; i < consumers; ++i) {
      int64_t n = 0;
      if (read(result[0], &n, sizeof n) != sizeof n) std::abort();
      total += n;
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    kill(feeder, SIGKILL);
    waitpid(feeder, nullptr, 0);
    for (int fd : {start[0], start[1], result[0], result[1]}) close(fd);
    removeHome(home);
    state.SetIterationTime(kMillis / 1000.0);
  }
  const double rate = static_cast<double>(total) / (kMillis / 1000.0);
  const double f = window.mean();
  state.counters["cycles_per_s"] = rate;
  state.counters["F"] = f;
  state.counters["per_F"] = rate / f;
  state.SetLabel(std::string(plain ? "plain queue " : "broker ") + syncName(full) + " " +
                 std::to_string(consumers) + " consumer(s)");
}

}  // namespace

BENCHMARK(BM_PlainQueue)
    ->Args({1, 1})
    ->Args({1, 4})
    ->Args({0, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
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
// Broker and plain queue alternately, two rounds of each configuration.
void brokerThenPlain(benchmark::internal::Benchmark* b) {
  for (int round = 0; round < 2; ++round) {
    for (int64_t full : {1, 0}) {
      for (int64_t consumers : {1, 2}) {
        b->Args({0, full, consumers});
        b->Args({1, full, consumers});
      }
    }
  }
}
BENCHMARK(BM_BrokerVsPlain)
    ->Apply(brokerThenPlain)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
