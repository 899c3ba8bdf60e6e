// Command lines of the component servers: every refused combination ends with its message,
// the usage text and status 1 before anything connects (the layers' options and texts are
// tested in process by zvrtrans/tsiservice_test). Run against zvrtbc and, where this
// build has it, zvrbc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

constexpr const char* kUsageTail =
    " [ -e be_name ] [ -logMsg ] [ -silent ] [-clear] [-force] [ -nosync ] [ -hdr ]"
    " [ -options map_options ] [ -path path ] [ -map mapname ] [ -prefix prefix_char ]"
    " [ -key dictionary ] [ -destination ] [-keyinmem]";

class ServerOptions : public zvr::testing::EachServer {
 protected:
  std::string program() const { return GetParam(); }
  std::string usageText() const {
    std::string text = "\nUsage: " + programPath(program()) + kUsageTail;
    return text + (program() == "zvrtbc" ? " [ -required ]\n" : "\n");
  }
};

struct RefusedLine {
  std::vector<std::string> args;
  std::string message;  // the id and text logged; empty: usage alone
};

TEST_P(ServerOptions, RefusedCommandLinesEndWithUsageAndStatus1) {
  const std::vector<RefusedLine> cases = {
      {{"-clear", "-force"},
       "ZVRS0009\nERROR: Incompatible options ``-clear'' and ``-force'' specified on startup."},
      {{"-silent", "-logMsg"},
       "ZVRS0009\nERROR: Incompatible options ``-silent'' and ``-logMsg'' specified on "
       "startup."},
      {{"-destination", "-prefix", "x"},
       "ZVRTS0001\nERROR: Incompatible options ``-prefix'' and ``-destination'' specified "
       "on startup."},
      {{"-destination", "-map", "m"},
       "ZVRTS0001\nERROR: Incompatible options ``-destination'' and ``-map'' specified on "
       "startup."},
      {{"-prefix", "x", "-map", "m"},
       "ZVRTS0001\nERROR: Incompatible options ``-prefix'' and ``-map'' specified on "
       "startup."},
      {{"-e"}, ""},                    // a value option in last position is not taken
      {{"-e", "T", "-map"}, ""},
      {{"-key"}, ""},
      {{"-unknown"}, ""},
      {{"-e", "T", "stray"}, ""},
  };
  for (const RefusedLine& line : cases) {
    std::string joined;
    for (const std::string& a : line.args) joined += a + " ";
    SCOPED_TRACE(joined);
    std::string errors;
    EXPECT_EQ(runToEnd(program(), line.args, 10000, &errors), 1);
    EXPECT_NE(errors.find(usageText()), std::string::npos) << errors;
    if (!line.message.empty()) {
      // On standard error even with -silent: the operator must see why.
      EXPECT_NE(errors.find(line.message), std::string::npos) << errors;
      EXPECT_TRUE(waitForLog(line.message.substr(line.message.find('\n') + 1), 0));
    }
  }
  EXPECT_EQ(adminText("queues").find("element:T"), std::string::npos)
      << "a refused command line must not connect";
}

TEST_P(ServerOptions, KeyInMemoryWithoutItsDictionaryRecordDoesNotStart) {
  std::string errors;
  EXPECT_EQ(runToEnd(program(), {"-e", "T", "-destination", "-keyinmem", "-key", "NOPE"},
                     10000, &errors),
            1);
  EXPECT_NE(logText().find("ZVRD0003"), std::string::npos) << logText();
}

// zvrtbc accepts -required and shows it; zvrbc, which always transforms, refuses it.
TEST_P(ServerOptions, RequiredIsShownByZvrtbcAndRefusedByZvrbc) {
  if (program() == "zvrbc") {
    std::string errors;
    EXPECT_EQ(runToEnd(program(), {"-e", "T", "-required"}, 10000, &errors), 1);
    EXPECT_NE(errors.find(usageText()), std::string::npos) << errors;
    return;
  }
  ChildProcess server = start(program(), {"-e", "T", "-required"});
  ASSERT_TRUE(waitForLog("Initialized.")) << server.standardError();
  EXPECT_EQ(server.stop(SIGINT, 1000), 0);
  EXPECT_NE(logText().find("Dictionary Key in Memory: No\n    Always Transform: No\n"),
            std::string::npos) << logText();
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerOptions, ::testing::Values("zvrtbc", "zvrbc"));

}  // namespace
