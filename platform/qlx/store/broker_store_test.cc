// The promises every store keeps, run through the C interface on each store: the embedded
// SQLite store in a fresh home, and the PostgreSQL store on the throwaway cluster that
// ctest starts (scripts/pg.sh, the qlx_pg fixture). Without that cluster the PostgreSQL
// cases report themselves skipped with the reason.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "admin.h"
#include "broker_store.h"
#include "errorqueue.h"
#include "errors.h"
#include "pg_connection.h"
#include "pg_schema.h"
#include "pg_statements.h"
#include "pg_wait.h"
#include "qlx.h"
#include "testing/temp_home.h"

namespace qlx {
namespace {

template <size_t N>
void setName(char (&field)[N], const std::string& name) {
  std::memset(field, 0, N);
  std::memcpy(field, name.data(), std::min(name.size(), N));
}

int32_t lastReason() {
  QLXERROR e{};
  qlxGetLastError(&e);
  return (e.Flags & kQlxErrorReason) ? e.Reason.Code : -1;
}

QLXSYNC unit() {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  return sync;
}

DirectoryModel testDirectory() {
  DirectoryModel model;
  model.elements = {{"E", {"*"}, 1, std::nullopt}, {"F", {}, 1, std::nullopt}};
  model.clients = {{"C1", {}}};
  model.services = {{"ECHO", {{1, "E"}, {100, ""}}}};
  model.dictionaries = {{"D", {{"k", "v"}}}};
  return model;
}

// The address of the cluster ctest started, or empty with `why` set.
std::string postgresAddress(std::string& why) {
  const char* dir = std::getenv("QLX_TEST_PG_DIR");
  if (!dir || !*dir) {
    why = "no PostgreSQL cluster: run through ctest (fixture qlx_pg starts one with "
          "scripts/pg.sh) or set QLX_TEST_PG_DIR";
    return std::string();
  }
  std::ifstream env(std::string(dir) + "/env");
  for (std::string line; std::getline(env, line);)
    if (line.rfind("QLX_BROKER=", 0) == 0) return line.substr(11);
  std::ifstream reason(std::string(dir) + "/unavailable");
  std::getline(reason, why);
  why = "no PostgreSQL cluster could be started: " + (why.empty() ? "see pg.sh" : why);
  return std::string();
}

// The notices of one queue's channel, on a session of its own. Whether a commit's notice
// came is read against a later notice of another channel, as notices arrive in commit
// order.
class QueueNotices {
 public:
  explicit QueueNotices(const std::string& queue) : conn_(PQconnectdb(std::getenv("QLX_BROKER"))) {
    const char* values[] = {queue.c_str()};
    PGresult* md5 = PQexecParams(conn_, "SELECT md5($1)", 1, nullptr, values, nullptr, nullptr, 0);
    if (PQresultStatus(md5) == PGRES_TUPLES_OK && PQntuples(md5) == 1)
      channel_ = std::string("qlx_") + PQgetvalue(md5, 0, 0);
    PQclear(md5);
    PQclear(PQexec(conn_, ("LISTEN " + channel_ + "; LISTEN qlx_test_mark").c_str()));
  }
  ~QueueNotices() { PQfinish(conn_); }
  QueueNotices(const QueueNotices&) = delete;
  QueueNotices& operator=(const QueueNotices&) = delete;

  // Whether the queue's channel had a notice since the last call.
  bool came() {
    PQclear(PQexec(conn_, "NOTIFY qlx_test_mark"));
    bool woken = false;
    for (int tries = 0; tries < 500; ++tries) {
      PQconsumeInput(conn_);
      while (PGnotify* n = PQnotifies(conn_)) {
        const std::string name = n->relname;
        PQfreemem(n);
        if (name == "qlx_test_mark") return woken;
        woken = woken || name == channel_;
      }
      usleep(10000);
    }
    ADD_FAILURE() << "the mark never came";
    return woken;
  }

 private:
  PGconn* conn_;
  std::string channel_ = "qlx_unnamed";
};

class StoreContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zvr::testing::makeTempHome("qlxstore.", home_));
    unsetenv("QLX_BROKER");
    if (std::string(GetParam()) == "postgres") {
      std::string why;
      const std::string address = postgresAddress(why);
      if (address.empty()) GTEST_SKIP() << why;
      setenv("QLX_BROKER", address.c_str(), 1);
    }
    store_ = makeBrokerStore();
    std::string error;
    ASSERT_TRUE(store_->open(error)) << error;
    ASSERT_TRUE(store_->resetRuntime(error)) << error;
    ASSERT_TRUE(store_->clearFaults(error)) << error;
    ASSERT_TRUE(store_->editDirectory(
        [](DirectoryModel& model, std::string&) { return model = testDirectory(), true; },
        error))
        << error;
  }

  void TearDown() override {
    for (QLXHANDLE& h : open_)
      if (h) qlxTerminate(&h);
    store_.reset();
    unsetenv("QLX_BROKER");
    if (!zvr::testing::removeTempHome(home_)) ADD_FAILURE() << "cannot remove " << home_;
  }

  QLXHANDLE connect(bool element, const std::string& name) {
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, name);
    QLXHANDLE handle = 0;
    void* directory = nullptr;
    unsigned char work[852] = {};
    const int ok = element ? qlxSPIInitialize(&addr, 1, &handle, &directory, work)
                           : qlxClientInitialize(&addr, &handle);
    EXPECT_EQ(ok, 1) << lastReason();
    open_.push_back(handle);
    return handle;
  }

  void send(QLXHANDLE client, const std::string& body) {
    QLXSERVICE svc = kQlxServiceDefault;
    setName(svc.Name, "ECHO");
    QLXMSG msg = kQlxMsgDefault;
    msg.MsgLength = static_cast<uint32_t>(body.size());
    msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = unit();
    QLXHANDLE theme = 0;
    ASSERT_EQ(qlxPutRequest(client, &svc, &msg, &put, &sync, &theme), 1) << lastReason();
    ASSERT_EQ(qlxCommit(client, &sync), 1) << lastReason();
  }

  // A claimed get (0 when none came); the body and backout count of what came.
  int get(QLXHANDLE element, std::string& body, int32_t& backout, int32_t waitMillis = 0) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT options = kQlxGetOptDefault;
    options.Options = 0x2140 | (waitMillis ? uint32_t{kQlxGetWait} : 0u);
    options.Wait = waitMillis;
    QLXSYNC sync = unit();
    QLXHANDLE theme = 0;
    if (!qlxGetRequest(element, &msg, &options, &sync, &theme)) return 0;
    body.assign(static_cast<const char*>(msg.MsgBuffer.Data), msg.MsgLength);
    backout = msg.BackoutCount;
    qlxFreeBuffer(element, &msg.MsgBuffer);
    if (msg.TagBuffer.Data) qlxFreeBuffer(element, &msg.TagBuffer);
    return 1;
  }

  int64_t depth(const std::string& queue) {
    std::vector<QueueInfo> list;
    std::string error;
    EXPECT_TRUE(listQueues(*store_, list, error)) << error;
    for (const QueueInfo& q : list)
      if (q.queue == queue) return q.depth + q.inFlight;
    return 0;
  }

  // The counts of `queue` as the store reads them now (zeros when none).
  QueueCounters counted(const std::string& queue) {
    std::vector<QueueCounters> all;
    std::string error;
    EXPECT_TRUE(store_->metrics().read(all, error)) << error;
    for (QueueCounters& q : all)
      if (q.queue == queue) return q;
    QueueCounters none;
    none.queue = queue;
    return none;
  }

  // Runs `sql` on the PostgreSQL database of the test as the broker's role: the first
  // value of the result, "" when none, or the server's message on failure.
  static std::string adminSql(const char* sql) {
    PGconn* admin = PQconnectdb(std::getenv("QLX_BROKER"));
    PGresult* r = PQexec(admin, sql);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    std::string out = !ok ? PQerrorMessage(admin) : PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    PQfinish(admin);
    return out;
  }

  // A client process that sends `n` requests and ends as a program does (exit, not
  // _exit); its pid.
  pid_t sender(int n) {
    const pid_t child = fork();
    if (child != 0) return child;
    QLXHANDLE c = connect(false, "C1");
    for (int i = 0; i < n; ++i) send(c, "counted");
    qlxTerminate(&c);
    std::exit(::testing::Test::HasFailure() ? 1 : 0);
  }

  std::string home_;
  std::unique_ptr<BrokerStore> store_;
  std::vector<QLXHANDLE> open_;
};

TEST_P(StoreContract, RollbackRaisesTheBackoutAndKeepsTheOrder) {
  QLXHANDLE c = connect(false, "C1"), e = connect(true, "E");
  send(c, "first");
  send(c, "second");
  std::string body;
  int32_t backout = -1;
  ASSERT_EQ(get(e, body, backout), 1);
  EXPECT_EQ(body, "first");
  EXPECT_EQ(backout, 0);
  QLXSYNC sync = unit();
  ASSERT_EQ(qlxRollback(e, &sync), 1) << lastReason();
  ASSERT_EQ(get(e, body, backout), 1);
  EXPECT_EQ(body, "first");  // back at the front
  EXPECT_EQ(backout, 1);
  ASSERT_EQ(qlxCommit(e, &sync), 1) << lastReason();
  EXPECT_EQ(depth("element:E"), 1);
}

TEST_P(StoreContract, TwoUnitsNeverHoldOneMessage) {
  QLXHANDLE c = connect(false, "C1"), e1 = connect(true, "E"), e2 = connect(true, "E");
  for (int i = 0; i < 10; ++i) send(c, "m" + std::to_string(i));
  std::set<std::string> seen;
  std::string body;
  int32_t backout = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(get(e1, body, backout), 1);
    EXPECT_TRUE(seen.insert(body).second) << body;
    ASSERT_EQ(get(e2, body, backout), 1);
    EXPECT_TRUE(seen.insert(body).second) << body;
  }
  EXPECT_EQ(get(e1, body, backout), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  QLXSYNC sync = unit();
  ASSERT_EQ(qlxCommit(e1, &sync), 1);
  ASSERT_EQ(qlxCommit(e2, &sync), 1);
  EXPECT_EQ(depth("element:E"), 0);
}

// A process that dies holding a message gives it back with the backout count raised.
TEST_P(StoreContract, ADeadHoldersMessageComesBackCounted) {
  QLXHANDLE c = connect(false, "C1");
  send(c, "orphan");
  const pid_t child = fork();
  if (child == 0) {
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, "E");
    QLXHANDLE e = 0;
    void* directory = nullptr;
    unsigned char work[852] = {};
    std::string body;
    int32_t backout = 0;
    _exit(qlxSPIInitialize(&addr, 1, &e, &directory, work) && get(e, body, backout) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  QLXHANDLE e = connect(true, "E");  // connecting looks for ended connections
  std::string body;
  int32_t backout = -1;
  ASSERT_EQ(get(e, body, backout, 5000), 1) << lastReason();
  EXPECT_EQ(body, "orphan");
  EXPECT_EQ(backout, 1);
}

// A commit in another process ends a wait; a signal ends it at once.
TEST_P(StoreContract, WaitsEndOnACommitAndOnASignal) {
  QLXHANDLE e = connect(true, "E");
  const pid_t child = fork();
  if (child == 0) {
    usleep(300 * 1000);
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, "C1");
    QLXHANDLE c = 0;
    if (!qlxClientInitialize(&addr, &c)) _exit(1);
    QLXSERVICE svc = kQlxServiceDefault;
    setName(svc.Name, "ECHO");
    QLXMSG msg = kQlxMsgDefault;
    char text[] = "late";
    msg.MsgLength = 4;
    msg.MsgBuffer = QLXBUFFER{0, 4, text};
    QLXSYNC sync = unit();
    QLXHANDLE theme = 0;
    _exit(qlxPutRequest(c, &svc, &msg, nullptr, &sync, &theme) && qlxCommit(c, &sync) ? 0 : 1);
  }
  std::string body;
  int32_t backout = 0;
  const int64_t start = nowMillis();
  EXPECT_EQ(get(e, body, backout, 20000), 1) << lastReason();
  EXPECT_LT(nowMillis() - start, 10000);
  int status = 0;
  waitpid(child, &status, 0);
  QLXSYNC sync = unit();
  qlxCommit(e, &sync);

  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, nullptr);
  alarm(1);
  EXPECT_EQ(get(e, body, backout, 20000), 0);
  EXPECT_EQ(lastReason(), kReasonInterrupted);
  signal(SIGALRM, SIG_DFL);
}

TEST_P(StoreContract, FaultsErrorQueuesAndTheDirectory) {
  Fault fault;
  fault.call = "getrequest";
  fault.reason = 23;
  fault.remaining = 1;
  std::string error;
  ASSERT_TRUE(store_->addFault(fault, error)) << error;
  QLXHANDLE e = connect(true, "E");
  std::string body;
  int32_t backout = 0;
  EXPECT_EQ(get(e, body, backout), 0);
  EXPECT_EQ(lastReason(), 23);
  EXPECT_EQ(get(e, body, backout), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);

  MessageRow entry;
  entry.queue = "error:E";
  entry.body = "failed";
  entry.theme.hops = {{1, "E"}, {3, "C1"}};
  entry.error = ErrorInfo{42, 0, 0, "it failed", 1, 1, "E"};
  ASSERT_TRUE(store_->put(entry));
  std::vector<MessageRow> rows;
  ASSERT_TRUE(listErrorEntries(*store_, "E", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].error->text, "it failed");
  EXPECT_EQ(resubmitErrors(*store_, {"E", std::nullopt}, error), 1) << error;
  ASSERT_EQ(get(e, body, backout), 1);
  EXPECT_EQ(body, "failed");

  ASSERT_TRUE(store_->editDirectory(
      [](DirectoryModel& model, std::string&) {
        model.dictionaries[0].pairs.emplace_back("k2", "v2");
        return true;
      },
      error));
  DirectoryModel model;
  ASSERT_TRUE(store_->readDirectory(model, error)) << error;
  EXPECT_EQ(model.dictionaries[0].pairs.size(), 2u);
  std::unique_ptr<qlxDirInterface> directory = store_->directory();
  qlxDictionary dictionary;
  EXPECT_EQ(directory->get(nullptr, "D", qlxEntryDictionary, dictionary, nullptr), 1);
  EXPECT_EQ(directory->get(nullptr, "NONE", qlxEntryDictionary, dictionary, nullptr), 0);
}

// While the server is away a call fails with the storage reason; once it is back the same
// connection and a new one work. Commits are durable here (FULL): a server crash may lose
// unsynced ones.
TEST_P(StoreContract, ALostServerFailsCallsUntilItIsBack) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "only a server can go away";
  setenv("QLX_SYNC", "FULL", 1);
  QLXHANDLE c = connect(false, "C1"), e = connect(true, "E");
  send(c, "kept");
  const std::string server = std::string(QLX_PG_SCRIPT) + " %s '" +
                             std::getenv("QLX_TEST_PG_DIR") + "'";
  char command[512];
  std::snprintf(command, sizeof command, server.c_str(), "down");
  ASSERT_EQ(std::system(command), 0);
  std::string body;
  int32_t backout = 0;
  EXPECT_EQ(get(e, body, backout), 0);
  EXPECT_EQ(lastReason(), kReasonStorage);
  QLXERROR error{};
  qlxGetLastError(&error);
  EXPECT_EQ(std::string(error.Reason.Text).find("broker:"), std::string::npos)
      << "the password shows: " << error.Reason.Text;
  std::snprintf(command, sizeof command, server.c_str(), "up");
  ASSERT_EQ(std::system(command), 0);
  QLXHANDLE again = connect(true, "E");
  ASSERT_EQ(get(again, body, backout), 1) << lastReason();
  EXPECT_EQ(body, "kept");
  EXPECT_EQ(get(e, body, backout), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);  // the first connection works again too
  unsetenv("QLX_SYNC");
}

// A fault added while a connection is open reaches that connection's next calls (on the
// server through a notice, which may take a moment to arrive), once, and the calls after
// it run as before.
TEST_P(StoreContract, AFaultAddedLaterReachesAnOpenConnection) {
  QLXHANDLE c = connect(false, "C1"), e = connect(true, "E");
  std::string body;
  int32_t backout = 0;
  EXPECT_EQ(get(e, body, backout), 0);  // the faults are known (none) from here on
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  const struct {
    const char* call;
    int32_t reason;
  } cases[] = {{"getrequest", 31}, {"getrequest", 32}};
  for (const auto& row : cases) {
    Fault fault;
    fault.call = row.call;
    fault.reason = row.reason;
    fault.remaining = 1;
    std::string error;
    ASSERT_TRUE(store_->addFault(fault, error)) << error;
    int failed = 0;
    for (int tries = 0; tries < 200 && failed == 0; ++tries) {
      if (get(e, body, backout) == 0 && lastReason() == row.reason) ++failed;
      else usleep(10000);
    }
    EXPECT_EQ(failed, 1) << row.reason;
    EXPECT_EQ(get(e, body, backout), 0) << row.reason;
    EXPECT_EQ(lastReason(), kReasonNoMessage) << "the fault fired twice: " << row.reason;
  }
  send(c, "after");
  ASSERT_EQ(get(e, body, backout), 1) << lastReason();
  EXPECT_EQ(body, "after");
}

// What one element cycle (claimed get, response, commit, buffer and theme released) costs
// on a server once its statements are prepared: BEGIN with the locking read, and the
// removal, the put, COMMIT and the wake together. The fewest of a few cycles, as a
// recovery sweep (once a second) may fall into one.
TEST_P(StoreContract, ACycleCostsTwoRoundTrips) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "round trips are a server's";
  QLXHANDLE c = connect(false, "C1"), e = connect(true, "E");
  for (int i = 0; i < 4; ++i) send(c, "request " + std::to_string(i));
  int64_t fewest = 1000;
  for (int i = 0; i < 4; ++i) {
    const int64_t before = pg::roundTrips();
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT options = kQlxGetOptDefault;
    options.Options = 0x2140;
    QLXSYNC sync = unit();
    QLXHANDLE theme = 0;
    ASSERT_EQ(qlxGetRequest(e, &msg, &options, &sync, &theme), 1) << lastReason();
    QLXPUTOPT put = kQlxPutOptDefault;
    ASSERT_EQ(qlxPutResponse(e, &msg, &put, &sync, &theme), 1) << lastReason();
    ASSERT_EQ(qlxCommit(e, &sync), 1) << lastReason();
    qlxFreeBuffer(e, &msg.MsgBuffer);
    qlxCloseHandle(e, &theme);
    if (i > 0) fewest = std::min(fewest, pg::roundTrips() - before);
  }
  EXPECT_LE(fewest, 2);
}

// Every connection looks for ended ones about once a second: while none has ended the
// look is one round trip, and a connection that ends is still found by the next one.
TEST_P(StoreContract, TheLookForEndedConnectionsIsOneRoundTripUntilOneEnds) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "round trips are a server's";
  connect(true, "E");
  std::vector<std::string> returned;
  store_->recoverEnded(returned);  // the session prepares the look
  const int64_t before = pg::roundTrips();
  EXPECT_EQ(store_->recoverEnded(returned), 0) << store_->errorText();
  EXPECT_EQ(pg::roundTrips() - before, 1);
  const pid_t child = fork();
  if (child == 0) {
    connect(true, "E");
    _exit(0);  // no goodbye: the server sees the session end
  }
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  int64_t ended = 0;
  for (int tries = 0; tries < 500 && ended == 0; ++tries, usleep(10000))
    ended = store_->recoverEnded(returned);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(store_->recoverEnded(returned), 0);
}

// The server plans a cycle's statements only at their first runs in a session (a plan
// made at every run cost the server more than the run). A reconnected session is set up
// as the first, and each session commits as QLX_SYNC asks.
TEST_P(StoreContract, ACyclesStatementsArePlannedOnceAndCommitAsAsked) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "plans are a server's";
  send(connect(false, "C1"), "planned");
  const struct {
    const char* sync;
    bool reconnected;
    const char* durable;
  } sessions[] = {{"FULL", false, "on"}, {"NORMAL", true, "off"}};
  for (const auto& session : sessions) {
    SCOPED_TRACE(session.sync);
    setenv("QLX_SYNC", session.sync, 1);
    pg::Connection conn;
    std::string error;
    ASSERT_TRUE(conn.open(std::getenv("QLX_BROKER"), error)) << error;
    if (session.reconnected) {
      ASSERT_TRUE(conn.reconnect()) << conn.errorText();
    }
    for (int run = 0; run < 10; ++run) {
      ASSERT_TRUE(conn.exec("BEGIN"));
      pg::Result claimed = conn.run(pg::kClaimFirst, pg::Params().add("element:E"));
      ASSERT_EQ(claimed.rows(), 1) << conn.errorText();
      ASSERT_TRUE(conn.run(pg::kRemoveGotOne, pg::Params().add(claimed.integer(0, 0))).ok())
          << conn.errorText();
      ASSERT_TRUE(conn.exec("ROLLBACK"));
    }
    for (const char* statement : {pg::kClaimFirst, pg::kRemoveGotOne}) {
      pg::Result plans = conn.run(
          "SELECT generic_plans, current_setting('synchronous_commit') FROM "
          "pg_prepared_statements WHERE statement = $1",
          pg::Params().add(statement));
      ASSERT_EQ(plans.rows(), 1) << statement;
      EXPECT_GE(plans.integer(0, 0), 5) << statement;
      EXPECT_EQ(plans.text(0, 1), session.durable);
    }
  }
  unsetenv("QLX_SYNC");
}

// A session's plan of the first message of a queue, made while the table was nearly
// empty (a scan of the whole table), serves at most a second once the table has grown:
// the server would keep it until the table's statistics change.
TEST_P(StoreContract, APlanMadeOnANearlyEmptyTableServesAtMostASecond) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "plans are a server's";
  ASSERT_EQ(adminSql("VACUUM ANALYZE message"), "");
  send(connect(false, "C1"), "first");
  pg::Connection conn;
  std::string error;
  ASSERT_TRUE(conn.open(std::getenv("QLX_BROKER"), error)) << error;
  const auto plan = [&conn] {
    EXPECT_EQ(conn.run(pg::kClaimFirst, pg::Params().add("element:E")).rows(), 1)
        << conn.errorText();
    pg::Result name = conn.run("SELECT name FROM pg_prepared_statements WHERE statement = $1",
                               pg::Params().add(pg::kClaimFirst));
    if (name.rows() != 1) return std::string("not prepared");
    pg::Result explained = conn.run(("EXPLAIN EXECUTE " + name.text(0, 0) + "('x')").c_str());
    std::string text;
    for (int row = 0; row < explained.rows(); ++row) text += explained.text(row, 0) + "\n";
    return text;
  };
  for (int run = 0; run < 8; ++run) plan();
  const std::string early = plan();
  if (early.find("Seq Scan") == std::string::npos)
    GTEST_SKIP() << "the server planned the nearly empty table by its index already";
  ASSERT_EQ(adminSql("INSERT INTO message (queue, body) SELECT 'element:F', "
                     "convert_to(repeat('x', 1000), 'UTF8') FROM generate_series(1, 3000)"),
            "");
  usleep(1100000);
  const std::string later = plan();
  EXPECT_NE(later.find("message_queue"), std::string::npos) << later;
}

// A statement that fails inside a unit aborts the server's transaction; the unit's
// rollback must still put the message back counted, and the connection work on.
TEST_P(StoreContract, AUnitAbortedByAFailedStatementRollsBackCounted) {
  if (std::string(GetParam()) != "postgres")
    GTEST_SKIP() << "only a server aborts a transaction on a failed statement";
  QLXHANDLE c = connect(false, "C1");
  send(c, "one");
  std::unique_ptr<BrokerStore> own = makeBrokerStore();
  std::string error;
  ASSERT_TRUE(own->open(error)) << error;
  UnitOfWork unit;
  Match match;
  match.held = &unit.claims;
  MessageRow row;
  ASSERT_EQ(own->take("element:E", match, Take::kClaim, row), 1);
  ASSERT_TRUE(own->keepClaim(0, row.id));
  unit.claims.push_back(Claim{row.id, row.queue});
  MessageRow bad = row;
  bad.queue = "element:\xff";  // not UTF-8: the server refuses the insert
  unit.staged.push_back(bad);
  EXPECT_EQ(own->commit(unit), 0);
  ASSERT_TRUE(own->rollback(unit)) << own->errorText();
  UnitOfWork next;
  match.held = &next.claims;
  MessageRow again;
  ASSERT_EQ(own->take("element:E", match, Take::kClaim, again), 1) << own->errorText();
  EXPECT_EQ(again.body, "one");
  EXPECT_EQ(again.backout, 1);
  next.claims.push_back(Claim{again.id, again.queue});
  EXPECT_EQ(own->commit(next), 1) << own->errorText();
  EXPECT_EQ(depth("element:E"), 0);
}

// Each call counts the same on every store; the counts of processes working at once add up
// exactly and outlive the processes. The database keeps counts across tests: differences
// are compared.
TEST_P(StoreContract, CountsOfProcessesAddUpAndOutliveThem) {
  const QueueCounters before = counted("element:E"), clientBefore = counted("client:C1");
  constexpr int kSenders = 3, kSends = 4;
  std::vector<pid_t> senders;
  for (int i = 0; i < kSenders; ++i) senders.push_back(sender(kSends));
  for (pid_t child : senders) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  QLXHANDLE e = connect(true, "E");
  std::string body;
  int32_t backout = 0;
  QLXSYNC sync = unit();
  ASSERT_EQ(get(e, body, backout), 1);
  ASSERT_EQ(qlxRollback(e, &sync), 1) << lastReason();
  ASSERT_EQ(get(e, body, backout), 1);
  ASSERT_EQ(get(e, body, backout), 1);
  ASSERT_EQ(qlxCommit(e, &sync), 1) << lastReason();
  const QueueCounters after = counted("element:E"), clientAfter = counted("client:C1");
  const struct {
    Counter counter;
    uint64_t added;
  } cases[] = {{kCountPut, kSenders * kSends}, {kCountGot, 3}, {kCountCommitted, 1},
               {kCountRolledBack, 1}, {kCountBackout, 1}};
  for (const auto& c : cases)
    EXPECT_EQ(after.counts[c.counter] - before.counts[c.counter], c.added) << c.counter;
  EXPECT_EQ(after.processed() - before.processed(), 1u);
  EXPECT_GE(after.processingMicros, before.processingMicros);
  EXPECT_EQ(clientAfter.counts[kCountCommitted] - clientBefore.counts[kCountCommitted],
            uint64_t{kSenders * kSends});  // each send's own unit
  EXPECT_EQ(depth("element:E"), kSenders * kSends - 2);
}

TEST_P(StoreContract, CountersOffKeepNothingAndSayWhy) {
  setenv("QLX_HOME", (home_ + "/off").c_str(), 1);  // the embedded store's counters are per home
  setenv("QLX_METRICS", "off", 1);
  std::unique_ptr<BrokerStore> store = makeBrokerStore();
  std::string error;
  const bool opened = store->open(error);
  store->metrics().add("element:E", kCountPut, 1);
  std::vector<QueueCounters> all;
  const bool read = store->metrics().read(all, error);
  unsetenv("QLX_METRICS");
  ASSERT_TRUE(opened) << error;
  EXPECT_FALSE(read);
  EXPECT_NE(error.find("QLX_METRICS=off"), std::string::npos) << error;
}

// A database made by an earlier broker is upgraded in place by the next broker that opens
// it: its messages stay, counting works, and a unit's inserts no longer call the wake
// trigger (its condition asks the unit's quiet mode).
TEST_P(StoreContract, AnEarlierDatabaseIsUpgradedKeepingItsMessages) {
  if (std::string(GetParam()) != "postgres")
    GTEST_SKIP() << "schema versions are the PostgreSQL store's";
  const struct {
    const char* made;
    const char* downgrade;
  } earlier[] = {
      {"before counters", "DROP TABLE counter; UPDATE qlx_schema SET version = 1"},
      {"with a trigger called for every row",
       "CREATE OR REPLACE TRIGGER message_wake AFTER INSERT OR UPDATE OF queue, seq ON "
       "message FOR EACH ROW EXECUTE FUNCTION qlx_wake(); UPDATE qlx_schema SET version = 2"},
  };
  QLXHANDLE c = connect(false, "C1");
  QLXHANDLE e = connect(true, "E");
  for (const auto& database : earlier) {
    SCOPED_TRACE(database.made);
    send(c, "kept");
    EXPECT_EQ(adminSql(database.downgrade), "");
    std::unique_ptr<BrokerStore> upgraded = makeBrokerStore();
    std::string error;
    ASSERT_TRUE(upgraded->open(error)) << error;
    EXPECT_EQ(adminSql("SELECT version FROM qlx_schema"), std::to_string(pg::kSchemaVersion));
    EXPECT_EQ(adminSql("SELECT tgqual IS NOT NULL FROM pg_trigger WHERE tgname = "
                       "'message_wake'"),
              "t");
    store_ = std::move(upgraded);
    const QueueCounters before = counted("element:E");
    std::string body;
    int32_t backout = 0;
    ASSERT_EQ(get(e, body, backout), 1) << lastReason();
    EXPECT_EQ(body, "kept");
    QLXSYNC sync = unit();
    ASSERT_EQ(qlxCommit(e, &sync), 1) << lastReason();
    EXPECT_EQ(counted("element:E").counts[kCountCommitted] - before.counts[kCountCommitted],
              1u);
  }
}

// Rows written by a broker of the unpacked layout are packed by the upgrade: every
// descriptor and error field reads back as it was, unsigned actions and negative codes
// included, and the unpacked columns are gone.
TEST_P(StoreContract, AnUnpackedMessageTableIsPackedAtUpgrade) {
  if (std::string(GetParam()) != "postgres")
    GTEST_SKIP() << "schema versions are the PostgreSQL store's";
  ASSERT_EQ(adminSql(
                "DELETE FROM message; ALTER TABLE message DROP COLUMN descriptor, DROP COLUMN "
                "error, ADD COLUMN msg_type bigint, ADD COLUMN priority bigint, ADD COLUMN "
                "persistence bigint, ADD COLUMN format bigint, ADD COLUMN feedback bigint, "
                "ADD COLUMN expiry bigint, ADD COLUMN code_page bigint, ADD COLUMN encoding "
                "bigint, ADD COLUMN put_ms bigint, ADD COLUMN position bigint, ADD COLUMN "
                "reason bigint, ADD COLUMN sub_reason bigint, ADD COLUMN call_type bigint, "
                "ADD COLUMN error_text text, ADD COLUMN default_actions bigint, ADD COLUMN "
                "performed_actions bigint, ADD COLUMN reporter text; "
                "INSERT INTO message (queue, backout, msg_type, priority, persistence, format, "
                "feedback, expiry, code_page, encoding, put_sec, put_ms, position, body, "
                "reason, sub_reason, call_type, error_text, default_actions, "
                "performed_actions, reporter) VALUES ('error:E', 1, 8, 5, 1, -2, 0, -1, 1208, "
                "546, 1700000000, 250, 1, 'failed', 2033, -7, 3, 'no map', 1, 4294967295, "
                "'E'), ('element:E', 0, 1, 0, 2, 3, 4, 5, 6, 7, 1700000001, 999, 2147483647, "
                "'fine', NULL, NULL, NULL, NULL, NULL, NULL, NULL); "
                "UPDATE qlx_schema SET version = 3"),
            "");
  std::unique_ptr<BrokerStore> upgraded = makeBrokerStore();
  std::string error;
  ASSERT_TRUE(upgraded->open(error)) << error;
  EXPECT_EQ(adminSql("SELECT version FROM qlx_schema"), std::to_string(pg::kSchemaVersion));
  EXPECT_EQ(adminSql("SELECT count(*) FROM pg_attribute WHERE attrelid = 'message'::regclass "
                     "AND attname = 'msg_type' AND NOT attisdropped"),
            "0");
  std::vector<MessageRow> errors;
  ASSERT_TRUE(upgraded->errorEntries("E", errors, error)) << error;
  ASSERT_EQ(errors.size(), 1u);
  const MessageRow& failed = errors[0];
  EXPECT_EQ(std::make_tuple(failed.msgType, failed.priority, failed.persistence, failed.format,
                            failed.feedback, failed.expiry, failed.codePage, failed.encoding,
                            failed.putSec, failed.putMillis, failed.theme.position, failed.body),
            std::make_tuple(8, 5, 1, -2, 0, -1, 1208, 546, int64_t{1700000000}, int64_t{250}, 1,
                            std::string("failed")));
  ASSERT_TRUE(failed.error.has_value());
  EXPECT_EQ(std::make_tuple(failed.error->reason, failed.error->subReason,
                            failed.error->callType, failed.error->text,
                            failed.error->defaultActions, failed.error->performedActions,
                            failed.error->reporter),
            std::make_tuple(2033, -7, 3, std::string("no map"), 1u, 4294967295u,
                            std::string("E")));
  std::vector<BrowsedMessage> waiting;
  ASSERT_TRUE(upgraded->browse("element:E", waiting, error)) << error;
  ASSERT_EQ(waiting.size(), 1u);
  const MessageRow& fine = waiting[0].row;
  EXPECT_FALSE(fine.error.has_value());
  EXPECT_EQ(std::make_tuple(fine.msgType, fine.encoding, fine.putMillis, fine.theme.position),
            std::make_tuple(1, 7, int64_t{999}, INT32_MAX));
  store_ = std::move(upgraded);
  QLXHANDLE e = connect(true, "E");
  std::string body;
  int32_t backout = 0;
  ASSERT_EQ(get(e, body, backout), 1) << lastReason();
  EXPECT_EQ(body, "fine");
}

// An error entry keeps the exception text and reporter as their bytes came, whether or not
// they are valid in any encoding: the entry is what the operator has left of the request.
TEST_P(StoreContract, AnErrorEntryKeepsTextsOfAnyBytes) {
  MessageRow row;
  row.queue = "error:E";
  row.body = std::string("body\xff", 5);
  ErrorInfo info;
  info.reason = 2033;
  info.text = std::string("bad \xff\xfe\x80 bytes", 14);
  info.reporter = std::string("E\xc3\x28", 3);
  info.performedActions = 0xFFFFFFFFu;
  row.error = info;
  ASSERT_TRUE(store_->put(row)) << store_->errorText();
  std::vector<MessageRow> rows;
  std::string error;
  ASSERT_TRUE(store_->errorEntries("E", rows, error)) << error;
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_TRUE(rows[0].error.has_value());
  EXPECT_EQ(rows[0].error->text, info.text);
  EXPECT_EQ(rows[0].error->reporter, info.reporter);
  EXPECT_EQ(rows[0].error->performedActions, 0xFFFFFFFFu);
  EXPECT_EQ(rows[0].body, row.body);
}

// The rows of sessions that ended are folded into one row per queue by the readers, and
// their counts stay in the sums.
TEST_P(StoreContract, CountsOfEndedSessionsAreFoldedNotLost) {
  if (std::string(GetParam()) != "postgres")
    GTEST_SKIP() << "only the PostgreSQL store keeps a row per writer";
  const QueueCounters before = counted("element:E");
  EXPECT_EQ(adminSql("INSERT INTO counter (writer, queue, put, bucket_3) VALUES "
                     "(-7, 'element:E', 5, 2), (-8, 'element:E', 1, 0)"),
            "");
  const QueueCounters after = counted("element:E");
  EXPECT_EQ(after.counts[kCountPut] - before.counts[kCountPut], 6u);
  EXPECT_EQ(after.buckets[3] - before.buckets[3], 2u);
  EXPECT_EQ(adminSql("SELECT count(*) FROM counter WHERE writer < 0"), "0");
  EXPECT_EQ(counted("element:E").counts[kCountPut], after.counts[kCountPut]);  // folded once
}


// A connection that ends without its process saying goodbye sends the store looking for
// the units it left; what another unit already ended must not be counted again then. Each
// case ends message "m" one way, then a process dies holding nothing and its connection is
// recovered: the count is what that one ending gave, once.
TEST_P(StoreContract, AnEndedConnectionRaisesOnlyWhatItsUnitHeld) {
  enum Ending {
    kDiedHolding,
    kRolledBack,
    kAbortedThenRolledBack,
    kRefusedCommit,
    kCommitted,
    kLetGoThenRolledBack,  // a get that failed after the take, then the unit's rollback
  };
  const struct {
    Ending ending;
    int64_t backout;  // -1: the message is gone
  } cases[] = {{kDiedHolding, 1},   {kRolledBack, 1}, {kAbortedThenRolledBack, 1},
               {kRefusedCommit, 1}, {kCommitted, -1}, {kLetGoThenRolledBack, 0}};
  QLXHANDLE c = connect(false, "C1");
  for (const auto& row : cases) {
    SCOPED_TRACE(row.ending);
    std::string error;
    ASSERT_TRUE(store_->resetRuntime(error)) << error;
    send(c, "m");
    std::unique_ptr<BrokerStore> own = makeBrokerStore();
    int64_t handle = 0;
    ASSERT_TRUE(own->open(error)) << error;
    ASSERT_TRUE(own->attach(1, "E", handle)) << own->errorText();
    UnitOfWork unit;
    Match match;
    match.held = &unit.claims;
    MessageRow taken;
    if (row.ending == kDiedHolding) {
      const pid_t child = fork();
      if (child == 0) {
        std::unique_ptr<BrokerStore> dying = makeBrokerStore();
        int64_t handle = 0;
        _exit(dying->open(error) && dying->attach(1, "E", handle) &&
                      dying->take("element:E", match, Take::kClaim, taken) == 1 &&
                      dying->keepClaim(0, taken.id)
                  ? 0
                  : 1);
      }
      int status = -1;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_EQ(WEXITSTATUS(status), 0);
    } else if (row.ending == kLetGoThenRolledBack) {
      ASSERT_EQ(own->take("element:E", match, Take::kClaim, taken), 1) << own->errorText();
      own->releaseClaim(taken.id);
      ASSERT_TRUE(own->rollback(unit)) << own->errorText();
    } else {
      ASSERT_EQ(own->take("element:E", match, Take::kClaim, taken), 1) << own->errorText();
      ASSERT_TRUE(own->keepClaim(0, taken.id));
      unit.claims.push_back(Claim{taken.id, taken.queue});
    }
    if (row.ending == kAbortedThenRolledBack) {
      MessageRow bad = taken;
      bad.queue = "element:\xff";  // not UTF-8: refused by a server, stored by SQLite
      unit.staged.push_back(bad);
      if (own->commit(unit) == 0) {
        ASSERT_TRUE(own->rollback(unit)) << own->errorText();
      } else {
        ASSERT_TRUE(store_->resetRuntime(error)) << error;  // nothing to refuse here
        send(c, "m");
        MessageRow again;
        UnitOfWork next;
        match.held = &next.claims;
        ASSERT_EQ(own->take("element:E", match, Take::kClaim, again), 1);
        next.claims.push_back(Claim{again.id, again.queue});
        ASSERT_TRUE(own->rollback(next)) << own->errorText();
      }
    } else if (row.ending == kRolledBack) {
      ASSERT_TRUE(own->rollback(unit)) << own->errorText();
    } else if (row.ending == kRefusedCommit) {
      unit.claims.push_back(Claim{taken.id + 1000000, taken.queue});  // gone meanwhile
      ASSERT_EQ(own->commit(unit), -1);
      ASSERT_TRUE(own->rollback(unit)) << own->errorText();
    } else if (row.ending == kCommitted) {
      ASSERT_EQ(own->commit(unit), 1) << own->errorText();
    }
    // A process that dies holding nothing, and its connection's recovery.
    const pid_t idle = fork();
    if (idle == 0) {
      std::unique_ptr<BrokerStore> dying = makeBrokerStore();
      int64_t handle = 0;
      _exit(dying->open(error) && dying->attach(1, "E", handle) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(idle, &status, 0), idle);
    std::vector<std::string> returned;
    int64_t recovered = 0;
    for (int tries = 0; tries < 100 && recovered == 0; ++tries) {
      recovered = store_->recoverEnded(returned);
      if (recovered == 0) usleep(50000);  // the server notices the end of a session
    }
    ASSERT_GT(recovered, 0) << store_->errorText();
    for (int more = 0; more < 3; ++more) store_->recoverEnded(returned);
    UnitOfWork check;
    match.held = &check.claims;
    MessageRow seen;
    const int found = own->take("element:E", match, Take::kBrowse, seen);
    ASSERT_GE(found, 0) << own->errorText();
    EXPECT_EQ(found ? seen.backout : -1, row.backout);
  }
}

// A unit's commit wakes a queue only while someone may sleep on it: a notice interrupts
// every listening session of the database. Whether a commit's notice reached a listener
// is read against a later notice of another channel, as notices arrive in commit order.
TEST_P(StoreContract, ACommitWakesAQueueOnlyWhileAWaiterMaySleepOnIt) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "notices are a server's";
  QueueNotices notices("element:E");
  // Whether the commit of a request to E came with a notice on E's channel.
  const auto commitNotified = [&](QLXHANDLE client) {
    send(client, "m");
    return notices.came();
  };
  QLXHANDLE c = connect(false, "C1");
  std::unique_ptr<BrokerStore> own = makeBrokerStore();
  std::string error;
  ASSERT_TRUE(own->open(error)) << error;
  std::unique_ptr<QueueWait> waiter = own->makeWait("element:E");
  const struct {
    const char* step;
    std::function<void()> act;
    bool notified;
  } steps[] = {
      {"nobody waits", [] {}, false},
      {"a waiter's first sleep", [&] { waiter->block(), waiter->sleep(0); }, true},
      {"it wakes and finds a message", [&] { waiter->block(), waiter->unblock(); }, true},
      {"it finds one without sleeping", [&] { waiter->block(), waiter->unblock(); }, false},
      {"it sleeps again", [&] { waiter->block(), waiter->sleep(0); }, true},
      {"the waiter ends", [&] { waiter.reset(); }, false},
  };
  for (const auto& step : steps) {
    step.act();
    EXPECT_EQ(commitNotified(c), step.notified) << step.step;
  }
}

// No wake is lost to a waiter that goes to sleep while a commit to its queue is under way.
// The commit (another process's put) is held between its start and its insert by a lock
// of the message table; the waiter looks at the still empty queue and goes to sleep; then
// the commit ends. A waiter that now holds its place as a sleeper must get the commit's
// notice; one that was turned away looks again and finds the message. In both orders:
// the waiter already asleep when the commit began, and coming while it runs.
TEST_P(StoreContract, NoWakeIsLostToAWaiterThatSleepsWhileACommitRuns) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "notices are a server's";
  const std::string queue = "element:E";
  const std::string sleeping =
      "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND mode = "
      "'ShareLock' AND classid = " + std::to_string(pg::kWaiterLockClass) +
      " AND objid = " + std::to_string(static_cast<uint32_t>(pg::waiterKey(queue)));
  const struct {
    const char* order;
    bool asleepBefore;
  } orders[] = {{"asleep before the commit", true}, {"going to sleep during it", false}};
  for (const auto& order : orders) {
    SCOPED_TRACE(order.order);
    std::string error;
    ASSERT_TRUE(store_->resetRuntime(error)) << error;
    std::unique_ptr<BrokerStore> own = makeBrokerStore();
    ASSERT_TRUE(own->open(error)) << error;
    std::unique_ptr<QueueWait> waiter = own->makeWait(queue);
    QueueNotices notices(queue);
    MessageRow row;
    const auto look = [&] { return own->take(queue, Match{}, Take::kBrowse, row); };
    const auto goToSleep = [&] {
      waiter->block();
      ASSERT_EQ(look(), 0) << own->errorText();
      waiter->sleep(0);
    };
    if (order.asleepBefore) goToSleep();
    PGconn* holder = PQconnectdb(std::getenv("QLX_BROKER"));
    PQclear(PQexec(holder, "BEGIN; LOCK TABLE message IN SHARE MODE"));
    const pid_t child = sender(1);
    bool held = false;
    for (int tries = 0; tries < 1000 && !held; ++tries, usleep(10000))
      held = adminSql("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                      "AND datname = current_database()") != "0";
    EXPECT_TRUE(held) << "the commit never reached the table";
    goToSleep();
    EXPECT_EQ(look(), 0);
    const bool asleep = adminSql(sleeping.c_str()) != "0";
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(!asleep || notices.came()) << "a sleeping waiter missed the commit";
    waiter->block();
    EXPECT_EQ(look(), 1) << own->errorText();
    waiter->unblock();
  }
}

// A waiter turned away by a commit on its way sleeps until that commit ends rather than a
// fixed pause, and a signal still ends such a wait at once. The commit is stood in for by
// a session holding the queue's commit key; another thread ends it (or signals the
// waiting thread) once the waiter is queued behind it on the server. Either way the wait
// leaves nothing queued, and the waiter's next sleep registers it on the same session.
TEST_P(StoreContract, ARefusedWaiterWakesWhenTheCommitEndsOrASignalComes) {
  if (std::string(GetParam()) != "postgres") GTEST_SKIP() << "the commit key is a server's";
  const std::string queue = "element:E";
  const std::string key = std::to_string(pg::waiterKey(queue));
  const std::string commitKey = std::to_string(pg::kCommitLockClass) + ", " + key;
  const std::string queued =
      "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted AND "
      "classid = " + std::to_string(pg::kCommitLockClass) +
      " AND objid = " + std::to_string(static_cast<uint32_t>(pg::waiterKey(queue)));
  const std::string sleeping =
      "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND mode = "
      "'ShareLock' AND classid = " + std::to_string(pg::kWaiterLockClass) +
      " AND objid = " + std::to_string(static_cast<uint32_t>(pg::waiterKey(queue)));
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, nullptr);
  const struct {
    const char* ending;
    bool bySignal;
    QueueWait::Outcome outcome;
  } endings[] = {{"the commit ends", false, QueueWait::kChanged},
                 {"a signal comes", true, QueueWait::kInterrupted}};
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.ending);
    std::string error;
    std::unique_ptr<BrokerStore> own = makeBrokerStore();
    ASSERT_TRUE(own->open(error)) << error;
    std::unique_ptr<QueueWait> waiter = own->makeWait(queue);
    PGconn* commit = PQconnectdb(std::getenv("QLX_BROKER"));
    PQclear(PQexec(commit, ("SELECT pg_advisory_lock_shared(" + commitKey + ")").c_str()));
    const pthread_t sleeper = pthread_self();
    bool sawQueued = false;
    std::thread ender([&] {
      for (int tries = 0; tries < 200 && !sawQueued; ++tries, usleep(10000))
        sawQueued = adminSql(queued.c_str()) != "0";
      usleep(200 * 1000);  // a waiter that did not really wait would be back by now
      if (ending.bySignal) {
        pthread_kill(sleeper, SIGALRM);
      } else {
        PQclear(PQexec(commit, ("SELECT pg_advisory_unlock_shared(" + commitKey + ")").c_str()));
      }
    });
    waiter->block();
    const int64_t start = nowMillis();
    const QueueWait::Outcome outcome = waiter->sleep(20000);
    const int64_t took = nowMillis() - start;
    ender.join();
    EXPECT_TRUE(sawQueued) << "the waiter never queued behind the commit";
    EXPECT_EQ(outcome, ending.outcome);
    EXPECT_GE(took, 200) << "the waiter came back before the commit ended";
    EXPECT_LT(took, 5000);
    EXPECT_EQ(adminSql(queued.c_str()), "0") << "a wait was left queued";
    PQfinish(commit);
    // The side session serves on: a sleep now registers at once.
    waiter->block();
    if (ending.bySignal) {
      EXPECT_EQ(waiter->sleep(20000), QueueWait::kChanged);
    }
    EXPECT_EQ(adminSql(sleeping.c_str()), "1");
    waiter->unblock();
  }
  signal(SIGALRM, SIG_DFL);
}

// The operator's figures are read at one moment: while another process moves a message
// to and fro between two queues, a queue listed as holding messages always has an oldest
// one and the other way round, and the message is counted once. Quiet, the figures are
// those the store's separate reads give.
TEST_P(StoreContract, TheOperatorsFiguresAreReadAtOneMoment) {
  const auto read = [&](std::vector<QueueInfo>& queues, std::map<std::string, int64_t>& oldest,
                        std::vector<ServerStats>& elements) {
    std::string error;
    EXPECT_TRUE(store_->viewFigures(queues, oldest, elements, error)) << error;
  };
  QLXHANDLE c = connect(false, "C1");
  connect(true, "E");
  send(c, "moved");
  std::vector<QueueInfo> queues, listed;
  std::map<std::string, int64_t> oldest, apart;
  std::vector<ServerStats> elements, servers;
  read(queues, oldest, elements);
  std::string error;
  ASSERT_TRUE(store_->listQueues(listed, error) && store_->oldestMessages(apart, error) &&
              store_->elementServers(servers, error))
      << error;
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].queue, listed[0].queue);
  EXPECT_EQ(queues[0].depth, 1);
  EXPECT_EQ(oldest, apart);
  ASSERT_EQ(elements.size(), servers.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    EXPECT_EQ(elements[i].element, servers[i].element);
    EXPECT_EQ(elements[i].servers, servers[i].servers);
    EXPECT_EQ(elements[i].since, servers[i].since);
  }
  const pid_t mover = fork();
  if (mover == 0) {
    std::unique_ptr<BrokerStore> own = makeBrokerStore();
    if (!own->open(error)) _exit(1);
    const int64_t until = nowMillis() + 1500;
    for (int i = 0; nowMillis() < until; ++i) {
      const std::string from = i % 2 ? "element:F" : "element:E";
      UnitOfWork unit;
      MessageRow row;
      // The reader's look locks the rows for an instant: a claim then passes over it.
      int taken = 0;
      while ((taken = own->take(from, Match{}, Take::kClaim, row)) == 0) usleep(100);
      if (taken != 1) _exit(2);
      unit.claims.push_back({row.id, from});
      row.queue = i % 2 ? "element:E" : "element:F";
      unit.staged.push_back(row);
      if (own->commit(unit) != 1) _exit(3);
    }
    _exit(0);
  }
  int views = 0;
  int status = -1;
  for (; waitpid(mover, &status, WNOHANG) == 0; ++views) {
    read(queues, oldest, elements);
    int64_t held = 0;
    for (const QueueInfo& q : queues) {
      held += q.depth + q.inFlight;
      EXPECT_EQ(oldest.count(q.queue), 1u) << q.queue << " has messages but no oldest";
    }
    EXPECT_EQ(oldest.size(), queues.size());
    EXPECT_EQ(held, 1);
    if (::testing::Test::HasFailure()) break;
  }
  if (::testing::Test::HasFailure()) waitpid(mover, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the mover failed: " << status;
  EXPECT_GT(views, 10);
}

// A process keeps what it read of the directory only until an edit: the next put after an
// edit follows the edited service, whether this process or another one made the edit (the
// other's notice may take a moment to arrive: the puts are repeated until one follows it,
// and none after that may go the old way).
TEST_P(StoreContract, ADirectoryEditReachesTheNextPut) {
  QLXHANDLE c = connect(false, "C1");
  const auto routeEcho = [](const std::string& element) {
    return [element](DirectoryModel& model, std::string&) {
      for (ServiceDef& service : model.services)
        if (service.name == "ECHO") service.hops = {{1, element}, {100, ""}};
      return true;
    };
  };
  const struct {
    const char* editor;
    bool otherProcess;
    const char* to;
  } edits[] = {{"this process", false, "F"}, {"this process", false, "E"},
               {"another process", true, "F"}, {"another process", true, "E"}};
  for (const auto& edit : edits) {
    SCOPED_TRACE(std::string(edit.editor) + " routes ECHO to " + edit.to);
    std::string error;
    send(c, "before");  // the hops are read, and kept where a store keeps them
    ASSERT_TRUE(store_->resetRuntime(error)) << error;
    if (edit.otherProcess) {
      const pid_t child = fork();
      if (child == 0) {
        std::unique_ptr<BrokerStore> editor = makeBrokerStore();
        _exit(editor->open(error) && editor->editDirectory(routeEcho(edit.to), error) ? 0 : 1);
      }
      int status = -1;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_EQ(WEXITSTATUS(status), 0);
    } else {
      ASSERT_TRUE(store_->editDirectory(routeEcho(edit.to), error)) << error;
    }
    const std::string edited = std::string("element:") + edit.to;
    int tries = 0;
    for (send(c, "after"); depth(edited) == 0 && tries < 200; ++tries) {
      if (!edit.otherProcess) break;
      usleep(10000);
      send(c, "after");
    }
    EXPECT_EQ(depth(edited), 1) << "the put after the edit went the old way";
    ASSERT_TRUE(store_->resetRuntime(error)) << error;
    for (int i = 0; i < 3; ++i) send(c, "later");
    std::vector<QueueInfo> queues;
    ASSERT_TRUE(listQueues(*store_, queues, error)) << error;
    ASSERT_EQ(queues.size(), 1u);
    EXPECT_EQ(queues[0].queue, edited);
    EXPECT_EQ(queues[0].depth, 3);
  }
}

// The operator's figures per queue: ready, held by an open unit (another connection's
// claim), backed out, and the highest backout count, all from one listing.
TEST_P(StoreContract, ListQueuesCountsReadyHeldAndBackedOutMessages) {
  const struct {
    const char* queue;
    const char* body;
    int64_t backout;
  } messages[] = {
      {"element:E", "claimed", 2}, {"element:E", "ready", 0}, {"element:E", "again", 1},
      {"client:C1", "reply", 0},   {"error:E", "failed", 3},
  };
  for (const auto& m : messages) {
    MessageRow row;
    row.queue = m.queue;
    row.body = m.body;
    row.backout = m.backout;
    if (std::string(m.queue) == "error:E") row.error = ErrorInfo{42, 0, 0, "failed", 1, 1, "E"};
    ASSERT_TRUE(store_->put(row)) << store_->errorText();
  }
  std::unique_ptr<BrokerStore> holder = makeBrokerStore();
  std::string error;
  ASSERT_TRUE(holder->open(error)) << error;
  int64_t handle = 0;
  ASSERT_TRUE(holder->attach(1, "E", handle)) << holder->errorText();
  UnitOfWork unit;
  Match match;
  match.held = &unit.claims;
  MessageRow held;
  ASSERT_EQ(holder->take("element:E", match, Take::kClaim, held), 1) << holder->errorText();
  ASSERT_EQ(held.body, "claimed");
  ASSERT_TRUE(holder->keepClaim(0, held.id)) << holder->errorText();
  unit.claims.push_back(Claim{held.id, held.queue});

  const struct {
    const char* queue;
    int64_t depth, inFlight, backedOut, maxBackout;
  } expected[] = {
      {"client:C1", 1, 0, 0, 0},
      {"element:E", 2, 1, 2, 2},
      {"error:E", 1, 0, 1, 3},
  };
  std::vector<QueueInfo> queues;
  ASSERT_TRUE(listQueues(*store_, queues, error)) << error;
  ASSERT_EQ(queues.size(), std::size(expected));
  for (size_t i = 0; i < queues.size(); ++i) {
    SCOPED_TRACE(expected[i].queue);
    EXPECT_EQ(queues[i].queue, expected[i].queue);
    EXPECT_EQ(queues[i].depth, expected[i].depth);
    EXPECT_EQ(queues[i].inFlight, expected[i].inFlight);
    EXPECT_EQ(queues[i].backedOut, expected[i].backedOut);
    EXPECT_EQ(queues[i].maxBackout, expected[i].maxBackout);
  }
  std::vector<BrowsedMessage> browsed;
  ASSERT_TRUE(store_->browse("element:E", browsed, error)) << error;
  ASSERT_EQ(browsed.size(), 3u);
  for (const BrowsedMessage& m : browsed) EXPECT_EQ(m.claimed, m.row.body == "claimed") << m.row.body;
  // The listings took no lock: the rows carry none of theirs (the holder's claim is the
  // only one), so a get beside them skips no free message.
  if (std::string(GetParam()) == "postgres") {
    EXPECT_EQ(adminSql("SELECT count(*) FROM message WHERE xmax::text <> '0'"), "1");
  }
  // A listing leaves no read open behind it: the next one sees the holder's commit.
  EXPECT_EQ(holder->commit(unit), 1) << holder->errorText();
  ASSERT_TRUE(listQueues(*store_, queues, error)) << error;
  ASSERT_EQ(queues.size(), 3u);
  EXPECT_EQ(queues[1].depth, 2);
  EXPECT_EQ(queues[1].inFlight, 0);
  EXPECT_TRUE(holder->detach()) << holder->errorText();
}

// A bare name that names no entry: KIND:NAME is suggested only for queues of that name
// that hold messages (an entry deleted with messages left, an error queue), never made up.
TEST_P(StoreContract, AnUnknownQueueNameSuggestsOnlyQueuesThatExist) {
  for (const char* queue : {"element:GONE", "element:OLD", "error:OLD", "native:N"}) {
    MessageRow row;
    row.queue = queue;
    row.body = "left";
    if (std::string(queue) == "error:OLD") row.error = ErrorInfo{42, 0, 0, "x", 1, 1, "OLD"};
    ASSERT_TRUE(store_->put(row)) << store_->errorText();
  }
  const struct {
    const char* name;
    const char* queue;  // "" when refused
    std::string error;
  } rows[] = {
      {"E", "element:E", ""},
      {"C1", "client:C1", ""},
      {"N", "native:N", ""},
      {"element:NOSUCH", "element:NOSUCH", ""},
      {"NOSUCH", "",
       "no queue named NOSUCH: no element or client NOSUCH in the directory and no queue of "
       "that name holds messages"},
      {"GON", "",
       "no queue named GON: no element or client GON in the directory and no queue of that "
       "name holds messages"},
      {"GONE", "", "no queue named GONE (give KIND:NAME: element:GONE holds messages)"},
      {"OLD", "", "no queue named OLD (give KIND:NAME: element:OLD or error:OLD holds messages)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    EXPECT_EQ(resolveQueue(*store_, row.name, error), row.queue);
    EXPECT_EQ(error, row.error);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace qlx
