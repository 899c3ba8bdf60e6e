// Stopping a component server: SIGINT and SIGTERM, at any moment after start-up, end it
// with status 0 within a second, and a request in hand is finished and committed first:
// every request sent is then either answered or still waiting on the element's queue,
// none is in flight and none is lost. Run against zvrtbc and, where built, zvrbc.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

constexpr int kExitWithinMillis = 1000;
constexpr const char* kInterrupted =
    "Quor Transformation Component Shutting Down.\n    Reason: Interrupted by user.";

class ServerStop : public zvr::testing::EachServer {
 protected:
  // The child-process map takes a few milliseconds a request, so that signals land in the
  // middle of requests as well as between them.
  ChildProcess startServer() { return start(GetParam(), {"-e", "T", "-map", "identity"}); }

  std::mt19937 random_{std::random_device{}()};
  int randomMillis(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }
};

TEST_P(ServerStop, IdleServerEndsWithin1sOfEverySignal) {
  constexpr int kRounds = 16;
  for (int round = 0; round < kRounds; ++round) {
    const int number = round % 2 ? SIGINT : SIGTERM;
    SCOPED_TRACE("round " + std::to_string(round) + " signal " + std::to_string(number));
    ChildProcess server = startServer();
    ASSERT_TRUE(waitUntilServing(server)) << server.standardError();
    // Anywhere in the wait for a request, at its very start as well as long into it.
    std::this_thread::sleep_for(std::chrono::milliseconds(randomMillis(700)));
    server.signal(number);
    ASSERT_EQ(server.wait(kExitWithinMillis), 0) << server.standardError();
  }
  EXPECT_EQ(logCount(kInterrupted), static_cast<size_t>(kRounds));
}

TEST_P(ServerStop, RequestInHandIsFinishedAndCommitted) {
  constexpr int kRequests = 8;
  int sent = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (int i = 0; i < kRequests; ++i, ++sent)
      ASSERT_TRUE(send("S", "C1", "request " + std::to_string(sent)));
    ChildProcess server = startServer();
    ASSERT_TRUE(waitUntilServing(server)) << server.standardError();
    std::this_thread::sleep_for(std::chrono::milliseconds(randomMillis(120)));
    server.signal(round % 2 ? SIGINT : SIGTERM);
    ASSERT_EQ(server.wait(kExitWithinMillis), 0) << server.standardError();
    const QueueState element = queueState("element:T");
    const QueueState client = queueState("client:C1");
    EXPECT_EQ(element.inFlight, 0);
    EXPECT_EQ(element.backedOut, 0);
    EXPECT_EQ(element.depth + client.depth, sent);
  }
  // Every request comes back exactly once, in the order sent.
  ChildProcess server = startServer();
  std::string body;
  for (int i = 0; i < sent; ++i) {
    ASSERT_TRUE(awaitMessage("client:C1", body)) << "response " << i;
    EXPECT_EQ(body, "request " + std::to_string(i) + "\n");
  }
  EXPECT_EQ(server.stop(SIGTERM, kExitWithinMillis), 0);
}

// A signal while the server is still starting (connecting, reading its directory) is kept
// and ends the loop before the first request is taken.
TEST_P(ServerStop, SignalDuringStartUpEndsBeforeTheFirstRequest) {
  ASSERT_TRUE(send("S", "C1", "not taken"));
  ChildProcess server = startServer();
  ASSERT_TRUE(waitForLog(std::to_string(server.pid()) + " - INFO Initializing Quor Business "
                                                        "Element..."));
  EXPECT_EQ(server.stop(SIGTERM, kExitWithinMillis), 0);
  EXPECT_EQ(queueState("element:T").depth + queueState("client:C1").depth, 1);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerStop, ::testing::Values("zvrtbc", "zvrbc"));

}  // namespace
