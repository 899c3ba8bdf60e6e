// The option protocol of the service chain in process: which arguments each layer takes,
// which combinations validOptions refuses and in what order, and the texts an operator
// reads (operating parameters, usage). The leaf here stands in for TsiBC / TsiTBC without
// starting the engine.
#include "tsiservice.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

class TestLeaf : public TsiService {
 public:
  TestLeaf() : TsiService("ZVRTest1", "Test Component") {}
  int parseArgs(int argc, const char* const* argv) override { return _parseAll(argc, argv); }
  int process_buffer(void*&, unsigned long&, Marshall*, const QuorRequest&) override {
    return 1;
  }
  int _do_response(Marshall*, void*&, unsigned long&, QuorResponse*&) override { return 1; }
  // What the real leaves do after checking the options: a prefix for the map names.
  void defaultPrefix() { prefix_ = "k"; }
  std::string displayText() const {
    char* text = nullptr;
    display(text);
    std::string out = text;
    delete[] text;
    return out;
  }
};

class ServiceOptionsTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    _resetGlobals();
  }
  void TearDown() override {
    _resetGlobals();
    BrokerHome::TearDown();
  }
  // Parses `args` as a command line (program name first) into `leaf`.
  int parse(TestLeaf& leaf, std::vector<std::string> args) {
    args_ = std::move(args);
    args_.insert(args_.begin(), "prog");
    argv_.clear();
    for (const std::string& a : args_) argv_.push_back(a.c_str());
    return leaf.parseArgs(static_cast<int>(argv_.size()), argv_.data());
  }

 private:
  static void _resetGlobals() {
    ZVRdebug = 0;
    ZVRverbose = 1;
    QuorService::_okToRun = 1;
    QuorService::_sigintCaptured = 0;
  }
  std::vector<std::string> args_;
  std::vector<const char*> argv_;
};

TEST_F(ServiceOptionsTest, EachLayerTakesItsOwnOptions) {
  struct Case {
    std::vector<std::string> args;
    int accepted;
    std::string shown;  // a line of the operating parameters
  };
  const std::vector<Case> cases = {
      {{"-e", "X"}, 1, "Business Element Name: X"},
      {{"-e"}, 0, "Business Element Name: ZVRTest1"},
      {{"-logMsg"}, 1, "Log All Requests: Yes"},
      {{"-d"}, 1, "Debug Flag: Yes"},
      {{"-nosync"}, 1, "Syncpointing: None"},
      {{"-clear"}, 1, "Syncpointing: None"},
      {{"-hdr"}, 1, "Include QLXMSG header: Yes"},
      {{"-options", "-oe1s -x"}, 1, "Transformation Options: -oe1s -x"},
      {{"-path", "/m"}, 1, "Transformation Path: /m"},
      {{"-map", "m"}, 1, "Transformation Map: m"},
      {{"-map"}, 0, "Transformation Map: None"},
      {{"-prefix", "p"}, 1, "Transformation Prefix: p"},
      {{"-key", "K"}, 1, "Transformation Dictionary Key: K"},
      {{"-keyinmem"}, 1, "Transformation Dictionary Key in Memory: Yes"},
      {{"-destination"}, 1, "Transformation Dictionary Key: ZVRBroker"},
      // Parsing stops at the first argument nobody takes.
      {{"-bogus", "-logMsg"}, 0, "Log All Requests: No"},
      {{"-logMsg", "stray"}, 0, "Log All Requests: Yes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ZVRdebug = 0;
    TestLeaf leaf;
    EXPECT_EQ(parse(leaf, c.args), c.accepted);
    EXPECT_NE(leaf.displayText().find("\n" + c.shown), std::string::npos) << leaf.displayText();
  }
}

TEST_F(ServiceOptionsTest, RefusedCombinationsInTheirOrder) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> logged;  // in this order
  };
  const std::vector<Case> cases = {
      {{"-clear", "-force"}, {"ZVRS0009", "``-clear'' and ``-force''"}},
      {{"-silent", "-logMsg"}, {"ZVRS0009", "``-silent'' and ``-logMsg''"}},
      {{"-destination", "-prefix", "x", "-map", "m"}, {"ZVRTS0001", "``-prefix'' and ``-destination''"}},
      {{"-destination", "-map", "m"}, {"ZVRTS0001", "``-destination'' and ``-map''"}},
      {{"-prefix", "x", "-map", "m"}, {"ZVRTS0001", "``-prefix'' and ``-map''"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged[1]);
    const size_t start = logText().size();
    TestLeaf leaf;
    ASSERT_EQ(parse(leaf, c.args), 1);
    EXPECT_EQ(leaf.validOptions(), 0);
    const std::string log = logText().substr(start);
    EXPECT_NE(log.find(c.logged[0] + "\n    ERROR: Incompatible options " + c.logged[1] +
                       " specified on startup.\n    User Action: Do not specify both options "
                       "on the command line."),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("ZVRTS0001", log.find("ZVRTS0001") + 1), std::string::npos)
        << "only the first refused pair is reported";
  }
  EXPECT_EQ(ZVRverbose, 1) << "-silent is undone so that the refusal is seen";
  TestLeaf accepted;
  ASSERT_EQ(parse(accepted, {"-keyinmem", "-map", "m", "-e", "X"}), 1);
  EXPECT_EQ(accepted.validOptions(), 1);
}

TEST_F(ServiceOptionsTest, OperatingParametersAndUsageTexts) {
  TestLeaf leaf;
  EXPECT_EQ(leaf.displayText(),
            "\nOperating Parameters\n--------------------\nBusiness Element Name: ZVRTest1\n"
            "Syncpointing: Local\nLog All Requests: No\nInclude QLXMSG header: No\n"
            "Transformation Options: None\nTransformation Path: None\nTransformation Map: "
            "None\nTransformation Prefix: None\nTransformation Dictionary Key: ZVRBroker\n"
            "Transformation Dictionary Key in Memory: No");
  // Streaming writes the same text, through the leaf's own display.
  std::ostringstream streamed;
  streamed << leaf;
  EXPECT_EQ(streamed.str(), leaf.displayText());
  ::testing::internal::CaptureStderr();
  leaf.usage("prog");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "\nUsage: prog [ -e be_name ] [ -logMsg ] [ -silent ] [-clear] [-force] [ -nosync ] "
            "[ -hdr ] [ -options map_options ] [ -path path ] [ -map mapname ] [ -prefix "
            "prefix_char ] [ -key dictionary ] [ -destination ] [-keyinmem]");
}

// An interrupt that lands before the wait for a request has begun (here: before run, so
// the first get starts after it) must still end the wait at once, not at the next request.
class ServiceStopTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override {
    return "[element.ZVRTest1]\nformats = [\"*\"]\n";
  }
};

TEST_F(ServiceStopTest, InterruptBeforeTheWaitStillEndsIt) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        alarm(5);  // a wait that nothing ends fails the test instead of hanging it
        TestLeaf leaf;
        leaf.defaultPrefix();
        QuorService::signal_handler(SIGTERM);
        const auto begin = std::chrono::steady_clock::now();
        const int status = leaf.run();
        const bool quick = std::chrono::steady_clock::now() - begin < std::chrono::seconds(1);
        std::exit(status == 0 && quick ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(logText().find("Shutting Down.\n    Reason: Interrupted by user."), std::string::npos)
      << logText();
  EXPECT_EQ(logText().find("ZVRR0002"), std::string::npos) << "an interrupt is no failed get";
}

}  // namespace
