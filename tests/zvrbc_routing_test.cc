// The broker component end to end: the real zvrbc serves element ZVRBC1 of service ROUTED
// (ZVRBC1, then the client) with a sample map, and the broker's queues, log and error
// queues show where each response went. The routelist map takes its route entries from the
// request body ("route:ACTION:SERVICE" lines), so one map gives every routing case.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

const char* const kDirectory = R"toml(
[element.ZVRBC1]
formats = ["*"]
default_actions = 1
[element.S1E]
formats = ["*"]
[client.C1]
formats = []
[service.ROUTED]
workflow = ["element:ZVRBC1", "origin"]
[service.S1]
workflow = ["element:S1E"]
)toml";

// Theme closes the component may make in a case: every qlxCloseHandle of ZVRBC1 uses up
// one injected failure (which the component ignores), so the faults left count the calls.
constexpr int kCloseBudget = 100;

struct RoutingCase {
  const char* name;
  std::vector<std::string> options;  // after -e ZVRBC1
  std::string body;
  std::vector<std::string> toClient;  // bodies at client C1, in order
  int toS1;                           // responses at S1's element
  int forwarded;                      // ZVRTB0007 lines in the log
  int closes;                         // theme handles closed
  int reported;                       // requests on ZVRBC1's error queue
  std::vector<std::string> logged;    // texts the log must hold
  std::vector<std::string> absent;    // texts it must not hold
};

void PrintTo(const RoutingCase& c, std::ostream* os) { *os << c.name; }

class ZvrbcTest : public zvr::testing::ServerHome {
 protected:
  std::string directoryText() const override { return kDirectory; }

  void SetUp() override {
    ServerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!haveProgram("zvrbc")) GTEST_SKIP() << "this build has no zvrbc";
  }

  // Messages on `queue` now, as qlxadm browse counts them (in flight included).
  int depth(const std::string& queue) const {
    const std::string listing = adminText("browse '" + queue + "'");
    std::smatch match;
    if (!std::regex_search(listing, match, std::regex(": (\\d+) message\\(s\\)"))) return -1;
    return std::stoi(match[1]);
  }

  // True once `queue` stays empty: the component has committed what it took.
  bool drained(const std::string& queue, int millis = 10000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    do {
      if (depth(queue) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // Closes counted by the injected faults that are left.
  int closesMade() const {
    const std::string list = adminText("fault list");
    std::smatch match;
    if (!std::regex_search(list, match, std::regex("closehandle .*, (\\d+) more")))
      return kCloseBudget;
    return kCloseBudget - std::stoi(match[1]);
  }
};

class ZvrbcRoutingTest : public ZvrbcTest,
                         public ::testing::WithParamInterface<RoutingCase> {};

TEST_P(ZvrbcRoutingTest, ResponsesGoWhereTheOutputSays) {
  const RoutingCase& c = GetParam();
  ASSERT_EQ(qlxadm("fault closehandle 2 --count " + std::to_string(kCloseBudget) +
                   " --for ZVRBC1"), 0);
  std::vector<std::string> args{"-e", "ZVRBC1"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  ChildProcess server = start("zvrbc", args);
  ASSERT_TRUE(waitForLog("Quor Broker Component Initialized.")) << server.standardError();
  ASSERT_TRUE(send("ROUTED", "C1", c.body, "ORDERS"));
  EXPECT_TRUE(drained("element:ZVRBC1")) << adminText("queues");
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0) << server.standardError();

  for (const std::string& expected : c.toClient) {
    std::string body;
    EXPECT_TRUE(awaitMessage("client:C1", body, 0));
    EXPECT_EQ(body, expected + "\n");
  }
  EXPECT_EQ(depth("client:C1"), 0);
  EXPECT_EQ(depth("element:S1E"), c.toS1);
  EXPECT_EQ(logCount("ZVRTB0007"), static_cast<size_t>(c.forwarded));
  EXPECT_EQ(closesMade(), c.closes);
  const std::string errors = adminText("errors ZVRBC1");
  EXPECT_EQ(errors.find("no entries on the error queues") == std::string::npos, c.reported > 0)
      << errors;
  for (const std::string& text : c.logged) EXPECT_GE(logCount(text), 1u) << text;
  for (const std::string& text : c.absent) EXPECT_EQ(logCount(text), 0u) << text;
}

const std::string kUnknown = "route:INSERT:S1\nroute:BOGUS:S1\nroute:NOTIFY:";

INSTANTIATE_TEST_SUITE_P(
    Zvrbc, ZvrbcRoutingTest,
    ::testing::Values(
        RoutingCase{"OneFrameWithoutRouting", {"-map", "routelist_so"}, "plain",
                    {"plain"}, 0, 1, 1, 0, {}, {"ZVRTB0002"}},
        RoutingCase{"TwoFramesInOrder", {"-map", "twocards_so"}, "two",
                    {"two", "TWO"}, 0, 2, 1, 0, {}, {}},
        RoutingCase{"InsertThenNotify", {"-map", "routelist_so", "-hdr"},
                    "route:INSERT:S1\nroute:NOTIFY:", {"route:INSERT:S1\nroute:NOTIFY:"}, 1,
                    0, 2, 0, {}, {}},
        RoutingCase{"EmptyEntryBeforeARoutedOne", {"-map", "routelist_so", "-d"},
                    "route::\nroute:INSERT:S1", {"route::\nroute:INSERT:S1"}, 1, 1, 2, 0,
                    {"ZVRTB0002"}, {}},
        RoutingCase{"EmptyEntryAfterARoutedOne", {"-map", "routelist_so"},
                    "route:INSERT:S1\nroute::", {}, 1, 0, 2, 0, {}, {}},
        RoutingCase{"TwoEmptyEntriesForwardOnce", {"-map", "routelist_so"},
                    "route::\nroute::", {"route::\nroute::"}, 0, 1, 1, 0, {}, {}},
        // The insert is put, then the walk stops: the unit is rolled back and the
        // redelivered request goes to the error profile. -d shows the notify never ran.
        RoutingCase{"UnknownActionStopsTheWalk", {"-map", "routelist_so", "-d"}, kUnknown,
                    {}, 0, 0, 2, 1,
                    {"Insert workflow with 'S1'", "Invalid action ``BOGUS'' specified in the "
                     "routing.", "ZVRS0005"},
                    {"Notifying original client", "ZVRTB0007"}},
        RoutingCase{"ZeroLengthFrameIsSkipped", {"-map", "emptyfirst_so", "-d"}, "after",
                    {"after"}, 0, 1, 1, 0, {"ZVRTB0008"}, {}},
        // Unframed: each byte reads as an empty frame and nothing is put, so the request
        // goes to the error profile rather than being committed away unprocessed.
        RoutingCase{"OutputNotFramed", {"-map", "identity_so", "-options", "-oe1"}, "hello",
                    {}, 0, 0, 0, 1,
                    {"ZVRTB0008", "Add the output framing option -oe1s to the map's"},
                    {"ZVRTB0007", "ZVRM0005"}},
        RoutingCase{"LengthWithoutTerminator", {"-map", "identity_so", "-options", "-oe1"},
                    "12", {}, 0, 0, 0, 1, {"ZVRM0005"}, {}},
        // Unframed identity output is the body itself: frames written by hand.
        RoutingCase{"HandWrittenFrames", {"-map", "identity_so", "-options", "-oe1"},
                    "5 hello3\nabc", {"hello", "abc"}, 0, 2, 1, 0, {}, {}},
        // The first frame is put, the second claims more than is left: rolled back, and
        // the redelivered request goes to the error profile.
        RoutingCase{"FrameLongerThanTheRest", {"-map", "identity_so", "-options", "-oe1"},
                    "5 hello9 abc", {}, 0, 1, 1, 1, {"ZVRM0006", "ZVRS0005"}, {}}),
    [](const ::testing::TestParamInfo<RoutingCase>& info) { return info.param.name; });

TEST_F(ZvrbcTest, RequiredIsRefused) {
  std::string errors;
  EXPECT_EQ(runToEnd("zvrbc", {"-required"}, 5000, &errors), 1);
  const std::string usage =
      "Usage: " + programPath("zvrbc") +
      " [ -e be_name ] [ -logMsg ] [ -silent ] [-clear] [-force] [ -nosync ] [ -hdr ]"
      " [ -options map_options ] [ -path path ] [ -map mapname ] [ -prefix prefix_char ]"
      " [ -key dictionary ] [ -destination ] [-keyinmem]\n";
  ASSERT_GE(errors.size(), usage.size()) << errors;
  EXPECT_EQ(errors.substr(errors.size() - usage.size()), usage);
}

// The sample directory as shipped: service BROKER runs ZVRBC1, whose dictionary entry for
// INVOICE requests to C1 is the route map; its INSERT of SVC2 sends the response through
// element E before it comes back, a NOTIFY straight back.
TEST_F(ZvrbcTest, SampleDirectoryRoutesInsertAndNotify) {
  std::string output;
  const std::string directory = zvr::testing::directoryForThisBuild(
      ZVR_SOURCE_DIR "/examples/directory.toml", home() + "/example-directory.toml");
  ASSERT_EQ(qlxadm("load '" + directory + "'", &output), 0) << output;
  ChildProcess server = start("zvrbc", {"-e", "ZVRBC1", "-destination"});
  ASSERT_TRUE(waitForLog("Quor Broker Component Initialized.")) << server.standardError();
  ChildProcess echo({zvr::testing::qlxadmPath(), "echo", "E", "--count", "1"},
                    home() + "/echo.out", home() + "/echo.err");

  const std::string send = "send BROKER --as C1 --format INVOICE --wait 10000 ";
  ASSERT_EQ(qlxadm(send + "'invoice 17'", &output), 0) << output;
  EXPECT_NE(output.find("invoice 17"), std::string::npos) << output;
  EXPECT_EQ(echo.wait(5000), 0) << echo.standardError();

  ASSERT_EQ(qlxadm("set ZVRBroker 'INVOICE C1' \"'route' -action NOTIFY -oe1s\"", &output), 0)
      << output;
  ASSERT_EQ(qlxadm(send + "'invoice 18'", &output), 0) << output;
  EXPECT_NE(output.find("invoice 18"), std::string::npos) << output;
  EXPECT_EQ(depth("element:E"), 0);

  EXPECT_EQ(server.stop(SIGTERM, 5000), 0) << server.standardError();
  EXPECT_EQ(logCount("ZVRTB0007"), 0u);
}

}  // namespace
