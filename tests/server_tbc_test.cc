// zvrtbc end to end: one request through the real program, the embedded broker and the
// stand-in engine with the sample maps, for each way a map's output, the -required
// pass-through and the dictionary-driven map choice can go. Each row says where the request
// ends (a response at the client, the error profile, or consumed) and which log texts it
// leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

enum Outcome { kResponse, kErrorProfile, kConsumed };

struct Row {
  const char* name;
  std::vector<std::string> args;  // after -e T
  const char* service;
  const char* format;
  const char* body;
  Outcome outcome;
  const char* response;  // the body the client gets (kResponse)
  std::vector<std::string> logged;
  std::vector<std::string> notLogged;
};

class ZvrtbcEndToEnd : public zvr::testing::ServerHome {
 protected:
  std::string directoryText() const override {
    return R"toml(
[element.T]
formats = ["*"]
[client.C1]
formats = ["ORDERSUP"]
[service.S]
workflow = ["element:T", "origin"]
[service.DGRAM]
workflow = ["element:T"]
[dictionary.ZVRBroker]
pairs = [
  ["ORDERS C1", "upper_so -oe1s"],
  ["ORDERS ZVRDatagram", "identity_so"],
  ["BROKEN C1", ""],
]
)toml";
  }
  void SetUp() override {
    ServerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!haveProgram("zvrtbc")) GTEST_SKIP() << "zvrtbc is not part of this build";
  }

  // Waits until the request is done with: answered, on the error queue, or gone.
  bool settled(const Row& row, std::string& response) {
    if (row.outcome == kResponse) return awaitMessage("client:C1", response);
    for (int i = 0; i < 500; ++i) {
      const QueueState state = queueState("element:T");
      if (state.depth == 0 && state.inFlight == 0 &&
          (row.outcome == kConsumed || adminText("errors T").find(row.body) != std::string::npos))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void runRow(const Row& row) {
    SCOPED_TRACE(row.name);
    const size_t logStart = logText().size();
    std::vector<std::string> args = {"-e", "T"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ASSERT_TRUE(send(row.service, "C1", row.body, row.format));
    ChildProcess server = start("zvrtbc", args);
    std::string response;
    EXPECT_TRUE(settled(row, response)) << server.standardError() << logText();
    EXPECT_EQ(server.stop(SIGTERM, 1000), 0);
    if (row.outcome == kResponse) {
      EXPECT_EQ(response, std::string(row.response) + "\n");
    }
    const std::string log = logText().substr(logStart);
    for (const std::string& text : row.logged)
      EXPECT_NE(log.find(text), std::string::npos) << "missing: " << text << "\n" << log;
    for (const std::string& text : row.notLogged)
      EXPECT_EQ(log.find(text), std::string::npos) << "unexpected: " << text << "\n" << log;
    EXPECT_EQ(queueState("client:C1").depth, 0) << "only one response";
    std::string ignored;
    qlxadm("reset", &ignored);
  }
};

const char* const kRouting =
    "ZVRTT0004\n    WARNING: Transformed buffer contains dynamic routing information.\n"
    "    User Action: This Transformation Component does not support dynamic routing. Use "
    "the Quor Broker Component for routing.";
const char* const kMoreCards =
    "ZVRTT0006\n    WARNING: Transformed buffer contains data from more than one output card.\n"
    "    User Action: This Transformation Component does not support multiple output cards. "
    "Use the Quor Broker Component for fanout.";

const char* const kAskForFrames =
    "Add the output framing option -oe1s to the map's engine options.";

TEST_F(ZvrtbcEndToEnd, MapOutputFrames) {
  const std::vector<Row> rows = {
      {"one frame", {"-map", "upper_so"}, "S", "ORDERS", "one frame", kResponse, "ONE FRAME",
       {}, {"ZVRTT0004", "ZVRTT0006", "ZVRS0012"}},
      {"one frame, no units of work, logged", {"-map", "upper_so", "-nosync", "-logMsg"}, "S",
       "ORDERS", "logged", kResponse, "LOGGED", {"Quor Request"}, {"ZVRTT"}},
      {"descriptor header read back", {"-map", "identity_so", "-hdr"}, "S", "ORDERS",
       "with header", kResponse, "with header", {}, {"ZVRTT", "ZVRM"}},
      {"routing ignored", {"-map", "route_so"}, "S", "ORDERS", "routed", kResponse, "routed",
       {kRouting}, {"ZVRTT0006"}},
      {"two frames: the first only", {"-map", "twocards_so"}, "S", "ORDERS", "two cards",
       kResponse, "two cards", {kMoreCards}, {"ZVRTT0004"}},
      {"empty first frame", {"-map", "emptyfirst_so", "-d"}, "S", "ORDERS", "empty first",
       kErrorProfile, nullptr, {"ZVRTT0005\n    WARNING: Empty buffer returned from "
                                "transformation."}, {}},
      // Unframed output is checked whole before anything is put: none of it may go on as
      // a response cut at its first "frame".
      {"output not framed", {"-map", "identity_so", "-options", "-x"}, "S", "ORDERS",
       "hello", kErrorProfile, nullptr, {"ZVRM0006", kAskForFrames}, {"ZVRTT0006"}},
      {"not framed, starts with a length", {"-map", "upper_so", "-options", "-x"}, "S",
       "ORDERS", "3 widgets and 12 nuts", kErrorProfile, nullptr,
       {"ZVRM0006", "(no length at byte 5 of 21)", kAskForFrames}, {"ZVRTT0006"}},
      {"a frame, then unframed bytes", {"-map", "identity_so", "-options", "-x"}, "S",
       "ORDERS", "5 hello and more", kErrorProfile, nullptr,
       {"ZVRM0006", "(no length at byte 7 of 16)"}, {"ZVRTT0006"}},
      {"frame length beyond the output", {"-map", "identity_so", "-options", "-x"}, "S",
       "ORDERS", "9 short", kErrorProfile, nullptr, {"ZVRM0006", "a length beyond"}, {}},
      {"length never ends", {"-map", "identity_so", "-options", "-x"}, "S", "ORDERS",
       "12345", kErrorProfile, nullptr, {"ZVRM0005", kAskForFrames}, {}},
      {"map fails", {"-map", "fail_so"}, "S", "ORDERS", "rejected", kErrorProfile, nullptr,
       {"ZVRT0002"}, {}},
  };
  for (const Row& row : rows) runRow(row);
}

// -required: a request whose next hop (C1 accepts ORDERSUP) already takes its format runs
// no map and goes on exactly as it came; any other request is transformed.
TEST_F(ZvrtbcEndToEnd, RequiredForwardsWhatTheHopAccepts) {
  const std::vector<Row> rows = {
      {"hop accepts: no map", {"-required", "-map", "fail_so"}, "S", "ORDERSUP",
       "as it came", kResponse, "as it came", {}, {"ZVRT0002"}},
      {"hop refuses: transformed", {"-required", "-map", "upper_so"}, "S", "ORDERS",
       "changed", kResponse, "CHANGED", {}, {}},
      {"without -required: transformed", {"-map", "upper_so"}, "S", "ORDERSUP", "always",
       kResponse, "ALWAYS", {}, {}},
  };
  for (const Row& row : rows) runRow(row);
}

TEST_F(ZvrtbcEndToEnd, DestinationChoosesTheMapFromTheDictionary) {
  for (bool inMemory : {false, true}) {
    std::vector<std::string> args = {"-destination"};
    if (inMemory) args.push_back("-keyinmem");
    SCOPED_TRACE(inMemory ? "-keyinmem" : "directory");
    const std::vector<Row> rows = {
        {"entry found", args, "S", "ORDERS", "by dictionary", kResponse, "BY DICTIONARY", {},
         {"ZVRD0006"}},
        {"entry missing", args, "S", "INVOICE", "no entry", kErrorProfile, nullptr,
         {"ZVRD0006\n    ERROR: Unable to locate or invalid dictionary entry ``INVOICE C1''."},
         {}},
        {"empty value", args, "S", "BROKEN", "empty value", kErrorProfile, nullptr,
         {"ZVRT0003\n    ERROR: Unable to determine map name."}, {}},
        // At the end of its workflow the destination is "ZVRDatagram"; the response has
        // nowhere to go and is dropped with ZVRR0019.
        {"datagram", args, "DGRAM", "ORDERS", "datagram", kConsumed, nullptr, {"ZVRR0019"},
         {"ZVRD0006", "ZVRT0003"}},
    };
    for (const Row& row : rows) runRow(row);
  }
}

}  // namespace
