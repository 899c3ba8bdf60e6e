// Soak of the broker's units of work: numbered requests go through element E while its
// worker processes are killed with SIGKILL at random moments (inside a get, between get and
// commit, inside a commit); for the middle third of the kills two workers compete. At the
// end every request must have been answered exactly once and no message may be left,
// neither on a queue nor claimed.
//
//   qlx_soak [--kills N] [--requests N] [--seed N] [--restarts N] [--gap MILLIS]
//            (defaults: 100 kills, 2,000 requests, no restarts, kills 2 to 17 ms apart;
//             a store whose connections take longer to make needs a longer --gap, or
//             most kills land before a worker has connected)
//
// The store is the broker address of the environment (QLX_BROKER, else a new home folder).
// With --restarts the database server is crashed and restarted N times, spread over the
// kills, by the shell command in QLX_SOAK_RESTART (e.g. `scripts/pg.sh restart DIR`); the
// client runs it between its own calls, so that only the workers see their calls cut.
//
// Exit status 0 when nothing was lost or duplicated, 1 otherwise, 2 for a usage error.
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "broker_store.h"
#include "directory_model.h"
#include "qlx.h"

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

int32_t lastReason() {
  QLXERROR error{};
  return qlxGetLastError(&error) && (error.Flags & kQlxErrorReason) ? error.Reason.Code : 0;
}

// A worker: serves E forever, pausing now and then between get and put or put and commit
// so that kills land there as well as inside the calls. When the store fails for longer
// than a server would wait (the database is down) it ends with status 5 and the soak starts
// another.
[[noreturn]] void workerLoop(unsigned seed) {
  QLXHANDLE e = connectAs("E", true);
  if (!e) _exit(3);
  std::mt19937 random(seed);
  QLXSYNC sync = localSync();
  auto failingSince = Clock::time_point::max();
  for (;;) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = 0x2148;
    get.Wait = 200;
    QLXHANDLE theme = 0;
    if (!qlxGetRequest(e, &msg, &get, &sync, &theme)) {
      constexpr int32_t kNoMessage = 20;
      if (lastReason() == kNoMessage) {
        failingSince = Clock::time_point::max();
      } else {
        failingSince = std::min(failingSince, Clock::now());
        if (Clock::now() - failingSince > std::chrono::seconds(5)) _exit(5);
        usleep(20000);
      }
      continue;
    }
    failingSince = Clock::time_point::max();
    if (random() % 4 == 0) usleep(random() % 2000);
    QLXPUTOPT put = kQlxPutOptDefault;
    const bool put_ok = qlxPutResponse(e, &msg, &put, &sync, &theme);
    if (put_ok && random() % 4 == 0) usleep(random() % 2000);
    if (!put_ok || !qlxCommit(e, &sync)) qlxRollback(e, &sync);
    qlxFreeBuffer(e, &msg.MsgBuffer);
    qlxCloseHandle(e, &theme);
  }
}

struct Soak {
  int kills = 100;
  int requests = 2000;
  int restarts = 0;
  int gap = 15;  // longest pause between kills, milliseconds
  unsigned seed = 1;
  std::mt19937 random;
  QLXHANDLE client = 0;
  int sent = 0;
  int received = 0;
  int restarted = 0;
  int workerExits = 0;  // workers that ended by themselves (the store was down)
  int retries = 0;      // client units retried after a store failure
  std::vector<int> answers;  // responses per request number
  std::vector<pid_t> workers;

  pid_t spawnWorker() {
    const unsigned workerSeed = static_cast<unsigned>(random());
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // no worker outlives a soak that was stopped
      workerLoop(workerSeed);
    }
    return pid;
  }

  // Replaces the workers that ended by themselves.
  void reapWorkers() {
    for (pid_t& pid : workers)
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        ++workerExits;
        pid = spawnWorker();
      }
  }

  // One unit of requests; on failure it is rolled back and `sent` is as before, so that
  // the same numbers go again.
  bool sendSome() {
    QLXSERVICE svc = kQlxServiceDefault;
    std::strcpy(svc.Name, "S");
    QLXSYNC sync = localSync();
    const int before = sent;
    bool ok = true;
    for (; ok && sent < requests && sent - received < kOutstanding; ++sent) {
      std::string body = std::to_string(sent);
      QLXMSG msg = kQlxMsgDefault;
      msg.MsgLength = static_cast<uint32_t>(body.size());
      msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, body.data()};
      QLXHANDLE theme = 0;
      ok = qlxPutRequest(client, &svc, &msg, nullptr, &sync, &theme) == 1;
      qlxCloseHandle(client, &theme);
    }
    if (sent == before || (ok && qlxCommit(client, &sync) == 1)) return true;
    qlxRollback(client, &sync);
    sent = before;
    return false;
  }

  // Takes the responses there are (waiting up to `waitMillis` for the first) in one unit;
  // they count once it committed.
  bool receiveSome(int32_t waitMillis) {
    QLXSYNC sync = localSync();
    std::vector<int> numbers;
    for (;;) {
      QLXMSG msg = kQlxMsgDefault;
      QLXGETOPT get = kQlxGetOptDefault;
      get.Options = waitMillis > 0 ? 0x128 : 0x120;
      get.Wait = waitMillis;
      QLXHANDLE theme = 0;
      if (!qlxGetResponse(client, &msg, &get, &sync, &theme)) break;
      waitMillis = 0;
      const std::string body(static_cast<const char*>(msg.MsgBuffer.Data), msg.MsgLength);
      numbers.push_back(std::atoi(body.c_str()));
      qlxFreeBuffer(client, &msg.MsgBuffer);
      qlxCloseHandle(client, &theme);
    }
    constexpr int32_t kNoMessage = 20;
    if (lastReason() != kNoMessage || qlxCommit(client, &sync) != 1) {
      qlxRollback(client, &sync);
      return false;
    }
    for (int number : numbers) {
      if (number >= 0 && number < requests) ++answers[static_cast<size_t>(number)];
      ++received;
    }
    return true;
  }

  // A round of the client; a failed one is tried again for a while (the database may be
  // coming back).
  bool round(int32_t waitMillis) {
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    while (!sendSome() || !receiveSome(waitMillis)) {
      ++retries;
      if (Clock::now() > giveUp) {
        QLXERROR error{};
        qlxGetLastError(&error);
        std::fprintf(stderr, "qlx_soak: the client's last failure: reason %d.%d\n",
                     error.Reason.Code, error.SubReason.Code);
        return false;
      }
      usleep(50000);
    }
    return true;
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

  // Crashes and restarts the database server after kill `done` when a restart is due.
  bool maybeRestart(int done) {
    if (restarted >= restarts || done < (restarted + 1) * kills / (restarts + 1)) return true;
    ++restarted;
    const char* command = std::getenv("QLX_SOAK_RESTART");
    const int status = std::system(command);
    if (status != 0) std::fprintf(stderr, "qlx_soak: \"%s\" failed (%d)\n", command, status);
    std::fprintf(stderr, "qlx_soak: restart %d after kill %d (%d sent, %d answered)\n",
                 restarted, done, sent, received);
    return status == 0;
  }

  bool run();
  int leftOnQueues();
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
      if (!maybeRestart(done)) return false;
      nextKill = Clock::now() + std::chrono::microseconds(2000 + random() % (gap * 1000));
    }
    reapWorkers();
    if (!round(1)) return false;
  }
  // The last worker lives: everything still outstanding must come back.
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (received < requests && Clock::now() < deadline) {
    reapWorkers();
    if (!round(200)) return false;
  }
  round(500);  // a duplicate would arrive now
  for (pid_t pid : workers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return true;
}

// Messages still on a queue or claimed once the ended workers are recovered; -1 when the
// store cannot tell.
int Soak::leftOnQueues() {
  std::unique_ptr<qlx::BrokerStore> store = qlx::makeBrokerStore();
  std::string error;
  std::vector<qlx::QueueInfo> queues;
  std::vector<std::string> returned;
  if (!store->open(error) || store->recoverEnded(returned) < 0 ||
      !store->listQueues(queues, error)) {
    std::fprintf(stderr, "qlx_soak: %s\n", error.c_str());
    return -1;
  }
  int64_t left = 0;
  for (const qlx::QueueInfo& queue : queues) {
    if (queue.depth == 0 && queue.inFlight == 0) continue;
    std::fprintf(stderr, "qlx_soak: %s holds %lld, %lld claimed\n", queue.queue.c_str(),
                 static_cast<long long>(queue.depth), static_cast<long long>(queue.inFlight));
    left += queue.depth + queue.inFlight;
  }
  return static_cast<int>(left);
}

int Soak::verdict() {
  int lost = 0, duplicated = 0;
  for (int n : answers) {
    if (n == 0) ++lost;
    if (n > 1) duplicated += n - 1;
  }
  const int left = leftOnQueues();
  std::printf(
      "soak: %d requests, %d kills, %d restarts, %d answered, %d lost, %d duplicated, "
      "%d left (%d workers ended by a store failure, %d client retries; seed %u)\n",
      requests, kills, restarted, received, lost, duplicated, left, workerExits, retries, seed);
  return lost == 0 && duplicated == 0 && left == 0 && received == requests ? 0 : 1;
}

// The directory the soak needs, in place of whatever the store held; no message left.
bool prepareStore() {
  std::unique_ptr<qlx::BrokerStore> store = qlx::makeBrokerStore();
  std::string error;
  const bool ok =
      store->open(error) && store->resetRuntime(error) &&
      store->editDirectory(
          [](qlx::DirectoryModel& model, std::string&) {
            model = qlx::DirectoryModel{};
            model.elements.emplace_back().name = "E";
            model.clients.emplace_back().name = "C";
            model.services.push_back(qlx::ServiceDef{"S", {{1, "E"}, {100, ""}}});
            return true;
          },
          error);
  if (!ok) std::fprintf(stderr, "qlx_soak: %s\n", error.c_str());
  return ok;
}

bool makeHome(std::string& home) {
  char pattern[] = "/tmp/qlxsoak.XXXXXX";
  if (!mkdtemp(pattern)) return false;
  home = pattern;
  setenv("QLX_HOME", home.c_str(), 1);
  return prepareStore();
}

bool parse(int argc, char** argv, Soak& soak) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const long value = std::strtol(argv[i + 1], nullptr, 10);
    if (value < 0 || (value == 0 && std::strcmp(argv[i], "--restarts") != 0)) return false;
    if (std::strcmp(argv[i], "--kills") == 0)
      soak.kills = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--requests") == 0)
      soak.requests = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--seed") == 0)
      soak.seed = static_cast<unsigned>(value);
    else if (std::strcmp(argv[i], "--gap") == 0)
      soak.gap = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--restarts") == 0)
      soak.restarts = static_cast<int>(value);
    else
      return false;
  }
  const char* restart = std::getenv("QLX_SOAK_RESTART");
  if (soak.restarts > 0 && (!restart || !*restart)) return false;
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Soak soak;
  if (!parse(argc, argv, soak)) {
    std::fprintf(stderr,
                 "usage: qlx_soak [--kills N] [--requests N] [--seed N] [--restarts N] [--gap MILLIS]\n"
                 "       (--restarts needs QLX_SOAK_RESTART, the command that restarts the "
                 "database)\n");
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
