// Fixture of the broker's tests: a fresh broker home per test with a small directory, and
// helpers that make one call of the C interface one line.
#ifndef QLX_BROKER_TEST_UTIL_H
#define QLX_BROKER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admin.h"
#include "broker_store.h"
#include "directory_model.h"
#include "qlx.h"
#include "sqlite_broker.h"
#include "testing/temp_home.h"
#include "testing/test_store.h"

namespace qlx::test {

// The directory every test starts with, written through the store so that it is the same
// on each. G has the test exit.
inline DirectoryModel testDirectory() {
  DirectoryModel model;
  model.elements = {{"E", {"*"}, 1, std::nullopt},
                    {"F", {}, 1, std::nullopt},
                    {"G", {}, 5, std::string(QLX_TEST_EXIT)},
                    {"H", {}, 5, std::nullopt}};
  model.clients = {{"C1", {}}, {"C2", {}}};
  model.services = {{"ECHO", {{1, "E"}, {100, ""}}},
                    {"CHAIN", {{1, "E"}, {1, "F"}, {100, ""}}},
                    {"SVC2", {{1, "G"}}},
                    {"ONEHOP", {{1, "E"}}},
                    {"NATIVE", {{1, "E"}, {4, "N"}}},
                    {"REPORT", {{1, "G"}, {100, ""}}},
                    {"EMPTY", {}}};
  return model;
}

// The same directory as SQL, for the embedded store's own tests that open a database
// beside the fixture's.
inline constexpr const char* kDirectory = R"sql(
INSERT INTO element (name, formats, default_actions) VALUES ('E', '*', 1), ('F', '', 1);
INSERT INTO element (name, formats, default_actions) VALUES ('G', '', 5), ('H', '', 5);
INSERT INTO client (name) VALUES ('C1'), ('C2');
INSERT INTO service (name) VALUES ('ECHO'), ('CHAIN'), ('SVC2'), ('ONEHOP'), ('NATIVE'),
  ('REPORT'), ('EMPTY');
INSERT INTO hop VALUES ('ECHO', 0, 1, 'E'), ('ECHO', 1, 100, '');
INSERT INTO hop VALUES ('CHAIN', 0, 1, 'E'), ('CHAIN', 1, 1, 'F'), ('CHAIN', 2, 100, '');
INSERT INTO hop VALUES ('SVC2', 0, 1, 'G');
INSERT INTO hop VALUES ('ONEHOP', 0, 1, 'E');
INSERT INTO hop VALUES ('NATIVE', 0, 1, 'E'), ('NATIVE', 1, 4, 'N');
INSERT INTO hop VALUES ('REPORT', 0, 1, 'G'), ('REPORT', 1, 100, '');
)sql";

// The reason and sub-reason of the last error.
inline int32_t lastReason() {
  QLXERROR e{};
  qlxGetLastError(&e);
  return (e.Flags & kQlxErrorReason) ? e.Reason.Code : -1;
}
inline int32_t lastSubReason() {
  QLXERROR e{};
  qlxGetLastError(&e);
  return (e.Flags & kQlxErrorSubReason) ? e.SubReason.Code : -1;
}

// Fills a name field: at most its size, NUL-padded.
template <size_t N>
void setName(char (&field)[N], const char* name) {
  std::memset(field, 0, N);
  std::memcpy(field, name, std::min(std::strlen(name), N));
}

inline QLXSYNC syncOf(int32_t type) {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = type;
  return sync;
}

// A received message with its broker-owned buffers, released on destruction.
struct Got {
  QLXHANDLE handle = 0;
  QLXMSG msg = kQlxMsgDefault;
  QLXHANDLE theme = 0;
  Got() = default;
  Got(const Got&) = delete;
  Got& operator=(const Got&) = delete;
  ~Got() {
    qlxFreeBuffer(handle, &msg.MsgBuffer);
    qlxFreeBuffer(handle, &msg.TagBuffer);
  }
  std::string body() const {
    if (!msg.MsgBuffer.Data) return std::string();
    return std::string(static_cast<const char*>(msg.MsgBuffer.Data),
                       std::min(msg.MsgLength, msg.MsgBuffer.Length));
  }
  bool follows() const { return (msg.Status & kQlxStatusWorkflowFollows) != 0; }
};

// The fixture's store, on either store: `store_->` and `*store_` reach it, and it passes
// where a BrokerStore& is asked for. store_.sql() is the embedded store's database, for the
// tests of what only that store has (they run on it alone); BrokerTest::sql() reaches the
// database of either.
class FixtureStore {
 public:
  void reset(std::unique_ptr<BrokerStore> store = nullptr) { store_ = std::move(store); }
  BrokerStore* operator->() const { return store_.get(); }
  BrokerStore& operator*() const { return *store_; }
  operator BrokerStore&() const { return *store_; }
  Store& sql() const { return static_cast<SqliteBrokerStore&>(*store_).sql(); }

 private:
  std::unique_ptr<BrokerStore> store_;
};

// Under QLX_TEST_STORE=postgres (the pg.* rows of ctest) the broker is a schema of the
// test's own on the run's cluster, and the test is skipped with the reason without one;
// the home keeps the log either way.
class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zvr::testing::makeTempHome("qlxtest.", home_));
    zvr::testing::useTestBroker(schema_);
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    store_.reset(makeBrokerStore());
    ASSERT_TRUE(store_->open(error)) << error;
    ASSERT_TRUE(store_->editDirectory(
        [](DirectoryModel& model, std::string&) { return model = testDirectory(), true; },
        error))
        << error;
  }

  void TearDown() override {
    for (QLXHANDLE& h : open_)
      if (h) qlxTerminate(&h);
    store_.reset();
    if (admin_) PQfinish(admin_);
    admin_ = nullptr;
    schema_.drop();
    unsetenv("QLX_BROKER");
    if (!zvr::testing::removeTempHome(home_)) ADD_FAILURE() << "cannot remove " << home_;
  }

  // Runs `text` on the broker's database past the store interface, on either store: for
  // the few cases that must change what no call changes (statements both understand).
  void sql(const std::string& text) {
    if (zvr::testing::onPostgres()) {
      const std::string failure = postgresSql(text);
      ASSERT_EQ(failure.rfind("failed: ", 0), std::string::npos) << failure;
      return;
    }
    ASSERT_TRUE(store_.sql().exec(text.c_str())) << store_->errorText();
  }

  // On PostgreSQL: runs `text` on the test's schema through a session of the test's own;
  // the first value of the result, "" when none, or "failed: " and the server's words.
  std::string postgresSql(const std::string& text) {
    if (!admin_) admin_ = PQconnectdb(std::getenv("QLX_BROKER"));
    PGresult* r = PQexec(admin_, text.c_str());
    const ExecStatusType status = PQresultStatus(r);
    std::string out = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK
                          ? std::string("failed: ") + PQerrorMessage(admin_)
                      : PQntuples(r) > 0 ? PQgetvalue(r, 0, 0)
                                         : "";
    PQclear(r);
    return out;
  }

  // Waits until the broker can tell that process `pid`, ended, holds nothing any more. On
  // the embedded store that is at once (the kernel drops its locks with the process); on
  // PostgreSQL the server ends the process's sessions, and so its row locks, only when it
  // notices the closed sockets, a little after the process is reaped.
  void waitUntilEnded(pid_t pid) {
    if (!zvr::testing::onPostgres()) return;
    const std::string live =
        "SELECT count(*) FROM connection c JOIN pg_stat_activity a ON a.pid = c.backend "
        "WHERE c.pid = " + std::to_string(pid);
    for (int waited = 0; waited < 20000; waited += 10) {
      const std::string sessions = postgresSql(live);
      if (sessions == "0") return;
      ASSERT_EQ(sessions.rfind("failed: ", 0), std::string::npos) << sessions;
      usleep(10 * 1000);
    }
    FAIL() << "the sessions of process " << pid << " did not end within 20 s";
  }

  QLXHANDLE element(const char* name, void** dirOut = nullptr) {
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, name);
    QLXHANDLE handle = 0;
    void* scratch = nullptr;
    void*& directory = dirOut ? *dirOut : scratch;
    unsigned char work[852] = {};
    EXPECT_EQ(qlxSPIInitialize(&addr, 1, &handle, &directory, work), 1) << lastReason();
    open_.push_back(handle);
    return handle;
  }

  QLXHANDLE client(const char* name) {
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, name);
    QLXHANDLE handle = 0;
    EXPECT_EQ(qlxClientInitialize(&addr, &handle), 1) << lastReason();
    open_.push_back(handle);
    return handle;
  }

  // Puts a request to `service` (committed under a local unit of work); the theme handle.
  QLXHANDLE send(QLXHANDLE client, const char* service, const std::string& body,
                 int32_t syncType = 1) {
    QLXSERVICE svc = kQlxServiceDefault;
    setName(svc.Name, service);
    QLXMSG msg = kQlxMsgDefault;
    msg.MsgLength = static_cast<uint32_t>(body.size());
    msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
    std::strcpy(msg.FormatName, "TESTFMT");
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = syncOf(syncType);
    QLXHANDLE theme = 0;
    EXPECT_EQ(qlxPutRequest(client, &svc, &msg, &put, &sync, &theme), 1) << lastReason();
    if (syncType == 1) {
      EXPECT_EQ(qlxCommit(client, &sync), 1);
    }
    return theme;
  }

  // A get as a serving element makes it (0x2148), without waiting unless `wait` is given.
  int getRequest(QLXHANDLE handle, Got& got, int32_t syncType = 1, int32_t wait = 0,
                 uint32_t options = 0x2140) {
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = options | (wait != 0 ? uint32_t{kQlxGetWait} : 0u);
    get.Wait = wait;
    QLXSYNC sync = syncOf(syncType);
    got.handle = handle;
    return qlxGetRequest(handle, &got.msg, &get, &sync, &got.theme);
  }

  int getResponse(QLXHANDLE handle, Got& got, QLXHANDLE theme, int32_t wait = 0) {
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = theme ? 0x190 : 0x120;
    if (wait) {
      get.Options |= kQlxGetWait;
      get.Wait = wait;
    }
    QLXSYNC sync = syncOf(1);
    got.handle = handle;
    got.theme = theme;
    return qlxGetResponse(handle, &got.msg, &get, &sync, &got.theme);
  }

  // Forwards a received message unchanged along its workflow.
  int forward(QLXHANDLE handle, Got& got, QLXHANDLE theme = 0, uint32_t options = 0) {
    QLXPUTOPT put = kQlxPutOptDefault;
    put.Options |= options;
    QLXSYNC sync = syncOf(1);
    QLXHANDLE use = theme ? theme : got.theme;
    return qlxPutResponse(handle, &got.msg, &put, &sync, &use);
  }

  int commit(QLXHANDLE handle) {
    QLXSYNC sync = syncOf(1);
    return qlxCommit(handle, &sync);
  }
  int rollback(QLXHANDLE handle) {
    QLXSYNC sync = syncOf(1);
    return qlxRollback(handle, &sync);
  }

  // Ready and claimed messages of a queue.
  QueueInfo queue(const std::string& name) {
    std::vector<QueueInfo> list;
    std::string error;
    EXPECT_TRUE(listQueues(*store_, list, error)) << error;
    for (const QueueInfo& q : list)
      if (q.queue == name) return q;
    return QueueInfo{name};
  }

  void fault(const char* call, int32_t reason, std::optional<int32_t> sub = std::nullopt,
             int64_t count = 1, std::optional<std::string> name = std::nullopt) {
    Fault f;
    f.call = call;
    f.reason = reason;
    f.subReason = sub;
    f.remaining = count;
    f.name = name;
    std::string error;
    ASSERT_TRUE(store_->addFault(f, error)) << error;
  }

  std::string home_;
  FixtureStore store_;
  zvr::testing::PostgresSchema schema_;
  PGconn* admin_ = nullptr;  // the session of postgresSql(), opened on first use
  std::vector<QLXHANDLE> open_;
};

}  // namespace qlx::test

#endif  // QLX_BROKER_TEST_UTIL_H
