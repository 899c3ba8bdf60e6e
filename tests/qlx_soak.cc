// Soak of the broker's units of work: numbered requests go through element E while its
// worker processes are killed with SIGKILL at random moments (inside a get, between get and
// commit, inside a commit); for the middle third of the kills two workers compete. At the
// end every request must have been answered exactly once and no message may be left.
//
//   qlx_soak [--kills N] [--requests N] [--seed N]     (defaults: 100 kills, 2,000 requests)
//
// Exit status 0 when nothing was lost or duplicated, 1 otherwise, 2 for a usage error.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qlx.h"
#include "store.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOutstanding = 40;  // requests in flight the client keeps

QLXSYNC localSync() {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  return sync;
}

QLXHANDLE connectAs(const char* name, bool element) {
  QLXADDR addr = kQlxAddrDefault;
  std::strcpy(addr.Name, name);
  QLXHANDLE handle = 0;
  void* dir = nullptr;
  const int ok = element ? qlxSPIInitialize(&addr, 1, &handle, &dir, nullptr)
                         : qlxClientInitialize(&addr, &handle);
  return ok ? handle : 0;
}

// A worker: serves E forever, pausing now and then between get and put or put and commit
// so that kills land there as well as inside the calls.
[[noreturn]] void workerLoop(unsigned seed) {
  QLXHANDLE e = connectAs("E", true);
  if (!e) _exit(3);
  std::mt19937 random(seed);
  QLXSYNC sync = localSync();
  for (;;) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = 0x2148;
    get.Wait = 200;
    QLXHANDLE theme = 0;
    if (!qlxGetRequest(e, &msg, &get, &sync, &theme)) continue;
    if (random() % 4 == 0) usleep(random() % 2000);
    QLXPUTOPT put = kQlxPutOptDefault;
    if (!qlxPutResponse(e, &msg, &put, &sync, &theme)) _exit(4);
    if (random() % 4 == 0) usleep(random() % 2000);
    if (!qlxCommit(e, &sync)) qlxRollback(e, &sync);
    qlxFreeBuffer(e, &msg.MsgBuffer);
    qlxCloseHandle(e, &theme);
  }
}

struct Soak {
  int kills = 100;
  int requests = 2000;
  unsigned seed = 1;
  std::mt19937 random;
  QLXHANDLE client = 0;
  int sent = 0;
  int received = 0;
  std::vector<int> answers;  // responses per request number
  std::vector<pid_t> workers;

  pid_t spawnWorker() {
    const unsigned workerSeed = static_cast<unsigned>(random());
    pid_t pid = fork();
    if (pid == 0) workerLoop(workerSeed);
    return pid;
  }

  bool sendSome() {
    QLXSERVICE svc = kQlxServiceDefault;
    std::strcpy(svc.Name, "S");
    QLXSYNC sync = localSync();
    int count = 0;
    for (; sent < requests && sent - received < kOutstanding; ++sent, ++count) {
      std::string body = std::to_string(sent);
      QLXMSG msg = kQlxMsgDefault;
      msg.MsgLength = static_cast<uint32_t>(body.size());
      msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, body.data()};
      QLXHANDLE theme = 0;
      if (!qlxPutRequest(client, &svc, &msg, nullptr, &sync, &theme)) return false;
      qlxCloseHandle(client, &theme);
    }
    return count == 0 || qlxCommit(client, &sync);
  }

  // Takes the responses there are (waiting up to `waitMillis` for the first).
  bool receiveSome(int32_t waitMillis) {
    QLXSYNC sync = localSync();
    for (;;) {
      QLXMSG msg = kQlxMsgDefault;
      QLXGETOPT get = kQlxGetOptDefault;
      get.Options = waitMillis > 0 ? 0x128 : 0x120;
      get.Wait = waitMillis;
      QLXHANDLE theme = 0;
      if (!qlxGetResponse(client, &msg, &get, &sync, &theme)) break;
      waitMillis = 0;
      const std::string body(static_cast<const char*>(msg.MsgBuffer.Data), msg.MsgLength);
      const int number = std::atoi(body.c_str());
      if (number >= 0 && number < requests) ++answers[static_cast<size_t>(number)];
      ++received;
      qlxFreeBuffer(client, &msg.MsgBuffer);
      qlxCloseHandle(client, &theme);
    }
    return qlxCommit(client, &sync) == 1;
  }

  void killOne(int done) {
    const size_t wanted = done >= kills / 3 && done < 2 * kills / 3 ? 2 : 1;
    while (workers.size() < wanted) workers.push_back(spawnWorker());
    const size_t victim = random() % workers.size();
    kill(workers[victim], SIGKILL);
    waitpid(workers[victim], nullptr, 0);
    workers[victim] = spawnWorker();
    while (workers.size() > wanted) {
      kill(workers.back(), SIGKILL);
      waitpid(workers.back(), nullptr, 0);
      workers.pop_back();
    }
  }

  bool run();
  int verdict();
};

bool Soak::run() {
  client = connectAs("C", false);
  if (!client) return false;
  answers.assign(static_cast<size_t>(requests), 0);
  workers.push_back(spawnWorker());
  int done = 0;
  auto nextKill = Clock::now();
  while (done < kills) {
    if (Clock::now() >= nextKill) {
      killOne(done++);
      nextKill = Clock::now() + std::chrono::microseconds(2000 + random() % 15000);
    }
    if (!sendSome() || !receiveSome(1)) return false;
  }
  // The last worker lives: everything still outstanding must come back.
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (received < requests && Clock::now() < deadline)
    if (!sendSome() || !receiveSome(200)) return false;
  receiveSome(500);  // a duplicate would arrive now
  for (pid_t pid : workers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return true;
}

int Soak::verdict() {
  int lost = 0, duplicated = 0;
  for (int n : answers) {
    if (n == 0) ++lost;
    if (n > 1) duplicated += n - 1;
  }
  std::printf("soak: %d requests, %d kills, %d answered, %d lost, %d duplicated (seed %u)\n",
              requests, kills, received, lost, duplicated, seed);
  return lost == 0 && duplicated == 0 && received == requests ? 0 : 1;
}

bool makeHome(std::string& home) {
  char pattern[] = "/tmp/qlxsoak.XXXXXX";
  if (!mkdtemp(pattern)) return false;
  home = pattern;
  setenv("QLX_HOME", home.c_str(), 1);
  qlx::Store store;
  std::string error;
  if (!store.open(error)) {
    std::fprintf(stderr, "qlx_soak: %s\n", error.c_str());
    return false;
  }
  return store.exec(
      "INSERT INTO element (name) VALUES ('E'); INSERT INTO client (name) VALUES ('C'); "
      "INSERT INTO service VALUES ('S'); INSERT INTO hop VALUES ('S', 0, 1, 'E'), "
      "('S', 1, 100, '')");
}

bool parse(int argc, char** argv, Soak& soak) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (value <= 0) return false;
    if (std::strcmp(argv[i], "--kills") == 0)
      soak.kills = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--requests") == 0)
      soak.requests = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--seed") == 0)
      soak.seed = static_cast<unsigned>(value);
    else
      return false;
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Soak soak;
  if (!parse(argc, argv, soak)) {
    std::fprintf(stderr, "usage: qlx_soak [--kills N] [--requests N] [--seed N]\n");
    return 2;
  }
  soak.random.seed(soak.seed);
  std::string home;
  if (!makeHome(home)) return 1;
  const bool ran = soak.run();
  if (!ran) std::fprintf(stderr, "qlx_soak: the client failed\n");
  const int status = ran ? soak.verdict() : 1;
  if (status == 0) std::system(("rm -rf '" + home + "'").c_str());
  else std::fprintf(stderr, "qlx_soak: the broker home is kept in %s\n", home.c_str());
  return status;
}
