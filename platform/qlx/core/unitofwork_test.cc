// Units of work whose claims are taken away, failures after a claim, and the broker's
// private files: a unit never completes twice and a message is never lost. On both stores;
// what only one store can meet skips itself on the other.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "broker_test_util.h"
#include "errors.h"

namespace qlx::test {
namespace {

using BrokerUnits = BrokerTest;

TEST_F(BrokerUnits, CommitIsRefusedWhenAClaimWasTakenAway) {
  if (zvr::testing::onPostgres())
    GTEST_SKIP() << "on PostgreSQL a claim is a row lock: another unit or a reset waits for "
                    "the unit instead of taking its message away";
  struct Case {
    const char* who;
    std::function<void()> takeAway;  // takes "a" (the first claim) away
    int64_t leftOnQueue;                         // "b" comes back when it is still there
  } cases[] = {
      {"another unit committed it",
       [this] {
         sql("DELETE FROM message WHERE id = (SELECT MIN(id) FROM message WHERE "
               "queue = 'element:E')");
       },
       1},
      {"an operator reset the queues",
       [this] {
         std::string error;
         ASSERT_TRUE(resetRuntime(store_, error)) << error;
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who);
    std::string error;
    ASSERT_TRUE(resetRuntime(store_, error)) << error;
    QLXHANDLE c1 = client("C1"), e = element("E");
    send(c1, "ECHO", "a");
    send(c1, "ECHO", "b");
    Got a, b;
    ASSERT_EQ(getRequest(e, a), 1);
    ASSERT_EQ(getRequest(e, b), 1);
    ASSERT_EQ(forward(e, a), 1);
    ASSERT_EQ(forward(e, b), 1);
    c.takeAway();
    EXPECT_EQ(commit(e), 0);
    EXPECT_EQ(lastReason(), kReasonClaimLost);
    EXPECT_EQ(queue("client:C1").depth, 0);  // no put of the refused unit appeared
    EXPECT_EQ(queue("element:E").depth, c.leftOnQueue);
    EXPECT_EQ(queue("element:E").inFlight, 0);
    if (c.leftOnQueue) {
      Got again;
      ASSERT_EQ(getRequest(e, again), 1);
      EXPECT_EQ(again.body(), "b");
      EXPECT_EQ(again.msg.BackoutCount, 1);
      ASSERT_EQ(commit(e), 1);
    }
    EXPECT_EQ(commit(e), 1);  // the refused unit is over: nothing is left to commit
  }
}

// A get that fails after its take lets the message go: once the unit ends, by its commit
// or its rollback, another connection takes it at once, with no backout raise, and the
// failing connection's next get takes it just the same.
TEST_F(BrokerUnits, AFailureAfterTheClaimLosesNothing) {
  const struct {
    const char* end;
    bool byOther;  // taken next by another connection of the element, else by the same
  } kCases[] = {{"commit", true}, {"rollback", true}, {"commit", false}, {"rollback", false}};
  QLXHANDLE c1 = client("C1");
  int delivered = 0;
  for (const auto& row : kCases) {
    SCOPED_TRACE(std::string(row.end) + (row.byOther ? ", then another" : ", then the same"));
    // Fresh connections read the pending faults on their first call.
    QLXHANDLE e = element("E"), other = element("E");
    send(c1, "ECHO", "precious");
    fault("getcopy", kReasonBuffer);
    Got failed;
    EXPECT_EQ(getRequest(e, failed), 0);
    EXPECT_EQ(lastReason(), kReasonBuffer);
    EXPECT_EQ(failed.msg.MsgBuffer.Data, nullptr);
    ASSERT_EQ(std::string(row.end) == "commit" ? commit(e) : rollback(e), 1) << lastReason();
    EXPECT_EQ(queue("element:E").depth, 1);
    EXPECT_EQ(queue("element:E").inFlight, 0);
    const QLXHANDLE taker = row.byOther ? other : e;
    Got got;
    ASSERT_EQ(getRequest(taker, got), 1) << lastReason();
    EXPECT_EQ(got.body(), "precious");
    EXPECT_EQ(got.msg.BackoutCount, 0);
    ASSERT_EQ(forward(taker, got), 1);
    ASSERT_EQ(commit(taker), 1);
    EXPECT_EQ(queue("client:C1").depth, ++delivered);
  }
}

TEST_F(BrokerUnits, TwoConnectionsOfOneProcessNeverShareAMessage) {
  QLXHANDLE c1 = client("C1"), e1 = element("E"), e2 = element("E");
  send(c1, "ECHO", "one");
  send(c1, "ECHO", "two");
  Got first, second, none;
  ASSERT_EQ(getRequest(e1, first), 1);
  ASSERT_EQ(getRequest(e2, second), 1);
  EXPECT_NE(first.body(), second.body());
  EXPECT_EQ(queue("element:E").inFlight, 2);
  EXPECT_EQ(queue("element:E").depth, 0);
  EXPECT_EQ(getRequest(e2, none), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  Got browsed;
  EXPECT_EQ(getRequest(e2, browsed, 1, 0, kQlxGetBrowse), 0);  // held messages are not shown
  ASSERT_EQ(rollback(e1), 1);
  ASSERT_EQ(commit(e2), 1);
  EXPECT_EQ(queue("element:E").depth, 1);
}

TEST_F(BrokerUnits, HomeAndFilesArePrivateUnderAnyUmask) {
  const mode_t saved = umask(0);
  const std::string home = home_ + "/private";
  setenv("QLX_HOME", home.c_str(), 1);
  {
    // The embedded store's new home needs the directory; PostgreSQL's is the fixture's.
    SqliteBrokerStore store;
    if (!zvr::testing::onPostgres()) {
      std::string error;
      ASSERT_TRUE(store.open(error)) << error;
      ASSERT_TRUE(store.sql().exec(kDirectory)) << store.errorText();
    }
    QLXHANDLE c = client("C1"), e = element("E");
    send(c, "ECHO", "x");
    Got got;
    ASSERT_EQ(getRequest(e, got), 1);
    QLXLOG log = kQlxLogDefault;
    log.Text = "a line";
    EXPECT_EQ(qlxWriteLog(&log), 0);
    for (QLXHANDLE& h : open_) qlxTerminate(&h);
    open_.clear();
  }
  umask(saved);
  struct stat info {};
  ASSERT_EQ(stat(home.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
    ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, entry.is_directory() ? 0700u : 0600u) << entry.path();
    files += entry.is_regular_file();
  }
  // Database, log, claims, control, wake files at least; on PostgreSQL the log.
  EXPECT_GE(files, zvr::testing::onPostgres() ? 1 : 5);
  setenv("QLX_HOME", home_.c_str(), 1);
}

// A failed commit loses nothing: the embedded store keeps the unit open, to commit once
// the cause is gone; on PostgreSQL the failure aborted the unit's transaction, so the unit
// can only be rolled back, and its message is on its queue again, counted.
TEST_F(BrokerUnits, StoreFailuresNameTheirRealCause) {
  const struct {
    const char* store;
    const char* refuse;
    const char* allow;
    bool commitsLater;
  } kStores[] = {
      {"sqlite",
       "CREATE TRIGGER full_queue BEFORE INSERT ON message WHEN NEW.queue = 'client:C1' "
       "BEGIN SELECT RAISE(ABORT, 'the client queue is full'); END",
       "DROP TRIGGER full_queue", true},
      {"postgres",
       "CREATE FUNCTION full_queue() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
       "NEW.queue = 'client:C1' THEN RAISE EXCEPTION 'the client queue is full'; END IF; "
       "RETURN NEW; END $$; CREATE TRIGGER full_queue BEFORE INSERT ON message FOR EACH ROW "
       "EXECUTE FUNCTION full_queue()",
       "DROP TRIGGER full_queue ON message", false},
  };
  const auto& row = kStores[zvr::testing::onPostgres() ? 1 : 0];
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "x");
  sql(row.refuse);
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  ASSERT_EQ(forward(e, got), 1);
  ASSERT_EQ(commit(e), 0);  // the failed transaction was rolled back before the text is read
  QLXERROR error{};
  qlxGetLastError(&error);
  EXPECT_EQ(error.Reason.Code, kReasonStorage);
  EXPECT_NE(std::string(error.Reason.Text).find("the client queue is full"), std::string::npos)
      << error.Reason.Text;
  sql(row.allow);
  if (row.commitsLater) {
    ASSERT_EQ(commit(e), 1) << row.store;
    EXPECT_EQ(queue("client:C1").depth, 1);
    return;
  }
  ASSERT_EQ(rollback(e), 1) << row.store;
  EXPECT_EQ(queue("client:C1").depth, 0);
  Got again;
  ASSERT_EQ(getRequest(e, again), 1);
  EXPECT_EQ(again.body(), "x");
  EXPECT_EQ(again.msg.BackoutCount, 1);
  ASSERT_EQ(forward(e, again), 1);
  ASSERT_EQ(commit(e), 1);
  EXPECT_EQ(queue("client:C1").depth, 1);
}

// A check deferred to the COMMIT fails the commit after the unit's transaction has ended.
// The unit's rollback still counts its message, once, at once: neither left for a recovery
// that waits for some connection to end, nor counted again by one.
TEST_F(BrokerUnits, ACommitFailingAtItsEndRollsBackCountedOnce) {
  if (!zvr::testing::onPostgres())
    GTEST_SKIP() << "only a server checks a deferred constraint at the COMMIT";
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "x");
  sql("CREATE FUNCTION full_queue() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
      "NEW.queue = 'client:C1' THEN RAISE EXCEPTION 'the client queue is full'; END IF; "
      "RETURN NEW; END $$; CREATE CONSTRAINT TRIGGER full_queue AFTER INSERT ON message "
      "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION full_queue()");
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  ASSERT_EQ(forward(e, got), 1);
  ASSERT_EQ(commit(e), 0);
  EXPECT_EQ(lastReason(), kReasonStorage);
  sql("DROP TRIGGER full_queue ON message");
  ASSERT_EQ(rollback(e), 1) << lastReason();
  // A connection that ended makes the next get look for dead holders' claims.
  sql("INSERT INTO connection (name, kind, pid, started, backend) VALUES ('gone', 1, 1, 0, 0)");
  std::vector<std::string> returned;
  EXPECT_GE(store_->recoverEnded(returned), 1) << store_->errorText();
  EXPECT_TRUE(returned.empty()) << "counted again: " << returned.size();
  EXPECT_EQ(queue("client:C1").depth, 0);
  Got again;
  ASSERT_EQ(getRequest(e, again), 1) << lastReason();
  EXPECT_EQ(again.body(), "x");
  EXPECT_EQ(again.msg.BackoutCount, 1);
  ASSERT_EQ(forward(e, again), 1);
  ASSERT_EQ(commit(e), 1) << lastReason();
  EXPECT_EQ(queue("client:C1").depth, 1);
}

// A database file truncated to nothing is damage, not a fresh broker: every way in fails
// with a clear error and leaves the file as it is.
TEST_F(BrokerUnits, AnEmptyDatabaseIsReportedDamaged) {
  if (zvr::testing::onPostgres())
    GTEST_SKIP() << "the database file is the embedded store's";
  const std::string home = home_ + "/cut";
  setenv("QLX_HOME", home.c_str(), 1);
  {
    SqliteBrokerStore store;
    std::string error;
    ASSERT_TRUE(store.open(error)) << error;
  }
  ASSERT_EQ(truncate((home + "/broker.db").c_str(), 0), 0);
  std::remove((home + "/broker.db-wal").c_str());
  std::remove((home + "/broker.db-shm").c_str());
  SqliteBrokerStore store;
  std::string error;
  EXPECT_FALSE(store.open(error));
  EXPECT_NE(error.find("is damaged: the file is empty"), std::string::npos) << error;
  QLXADDR addr = kQlxAddrDefault;
  setName(addr.Name, "C1");
  QLXHANDLE handle = 0;
  EXPECT_EQ(qlxClientInitialize(&addr, &handle), 0);
  EXPECT_EQ(lastReason(), kReasonHome);
  for (const char* command : {"queues", "fault list", "reset"}) {
    const std::string line = std::string(QLXADM_PATH) + " --home '" + home + "' " + command +
                             " > " + home_ + "/out 2>&1";
    const int status = std::system(line.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << command;
  }
  struct stat info {};
  ASSERT_EQ(stat((home + "/broker.db").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  setenv("QLX_HOME", home_.c_str(), 1);
}

}  // namespace
}  // namespace qlx::test

namespace qlx::test {
namespace {

// How a connection ends, from each state its unit can be in: its registration is gone at
// once, what it held is free again with the count each step owes it, and nothing is left
// for the recovery of ended connections (which would count a message again and log a
// rollback that never happened).
TEST_F(BrokerUnits, AConnectionThatEndsLeavesNothingBehind) {
  enum class Before { kNothing, kFailedGet, kEmptyRollback, kClaim, kClaimRolledBack, kCommit };
  struct Case {
    const char* name;
    Before before;
    int64_t elementDepth, clientDepth, backout;
  };
  const Case cases[] = {
      {"fresh connection", Before::kNothing, 1, 0, 0},
      {"after a get that found nothing", Before::kFailedGet, 0, 1, 0},
      {"after an empty unit rolled back", Before::kEmptyRollback, 0, 1, 0},
      {"holding a claim", Before::kClaim, 1, 0, 1},
      {"after a claim rolled back", Before::kClaimRolledBack, 1, 0, 1},
      {"after a committed unit", Before::kCommit, 0, 1, 0},
  };
  QLXHANDLE c1 = client("C1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QLXHANDLE e = element("E");
    if (c.before == Before::kFailedGet || c.before == Before::kEmptyRollback) {
      Got none;
      ASSERT_EQ(getRequest(e, none), 0);
      if (c.before == Before::kEmptyRollback) {
        ASSERT_EQ(rollback(e), 1);
      }
    }
    send(c1, "ECHO", "x");
    if (c.before == Before::kFailedGet || c.before == Before::kEmptyRollback) {
      // The message came after: the connection holds nothing of it, and ends so.
      Got other;
      QLXHANDLE e2 = element("E");
      ASSERT_EQ(getRequest(e2, other), 1);
      ASSERT_EQ(forward(e2, other), 1);
      ASSERT_EQ(commit(e2), 1);
      QLXHANDLE h = e2;
      ASSERT_EQ(qlxTerminate(&h), 1);
      open_.back() = 0;
    }
    Got got;
    if (c.before >= Before::kClaim) {
      ASSERT_EQ(getRequest(e, got), 1);
    }
    if (c.before == Before::kClaimRolledBack) {
      ASSERT_EQ(rollback(e), 1);
    }
    if (c.before == Before::kCommit) {
      ASSERT_EQ(forward(e, got), 1);
      ASSERT_EQ(commit(e), 1);
    }
    QLXHANDLE h = e;
    ASSERT_EQ(qlxTerminate(&h), 1) << lastReason();
    for (QLXHANDLE& open : open_)
      if (open == e) open = 0;
    std::vector<ServerStats> servers;
    std::string error;
    ASSERT_TRUE(store_->elementServers(servers, error)) << error;
    for (const ServerStats& s : servers)
      if (s.element == "E") {
        EXPECT_EQ(s.servers, 0) << "the registration outlived the end";
      }
    std::vector<std::string> returned;
    EXPECT_EQ(store_->recoverEnded(returned), 0) << store_->errorText();
    EXPECT_TRUE(returned.empty());
    const QueueInfo requests = queue("element:E");
    EXPECT_EQ(requests.depth, c.elementDepth);
    EXPECT_EQ(requests.inFlight, 0);
    EXPECT_EQ(queue("client:C1").depth, c.clientDepth);
    QLXHANDLE next = element("E");
    Got again, answer;
    if (c.elementDepth > 0) {
      ASSERT_EQ(getRequest(next, again), 1);
      EXPECT_EQ(again.msg.BackoutCount, c.backout);
    }
    if (c.clientDepth > 0) {
      ASSERT_EQ(getResponse(c1, answer, 0), 1);
    }
    ASSERT_EQ(commit(next), 1);
    ASSERT_EQ(commit(c1), 1);
    h = next;
    ASSERT_EQ(qlxTerminate(&h), 1);
    open_.back() = 0;
  }
}

}  // namespace
}  // namespace qlx::test

namespace qlx::test {
namespace {

// The operator's listings while another process puts all the time: with one message held
// by a unit, every listing shows exactly that one in flight, whatever came in meanwhile
// (counts read at two moments showed new messages as claimed, or fewer in flight than held).
TEST_F(BrokerUnits, ListingsOfABusyQueueAgreeWithThemselves) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "held");
  Got held;
  ASSERT_EQ(getRequest(e, held), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> puts{0};
  std::atomic<bool> gaveUp{false};
  std::thread writer([&] {
    std::unique_ptr<BrokerStore> other = makeBrokerStore();
    std::string error;
    if (!other->open(error)) return void(gaveUp = true);
    MessageRow row;
    row.queue = "element:E";
    row.body = "busy";
    while (!stop && other->put(row)) {
      ++puts;
      usleep(200);  // leaves the embedded store's lock free for the listings now and then
    }
  });
  // The listings start once the writer puts: on a loaded machine its start can take
  // longer than all of them.
  for (int waited = 0; puts == 0 && !gaveUp && waited < 10000; ++waited) usleep(1000);
  for (int i = 0; i < 60 && !HasFailure(); ++i) {
    const QueueInfo listed = queue("element:E");
    EXPECT_EQ(listed.inFlight, 1) << "listing " << i;
    EXPECT_GE(listed.depth, 0) << "listing " << i;
    std::vector<BrowsedMessage> rows;
    std::string error;
    ASSERT_TRUE(store_->browse("element:E", rows, error)) << error;
    int claimed = 0;
    for (const BrowsedMessage& m : rows) claimed += m.claimed ? 1 : 0;
    EXPECT_EQ(claimed, 1) << "browse " << i << " of " << rows.size() << " messages";
  }
  stop = true;
  writer.join();
  EXPECT_FALSE(gaveUp) << "the writer could not open the broker";
  EXPECT_GT(puts.load(), 0) << "the writer never put";
  ASSERT_EQ(rollback(e), 1);
}

}  // namespace
}  // namespace qlx::test
