// The error queues: a failed request listed with what an operator needs, put back on its
// element's queue intact and served again, or purged; a refused operation moves nothing.
#include "errorqueue.h"

#include <chrono>
#include <thread>

#include "broker_test_util.h"

namespace qlx::test {
namespace {

class ErrorQueue : public BrokerTest {
 protected:
  // Sends `body` to ECHO as C1, lets E take it `tries` times (rolling back all but the
  // last) and report it to the error profile, and commits: the request is then on E's
  // error queue. Without `withTheme` the report names no theme.
  void failAtE(const std::string& body, int tries = 1, bool withTheme = true) {
    send(client_, "ECHO", body);
    for (int i = 1; i < tries; ++i) {
      Got got;
      ASSERT_EQ(getRequest(e_, got), 1);
      ASSERT_EQ(rollback(e_), 1);
    }
    Got got;
    ASSERT_EQ(getRequest(e_, got), 1) << lastReason();
    QLXEPOPT options = kQlxEpOptDefault;
    QLXEXCEPTION exception = kQlxExceptionDefault;
    exception.Flags = kQlxExcError;
    exception.Error.Flags = kQlxErrorReason | kQlxErrorSubReason;
    exception.Error.Reason.Code = 4711;
    exception.Error.SubReason.Code = 7;
    QLXSYNC sync = syncOf(1);
    ASSERT_EQ(qlxReportError(e_, &options, &got.msg, &exception, &sync,
                             withTheme ? &got.theme : nullptr),
              1)
        << lastReason();
    ASSERT_EQ(commit(e_), 1);
  }

  std::vector<MessageRow> entries(const std::string& element = "E") {
    std::vector<MessageRow> rows;
    std::string error;
    EXPECT_TRUE(listErrorEntries(store_, element, rows, error)) << error;
    return rows;
  }

  void SetUp() override {
    BrokerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    client_ = client("C1");
    e_ = element("E");
  }

  QLXHANDLE client_ = 0, e_ = 0;
};

TEST_F(ErrorQueue, ResubmittedRequestIsServedAgainWithItsDescriptor) {
  failAtE("order 1", 2);
  const std::vector<MessageRow> listed = entries();
  ASSERT_EQ(listed.size(), 1u);
  const MessageRow& entry = listed[0];
  ASSERT_TRUE(entry.error);
  EXPECT_EQ(entry.error->reason, 4711);
  EXPECT_EQ(entry.error->subReason, 7);
  EXPECT_EQ(entry.backout, 1);
  EXPECT_EQ(entry.body, "order 1");

  std::string error;
  EXPECT_EQ(resubmitErrors(store_, {"E", entry.id}, error), 1) << error;
  EXPECT_TRUE(entries().empty());
  Got again;
  ASSERT_EQ(getRequest(e_, again), 1) << lastReason();
  EXPECT_EQ(again.body(), "order 1");
  EXPECT_EQ(again.msg.BackoutCount, 0);  // fresh work, not a poison message
  EXPECT_EQ(std::string(again.msg.FormatName), "TESTFMT");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.msg.MsgId), 24), entry.msgId);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.msg.CorrelId), 24), entry.correlId);
  EXPECT_TRUE(again.follows());
  ASSERT_EQ(forward(e_, again), 1) << lastReason();
  ASSERT_EQ(commit(e_), 1);
  Got response;
  ASSERT_EQ(getResponse(client_, response, 0), 1) << lastReason();
  EXPECT_EQ(response.body(), "order 1");
  EXPECT_EQ(commit(client_), 1);
}

TEST_F(ErrorQueue, ResubmitAllKeepsTheOrder) {
  for (const char* body : {"a", "b", "c"}) failAtE(body);
  std::string error;
  EXPECT_EQ(resubmitErrors(store_, {"E", std::nullopt}, error), 3) << error;
  for (const char* body : {"a", "b", "c"}) {
    Got got;
    ASSERT_EQ(getRequest(e_, got, 0), 1) << lastReason();
    EXPECT_EQ(got.body(), body);
  }
  EXPECT_EQ(queue("element:E").depth, 0);
}

// An element already waiting for work gets the resubmitted request.
TEST_F(ErrorQueue, ResubmitWakesAWaitingElement) {
  failAtE("late");
  std::string body;
  std::thread waiting([&] {
    Got got;
    if (getRequest(e_, got, 0, 30000) == 1) body = got.body();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string error;
  EXPECT_EQ(resubmitErrors(store_, {"E", std::nullopt}, error), 1) << error;
  waiting.join();
  EXPECT_EQ(body, "late");
}

// Each refusal leaves both queues as they were: the transaction is all or nothing.
TEST_F(ErrorQueue, RefusedOperationsMoveNothing) {
  failAtE("kept");
  failAtE("no theme", 1, false);
  const int64_t first = entries()[0].id;
  struct Case {
    int64_t (*operation)(BrokerStore&, const ErrorSelection&, std::string&);
    ErrorSelection which;
    const char* message;
  };
  const Case cases[] = {
      {resubmitErrors, {"NOPE", std::nullopt}, "no element named NOPE"},
      {resubmitErrors, {"E", first + 99}, "holds no entry"},
      {resubmitErrors, {"F", std::nullopt}, "the error queue of F is empty"},
      {resubmitErrors, {"E", std::nullopt}, "has no workflow standing at element E"},
      {purgeErrors, {"E", first + 99}, "holds no entry"},
      {purgeErrors, {"F", std::nullopt}, "is empty"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(c.operation(store_, c.which, error), -1) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_EQ(queue("element:E").depth, 0);
  }
}

// An entry some unit of work holds stays where it is until that unit is done.
TEST_F(ErrorQueue, HeldEntryIsLeftToItsHolder) {
  failAtE("held");
  std::unique_ptr<BrokerStore> other = makeBrokerStore();
  std::string error;
  ASSERT_TRUE(other->open(error)) << error;
  MessageRow held;
  ASSERT_EQ(other->take("error:E", Match{}, Take::kClaim, held), 1);
  EXPECT_EQ(resubmitErrors(store_, {"E", std::nullopt}, error), -1);
  EXPECT_NE(error.find("is held by a unit of work"), std::string::npos) << error;
  EXPECT_EQ(purgeErrors(store_, {"E", held.id}, error), -1);
  EXPECT_EQ(entries().size(), 1u);
  // The holder lets go and ends its unit: on PostgreSQL the row lock lasts until the unit's
  // transaction ends, and a session closed instead ends it only when the server gets to it.
  other->releaseClaim(held.id);
  ASSERT_TRUE(other->rollback(UnitOfWork{})) << other->errorText();
  other.reset();
  EXPECT_EQ(resubmitErrors(store_, {"E", held.id}, error), 1) << error;
}

TEST_F(ErrorQueue, PurgeRemovesOneOrAll) {
  for (const char* body : {"a", "b", "c"}) failAtE(body);
  std::string error;
  EXPECT_EQ(purgeErrors(store_, {"E", entries()[1].id}, error), 1) << error;
  ASSERT_EQ(entries().size(), 2u);
  EXPECT_EQ(entries()[1].body, "c");
  EXPECT_EQ(purgeErrors(store_, {"E", std::nullopt}, error), 2) << error;
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(queue("element:E").depth, 0);
}

}  // namespace
}  // namespace qlx::test
