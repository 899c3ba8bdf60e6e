#include "zvrlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/zvr_testing.h"

namespace {

const std::string kStars(40, '*');

class LogTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    savedDebug_ = ZVRdebug;
    savedVerbose_ = ZVRverbose;
  }
  void TearDown() override {
    ZVRdebug = savedDebug_;
    ZVRverbose = savedVerbose_;
    BrokerHome::TearDown();
  }

  // Writes `text` and returns what reached standard error.
  std::string writeCapturing(const char* text, unsigned long severity, int* result) {
    testing::internal::CaptureStderr();
    *result = zvrWriteLog(text, severity);
    return testing::internal::GetCapturedStderr();
  }

 private:
  int savedDebug_ = 0;
  int savedVerbose_ = 1;
};

TEST_F(LogTest, FlagsStartAsAProgramExpectsThem) {
  // Nothing in this test program changes them before this test's fixture saved them.
  EXPECT_EQ(ZVRdebug, 0);
  EXPECT_EQ(ZVRverbose, 1);
}

// The standard-error copy: on unless both flags are clear ("-d" wins over "-silent").
TEST_F(LogTest, StderrCopyFollowsTheFlags) {
  const struct {
    int debug, verbose;
    bool echoed;
  } cases[] = {{0, 1, true}, {0, 0, false}, {1, 0, true}, {1, 1, true}};
  for (const auto& c : cases) {
    ZVRdebug = c.debug;
    ZVRverbose = c.verbose;
    int result = 0;
    std::string err = writeCapturing("\nZVRX0001\nINFO: hello", 0, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(err, c.echoed ? kStars + "\nZVRX0001\nINFO: hello\n" : "")
        << "debug " << c.debug << " verbose " << c.verbose;
  }
}

TEST_F(LogTest, FirstWriteSetsTheAssertFlag) {
  int result = 0;
  writeCapturing("x", 0, &result);
  EXPECT_EQ(isLogAssert, 1);
}

TEST_F(LogTest, TextAndSeverityReachTheMiddlewareLog) {
  ZVRverbose = 0;
  int result = 0;
  writeCapturing("first log line", 3, &result);
  ASSERT_EQ(result, 1);
  writeCapturing("second log line", 0, &result);
  std::string log = logText();
  if (log.empty() && zvr::testing::qlxadmPath().empty())
    GTEST_SKIP() << "this build's middleware keeps no log file (no broker yet)";
  size_t first = log.find("first log line");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("SEVERE"), std::string::npos) << log;
  EXPECT_GT(log.find("second log line"), first) << log;
}

TEST_F(LogTest, OneArgumentFormLogsAsInfo) {
  ZVRverbose = 0;
  EXPECT_EQ(zvrWriteLog("an info line"), 1);
  std::string log = logText();
  if (log.empty() && zvr::testing::qlxadmPath().empty())
    GTEST_SKIP() << "this build's middleware keeps no log file (no broker yet)";
  size_t line = log.find("an info line");
  ASSERT_NE(line, std::string::npos) << log;
  size_t start = log.rfind('\n', line);
  std::string head = log.substr(start == std::string::npos ? 0 : start, line - start);
  EXPECT_NE(head.find("INFO"), std::string::npos) << head;
}

// The copy on standard error is written first, so it survives a refused log write.
TEST_F(LogTest, RefusedLogWriteReturnsZeroAfterTheStderrCopy) {
  if (qlxadm("fault writelog 99") != 0)
    GTEST_SKIP() << "needs the broker's fault injection (qlxadm fault)";
  int result = 1;
  std::string err = writeCapturing("refused line", 1, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(err, kStars + "refused line\n");
}

// The agreement rule between the actions the error profile asked for and those performed.
TEST(ActionsTest, AgreementRule) {
  const struct {
    unsigned long requested, performed;
    bool agree;
  } cases[] = {
      {1, 1, true},   {1, 4, false},  {1, 32, true}, {0, 32, true},  {2, 2, true},
      {3, 2, true},   {2, 3, true},   {1, 3, true},  {4, 4, true},   {4, 8, false},
      {0, 0, true},   {2, 1, false},  {1, 2, false}, {6, 4, false},  {32, 33, false},
      {40, 8, false}, {0, 1, false},  {5, 5, true},  {4, 0, false},  {33, 1, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(zvrActionsAgree(c.requested, c.performed), c.agree)
        << "requested " << c.requested << " performed " << c.performed;
}

TEST_F(LogTest, RefusedReportIsAFailure) {
  QLXEPOPT options = kQlxEpOptDefault;
  QLXMSG msg = kQlxMsgDefault;
  QLXEXCEPTION exception = kQlxExceptionDefault;
  QLXSYNC sync = kQlxSyncDefault;
  QLXHANDLE theme = 0;
  EXPECT_FALSE(zvrReportError(0x7FFF0002u, &options, &msg, &exception, &sync, &theme));
}

// Trace levels are read once per process: the child of a death test re-executes this
// program with the level set, and writes its records to a file of the broker home.
TEST_F(LogTest, ReportTracesStatusAndActions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child inherits the parent's file name; it has a broker home of its own, which it
  // removes itself because it leaves without its fixture's tear-down.
  const char* inherited = std::getenv("QLX_TRACE_FILE");
  std::string traceFile = inherited ? inherited : home() + "/trace.txt";
  setenv("QLX_TRACE", "zvrutil=0xC0", 1);
  setenv("QLX_TRACE_FILE", traceFile.c_str(), 1);
  std::string childHome = home();
  auto report = [&childHome] {
    QLXEPOPT options = kQlxEpOptDefault;
    QLXMSG msg = kQlxMsgDefault;
    msg.Status = 0x1C;
    QLXEXCEPTION exception = kQlxExceptionDefault;
    QLXSYNC sync = kQlxSyncDefault;
    QLXHANDLE theme = 0;
    zvrReportError(0x7FFF0003u, &options, &msg, &exception, &sync, &theme);
    std::error_code ignored;
    std::filesystem::remove_all(childHome, ignored);
    std::exit(0);
  };
  EXPECT_EXIT(report(), testing::ExitedWithCode(0), "");
  unsetenv("QLX_TRACE");
  unsetenv("QLX_TRACE_FILE");
  std::string trace = zvr::testing::readFile(traceFile);
  EXPECT_NE(trace.find("MsgStatus: 1c, actionsRequested: 00, actionsPerformed: 00"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("zvrReportError"), std::string::npos) << "entry/exit events\n" << trace;
}

// Reports through a business element whose profile requests action 1 and whose exit
// performs the actions named in ZVR_TEST_EXIT_ACTIONS.
class ReportTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    if (zvr::testing::qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
    const std::string path = home() + "/directory.toml";
    std::ofstream(path) << "[element.E]\nformats = [\"*\"]\ndefault_actions = 1\n"
                           "exit = \"" ZVR_TEST_EXIT "\"\n";
    std::string output;
    ASSERT_EQ(qlxadm("load '" + path + "'", &output), 0) << output;
    QLXADDR element = kQlxAddrDefault;
    std::strcpy(element.Name, "E");
    ASSERT_TRUE(qlxSPIInitialize(&element, 1, &element_, &directory_, work_));
    unsetenv("ZVR_TEST_EXIT_ACTIONS");
  }
  void TearDown() override {
    unsetenv("ZVR_TEST_EXIT_ACTIONS");
    if (element_) qlxTerminate(&element_);
    BrokerHome::TearDown();
  }

  bool report(const char* performed, QLXEPOPT& options) {
    if (performed)
      setenv("ZVR_TEST_EXIT_ACTIONS", performed, 1);
    else
      unsetenv("ZVR_TEST_EXIT_ACTIONS");
    options = kQlxEpOptDefault;
    options.Options = kQlxEpoptReport;
    QLXMSG msg = kQlxMsgDefault;
    QLXEXCEPTION exception = kQlxExceptionDefault;
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 0;
    QLXHANDLE theme = 0;
    return zvrReportError(element_, &options, &msg, &exception, &sync, &theme);
  }

  QLXHANDLE element_ = 0;
  void* directory_ = nullptr;
  unsigned char work_[852] = {};
};

TEST_F(ReportTest, OutcomeFollowsTheActionsPerformed) {
  const struct {
    const char* performed;  // null: the exit leaves the profile alone
    bool accepted;
  } cases[] = {{nullptr, true}, {"1", true}, {"4", false}, {"32", true},
               {"3", true},     {"0", false}, {"2", false}};
  for (const auto& c : cases) {
    QLXEPOPT options;
    EXPECT_EQ(report(c.performed, options), c.accepted)
        << "performed " << (c.performed ? c.performed : "(profile)");
    EXPECT_EQ(options.DefaultActions, 1u);
  }
}

TEST_F(ReportTest, RefusedByTheMiddleware) {
  std::string output;
  ASSERT_EQ(qlxadm("fault reporterror 99", &output), 0) << output;
  QLXEPOPT options;
  EXPECT_FALSE(report(nullptr, options));
}

TEST_F(ReportTest, DisagreementIsTraced) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* inherited = std::getenv("QLX_TRACE_FILE");
  std::string traceFile = inherited ? inherited : home() + "/trace.txt";
  setenv("QLX_TRACE", "zvrutil=0x80", 1);
  setenv("QLX_TRACE_FILE", traceFile.c_str(), 1);
  std::string childHome = home();
  auto child = [&] {
    QLXEPOPT options;
    bool accepted = report("4", options);
    qlxTerminate(&element_);
    std::error_code ignored;
    std::filesystem::remove_all(childHome, ignored);
    std::exit(accepted ? 1 : 0);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
  unsetenv("QLX_TRACE");
  unsetenv("QLX_TRACE_FILE");
  std::string trace = zvr::testing::readFile(traceFile);
  for (const char* line : {"MsgStatus: 00, actionsRequested: 01, actionsPerformed: 04",
                           "SEVERE ERROR: Actions did not equal DefaultAction",
                           "Actions = [4]", "DefaultActions = [1]"})
    EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;
}

}  // namespace
