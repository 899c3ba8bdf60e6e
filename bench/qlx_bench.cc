// The broker's unit-of-work cycle: a business element gets a 1 KiB request, puts it on as a
// response and commits. One process (requests filled in while the timer is paused) and two
// processes (a child client keeps requests coming and drains the responses), each with
// SQLite synchronous FULL and NORMAL. Items per second = messages per second.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qlx.h"
#include "store.h"

namespace {

constexpr size_t kBody = 1024;
constexpr int kBatch = 200;

const char* syncName(int64_t full) { return full ? "FULL" : "NORMAL"; }

// A fresh broker home with element E, client C and service S = [E, origin].
std::string makeHome(int64_t full) {
  char pattern[] = "/tmp/qlxbench.XXXXXX";
  std::string home = mkdtemp(pattern);
  setenv("QLX_HOME", home.c_str(), 1);
  setenv("QLX_SYNC", syncName(full), 1);
  qlx::Store store;
  std::string error;
  if (!store.open(error) ||
      !store.exec("INSERT INTO element (name) VALUES ('E'); INSERT INTO client (name) "
                  "VALUES ('C'); INSERT INTO service VALUES ('S'); INSERT INTO hop VALUES "
                  "('S', 0, 1, 'E'), ('S', 1, 100, '')"))
    std::abort();
  return home;
}

void removeHome(const std::string& home) {
  std::string command = "rm -rf '" + home + "'";
  if (std::system(command.c_str()) != 0) std::abort();
}

QLXHANDLE connect(const char* name, bool element) {
  QLXADDR addr = kQlxAddrDefault;
  std::strcpy(addr.Name, name);
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

// Puts `count` requests of 1 KiB to S and commits once.
void sendBatch(QLXHANDLE client, int count) {
  static const std::string body(kBody, 'r');
  QLXSERVICE svc = kQlxServiceDefault;
  std::strcpy(svc.Name, "S");
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
// left (not waiting, count < 0).
void drain(QLXHANDLE client, int count) {
  QLXSYNC sync = localSync();
  for (int n = 0; count < 0 || n < count; ++n) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = count < 0 ? 0x120 : 0x128;
    QLXHANDLE theme = 0;
    if (!qlxGetResponse(client, &msg, &get, &sync, &theme)) break;
    qlxFreeBuffer(client, &msg.MsgBuffer);
    qlxCloseHandle(client, &theme);
  }
  qlxCommit(client, &sync);
}

// One cycle of the element: get (waiting), put on, commit.
void cycle(QLXHANDLE element) {
  QLXSYNC sync = localSync();
  QLXMSG msg = kQlxMsgDefault;
  QLXGETOPT get = kQlxGetOptDefault;
  get.Options = 0x2148;
  QLXHANDLE theme = 0;
  if (!qlxGetRequest(element, &msg, &get, &sync, &theme)) std::abort();
  QLXPUTOPT put = kQlxPutOptDefault;
  if (!qlxPutResponse(element, &msg, &put, &sync, &theme) || !qlxCommit(element, &sync))
    std::abort();
  qlxFreeBuffer(element, &msg.MsgBuffer);
  qlxCloseHandle(element, &theme);
}

void BM_CycleOneProcess(benchmark::State& state) {
  const std::string home = makeHome(state.range(0));
  QLXHANDLE client = connect("C", false), element = connect("E", true);
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
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(syncName(state.range(0)));
  qlxTerminate(&element);
  qlxTerminate(&client);
  removeHome(home);
}

// The child client: keeps a batch ahead of the element and drains its responses.
[[noreturn]] void clientLoop() {
  QLXHANDLE client = connect("C", false);
  sendBatch(client, kBatch);
  for (;;) {
    sendBatch(client, kBatch);
    drain(client, kBatch);
  }
}

void BM_CycleTwoProcesses(benchmark::State& state) {
  const std::string home = makeHome(state.range(0));
  pid_t child = fork();
  if (child == 0) clientLoop();
  QLXHANDLE element = connect("E", true);
  for (auto _ : state) cycle(element);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(syncName(state.range(0)));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  qlxTerminate(&element);
  removeHome(home);
}

}  // namespace

BENCHMARK(BM_CycleOneProcess)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_CycleTwoProcesses)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK_MAIN();
