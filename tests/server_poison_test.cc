// A request that cannot be processed is never lost: the component servers hand it to the
// error profile, roll it back for redelivery, or stop until the operator restarts them with
// -force or -clear, and the loop ends with the statuses the operator's scripts expect.
// Middleware failures are injected with `qlxadm fault`. Run against zvrtbc and, where
// built, zvrbc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

class ServerPoison : public zvr::testing::EachServer {
 protected:
  std::string directoryText() const override {
    return "[element.T]\nformats = [\"*\"]\n[client.C1]\nformats = []\n"
           "[service.S]\nworkflow = [\"element:T\", \"origin\"]\n"
           "[service.SVC2]\nworkflow = [\"client:C1\"]\n";
  }

  void fault(const std::string& args) {
    std::string output;
    ASSERT_EQ(qlxadm("fault " + args + " --for T", &output), 0) << output;
  }

  // Runs the server with `extra` options over map `map` until it stops by itself; with
  // `stop` it is sent SIGTERM once the element's queue is empty and nothing is in flight.
  int serve(const std::vector<std::string>& extra, bool stop = false,
            const std::string& map = "upper_so") {
    std::vector<std::string> args = {"-e", "T", "-map", map};
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess server = start(GetParam(), args);
    if (stop) {
      for (int i = 0; i < 500 && server.running(); ++i) {
        const QueueState state = queueState("element:T");
        if (state.depth == 0 && state.inFlight == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      server.signal(SIGTERM);
    }
    const int status = server.wait(10000);
    lastErrors_ = server.standardError();
    return status;
  }

  // The request's redelivery count, as the broker keeps it.
  long long backouts() { return queueState("element:T").maxBackout; }

  std::string lastErrors_;
};

TEST_P(ServerPoison, PoisonMessageWalksTheOutcomeTable) {
  ASSERT_TRUE(send("S", "C1", "poison one"));

  // A failed commit ends the component; the unit is rolled back: backout count 1.
  fault("commit 45");
  EXPECT_EQ(serve({}), 1) << lastErrors_;
  EXPECT_TRUE(waitForLog("ZVRR0003\n    ERROR: Unable to commit transaction.", 0)) << logText();
  EXPECT_EQ(backouts(), 1);

  // Backout count 1 and an error profile that fails: ZVRS0001, rolled back (count 2); the
  // next delivery is count 2: ZVRS0006, rolled back, the component stops with status 0.
  fault("reporterror 23");
  EXPECT_EQ(serve({}), 0) << lastErrors_;
  EXPECT_TRUE(waitForLog("ZVRS0001\n    SEVERE: Error profile failed.", 0)) << logText();
  EXPECT_TRUE(waitForLog("ZVRS0006\n    SEVERE: Poison message retrieved (backout count 2).\n"
                         "    User Action: Specify -force or -clear command line option to "
                         "handle message.",
                         0))
      << logText();
  EXPECT_EQ(backouts(), 3);

  // Restarted plainly it stops again at once.
  EXPECT_EQ(serve({}), 0);
  EXPECT_TRUE(waitForLog("Poison message retrieved (backout count 3).", 0));
  EXPECT_EQ(queueState("client:C1").depth, 0);

  // -force processes it once more without the check and stops after it.
  EXPECT_EQ(serve({"-force"}), 0) << lastErrors_;
  std::string body;
  ASSERT_TRUE(awaitMessage("client:C1", body, 0));
  EXPECT_EQ(body, "POISON ONE\n");
  EXPECT_EQ(queueState("element:T").depth, 0);
}

TEST_P(ServerPoison, ClearTakesThePoisonMessageOffUnprocessed) {
  ASSERT_TRUE(send("S", "C1", "poison two"));
  fault("commit 45 --count 2");
  EXPECT_EQ(serve({}), 1);  // processed, commit fails: count 1
  // Count 1 goes to the error profile, whose commit fails: rolled back, count 2, status 1.
  EXPECT_EQ(serve({}), 1);
  EXPECT_EQ(backouts(), 2);
  EXPECT_EQ(serve({"-clear"}), 0) << lastErrors_;
  EXPECT_TRUE(waitForLog("ZVRS0004\n    INFO: Message cleared from queue.\n    User Action: No "
                         "action required; the operation was successful.",
                         0))
      << logText();
  const QueueState element = queueState("element:T");
  EXPECT_EQ(element.depth + element.inFlight, 0);
  EXPECT_EQ(queueState("client:C1").depth, 0);
}

// Each row: what makes processing fail, and where the request ends.
struct FailureRow {
  const char* name;
  const char* program;  // only this program, or null for both
  const char* map;
  const char* body;
  const char* logged;  // in the log after the run
};

TEST_P(ServerPoison, FailedRequestsReachTheErrorProfile) {
  const std::vector<FailureRow> rows = {
      // No put yet: reported to the error profile at once and committed away.
      {"map fails", nullptr, "fail_so", "to the error profile",
       "ZVRT0002\n    ERROR: Unable to transform message."},
      // zvrbc's first route entry is put before the second fails: rolled back, then back
      // with count 1 and reported (ZVRS0005).
      {"fails after a put", "zvrbc", "routelist_so", "route:INSERT:SVC2\nroute:BOGUS:SVC2",
       "ZVRS0005\n    WARNING: Poison message retrieved (backout count 1)."},
  };
  for (const FailureRow& row : rows) {
    if (row.program && GetParam() != std::string(row.program)) continue;
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(send("S", "C1", row.body));
    EXPECT_EQ(serve({}, true, row.map), 0) << lastErrors_;
    EXPECT_TRUE(waitForLog(row.logged, 0)) << logText();
    EXPECT_NE(adminText("errors T").find(std::string(row.body).substr(0, 10)),
              std::string::npos)
        << adminText("errors T");
    EXPECT_EQ(queueState("element:T").depth, 0);
    EXPECT_EQ(queueState("client:C1").depth, 0);
  }
}

TEST_P(ServerPoison, RedeliveredOnceGoesToTheErrorProfileUnprocessed) {
  ASSERT_TRUE(send("S", "C1", "back once"));
  fault("commit 45");
  EXPECT_EQ(serve({}), 1);
  EXPECT_EQ(serve({}, true), 0) << lastErrors_;
  EXPECT_TRUE(waitForLog("ZVRS0005\n    WARNING: Poison message retrieved (backout count 1).\n"
                         "    User Action: None required. Message handled according to error "
                         "profile.",
                         0))
      << logText();
  EXPECT_NE(adminText("errors T").find("back once"), std::string::npos);
  EXPECT_EQ(queueState("client:C1").depth, 0);
}

TEST_P(ServerPoison, ThreeFailedGetsInARowEndTheComponent) {
  fault("getrequest 29 --count 3");
  EXPECT_EQ(serve({}), 1) << lastErrors_;
  EXPECT_TRUE(waitForLog("ZVRS0002\n    SEVERE: Unable to get a request after 3 attempts.", 0))
      << logText();
  EXPECT_EQ(logCount("ZVRR0002\n    WARNING: Unable to get a request message."), 3u);

  // Two failures and then a request: the count starts again and the component goes on.
  ASSERT_TRUE(send("S", "C1", "after two"));
  fault("getrequest 29 --count 2");
  EXPECT_EQ(serve({}, true), 0) << lastErrors_;
  std::string body;
  EXPECT_TRUE(awaitMessage("client:C1", body, 0));
  EXPECT_EQ(body, "AFTER TWO\n");
  EXPECT_EQ(logCount("Unable to get a request after"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerPoison, ::testing::Values("zvrtbc", "zvrbc"));

}  // namespace
