// The way back from an error queue with the real transformation component: a request that
// zvrtbc cannot transform (no map can be chosen for it) lands on the element's
// error queue; the operator adds the missing entry and resubmits, and the request
// completes at the client that sent it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

class ResubmitToServer : public zvr::testing::ServerHome {
 protected:
  std::string directoryText() const override {
    return R"toml(
[element.T]
formats = ["*"]
[client.C1]
formats = ["ORDERSUP"]
[service.S]
workflow = ["element:T", "origin"]
[dictionary.ZVRBroker]
pairs = [["ORDERS C1", "upper_so -oe1s"]]
)toml";
  }
  void SetUp() override {
    ServerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!haveProgram("zvrtbc")) GTEST_SKIP() << "zvrtbc is not part of this build";
  }

  // True once `qlxadm errors T` holds `text` (within five seconds).
  bool onErrorQueue(const std::string& text) {
    for (int i = 0; i < 500; ++i) {
      if (adminText("errors T").find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

TEST_F(ResubmitToServer, FailedRequestIsResubmittedAfterTheFixAndCompletes) {
  ChildProcess server = start("zvrtbc", {"-e", "T", "-destination", "-silent"});
  ASSERT_TRUE(waitUntilServing(server)) << server.standardError();
  ASSERT_TRUE(send("S", "C1", "invoice 9", "INVOICE"));
  ASSERT_TRUE(onErrorQueue("body (9 bytes): invoice 9")) << adminText("errors T") << logText();
  EXPECT_NE(adminText("errors T").find("ZVRT0003"), std::string::npos) << adminText("errors T");
  EXPECT_EQ(queueState("client:C1").depth, 0);

  std::string output;
  ASSERT_EQ(qlxadm("set ZVRBroker 'INVOICE C1' 'upper_so -oe1s'", &output), 0) << output;
  ASSERT_EQ(qlxadm("resubmit T --all", &output), 0) << output;
  std::string response;
  ASSERT_TRUE(awaitMessage("client:C1", response, 20000)) << logText();
  EXPECT_EQ(response, "INVOICE 9\n");
  EXPECT_EQ(adminText("errors T"), "no entries on the error queues\n");
  const QueueState element = queueState("element:T");
  EXPECT_EQ(element.depth + element.inFlight, 0);
  EXPECT_EQ(server.stop(SIGTERM, 2000), 0);
}

}  // namespace
