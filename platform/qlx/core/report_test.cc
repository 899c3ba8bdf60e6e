// The error profile: a reported request is kept on the element's error queue exactly once,
// and the element's exit decides the performed actions, also for other failed calls.
#include <fstream>
#include <sstream>

#include "broker_test_util.h"
#include "qlxdir.h"
#include "errorqueue.h"
#include "errors.h"

namespace qlx::test {
namespace {

class ErrorProfile : public BrokerTest {
 protected:
  void SetUp() override {
    BrokerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    exitLog_ = home_ + "/exit.log";
    setenv("QLX_TEST_EXIT_LOG", exitLog_.c_str(), 1);
  }

  std::string exitCalls() {
    std::ifstream in(exitLog_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Reports `got` with the exception text `text`; the option record is returned.
  QLXEPOPT report(QLXHANDLE element, Got& got, const std::string& text, int32_t syncType = 1) {
    QLXEPOPT options = kQlxEpOptDefault;
    options.Options = kQlxEpoptReport;
    QLXEXCEPTION exception = kQlxExceptionDefault;
    exception.Flags = kQlxExcError | kQlxExcText;
    exception.Error.Flags = kQlxErrorReason;
    exception.Error.Reason.Code = 4711;
    exception.TextLength = static_cast<uint32_t>(text.size());
    exception.TextBuffer = QLXBUFFER{0, exception.TextLength, const_cast<char*>(text.data())};
    QLXSYNC sync = syncOf(syncType);
    EXPECT_EQ(qlxReportError(element, &options, &got.msg, &exception, &sync, &got.theme), 1)
        << lastReason();
    return options;
  }

  std::vector<MessageRow> errorEntries(const std::string& element) {
    std::vector<MessageRow> rows;
    std::string error;
    EXPECT_TRUE(listErrorEntries(store_, element, rows, error)) << error;
    return rows;
  }

  std::string exitLog_;
};

TEST_F(ErrorProfile, ReportedAndCommittedRequestIsOnTheErrorQueueOnce) {
  QLXHANDLE c1 = client("C1"), g = element("G");
  send(c1, "REPORT", "bad request");
  Got got;
  ASSERT_EQ(getRequest(g, got), 1);
  QLXEPOPT options = report(g, got, "it failed: the map said no");
  EXPECT_EQ(errorEntries("G").size(), 0u);  // staged with the unit of work
  ASSERT_EQ(commit(g), 1);
  std::vector<MessageRow> entries = errorEntries("G");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].body, "bad request");
  EXPECT_EQ(entries[0].error->text, "it failed: the map said no");
  EXPECT_EQ(entries[0].error->reason, 4711);
  EXPECT_EQ(queue("element:G").depth + queue("element:G").inFlight, 0);
  // The test exit performs the defaults (5) without 0x1 and with 0x4.
  EXPECT_EQ(options.DefaultActions, 5u);
  EXPECT_EQ(options.ActionsPerformed, 4u);
  EXPECT_EQ(entries[0].error->performedActions, 4u);
  EXPECT_NE(exitCalls().find("init 1 1"), std::string::npos) << exitCalls();
  EXPECT_NE(exitCalls().find("analyse 0 4711 4"), std::string::npos) << exitCalls();
}

TEST_F(ErrorProfile, ReportRolledBackLeavesOnlyTheRequestOnItsQueue) {
  QLXHANDLE c1 = client("C1"), g = element("G");
  send(c1, "REPORT", "again");
  Got got;
  ASSERT_EQ(getRequest(g, got), 1);
  report(g, got, "first try");
  ASSERT_EQ(rollback(g), 1);
  EXPECT_EQ(errorEntries("G").size(), 0u);
  EXPECT_EQ(queue("element:G").depth, 1);
}

TEST_F(ErrorProfile, WithoutExitTheDefaultActionsArePerformed) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "plain");
  Got got;
  ASSERT_EQ(getRequest(e, got, 0), 1);
  QLXEPOPT options = report(e, got, "no exit here", 0);
  EXPECT_EQ(options.DefaultActions, 1u);
  EXPECT_EQ(options.ActionsPerformed, 1u);
  EXPECT_EQ(errorEntries("E").size(), 1u);
  EXPECT_EQ(errorEntries("G").size(), 0u);
}

TEST_F(ErrorProfile, ExceptionTextIsBoundedByItsLength) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "bounded");
  Got got;
  ASSERT_EQ(getRequest(e, got, 0), 1);
  QLXEPOPT options = kQlxEpOptDefault;
  QLXEXCEPTION exception = kQlxExceptionDefault;
  char text[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};  // no terminator
  exception.TextLength = 5;
  exception.TextBuffer = QLXBUFFER{0, 8, text};
  ASSERT_EQ(qlxReportError(e, &options, &got.msg, &exception, nullptr, nullptr), 1);
  ASSERT_EQ(errorEntries("E").size(), 1u);
  EXPECT_EQ(errorEntries("E")[0].error->text, "abcde");
  exception.Signature[0] = 'Y';
  EXPECT_EQ(qlxReportError(e, &options, &got.msg, &exception, nullptr, nullptr), 0);
  EXPECT_EQ(lastReason(), kReasonInvalidArgument);
}

TEST_F(ErrorProfile, ExitIsConsultedWhenOtherCallsFailAndTerminated) {
  QLXHANDLE g = element("G");
  QLXHANDLE bogus = 99;
  EXPECT_EQ(qlxCloseHandle(g, &bogus), 0);
  fault("commit", 23, 5);
  Got got;
  EXPECT_EQ(getRequest(g, got), 0);
  EXPECT_EQ(commit(g), 0);  // an injected fault fails the call even with nothing pending
  EXPECT_EQ(lastSubReason(), 5);
  std::string calls = exitCalls();
  EXPECT_NE(calls.find("analyse 10 23 4"), std::string::npos) << calls;
  EXPECT_NE(calls.find("analyse 13 28 4"), std::string::npos) << calls;
  EXPECT_NE(calls.find("analyse 2 20 4"), std::string::npos) << calls;
  ASSERT_EQ(qlxTerminate(&g), 1);
  EXPECT_NE(exitCalls().find("term"), std::string::npos);
}

unsigned long gHandlerReason = 0;
int recordHandler(unsigned long a1, unsigned long, unsigned long, unsigned long, unsigned long,
                  unsigned long a6, unsigned long, unsigned long, unsigned long, unsigned long) {
  gHandlerReason = a1;
  return static_cast<int>(a6);
}

TEST_F(ErrorProfile, DirectoryFailuresReachTheHandlerAndTheExit) {
  void* dir = nullptr;
  element("G", &dir);
  ASSERT_NE(dir, nullptr);
  auto* directory = static_cast<qlxDirInterface*>(dir);
  QLXXSERVICES services{};
  services.ExceptionHandler = recordHandler;
  QLXXCTL ctl{};
  ctl.Version = 1;
  ctl.Type = 3;
  ctl.Services = &services;
  qlxBusinessComponent entry;
  ASSERT_NE(directory->get(&ctl, "E", qlxEntryBusinessComponent, entry, nullptr), 0);
  fault("directory", 2999, 1);
  gHandlerReason = 0;
  EXPECT_EQ(directory->get(&ctl, "E", qlxEntryBusinessComponent, entry, nullptr), 0);
  EXPECT_EQ(gHandlerReason, 2999u);
  EXPECT_EQ(ctl.Services, &services);  // the caller's table is back in place
  gHandlerReason = 0;
  EXPECT_EQ(directory->get(&ctl, "NOPE", qlxEntryBusinessComponent, entry, nullptr), 0);
  EXPECT_NE(gHandlerReason, 0u);
  std::string calls = exitCalls();
  EXPECT_NE(calls.find("analyse 27 2999 4"), std::string::npos) << calls;
  EXPECT_NE(calls.find("analyse 27 " + std::to_string(gHandlerReason)), std::string::npos)
      << calls;
}

TEST_F(ErrorProfile, MissingExitLibraryIsLoggedAndDefaultsApply) {
  std::string error;
  ASSERT_TRUE(store_->editDirectory(
      [](DirectoryModel& model, std::string&) {
        for (ElementDef& e : model.elements)
          if (e.name == "H") e.exitLibrary = "/nonexistent/libnone.so";
        model.services.push_back({"TOH", {{1, "H"}}});
        return true;
      },
      error))
      << error;
  QLXHANDLE c1 = client("C1"), h = element("H");
  send(c1, "TOH", "x");
  Got got;
  ASSERT_EQ(getRequest(h, got, 0), 1);
  QLXEPOPT options = report(h, got, "exit missing", 0);
  EXPECT_EQ(options.ActionsPerformed, options.DefaultActions);
  std::ifstream log(home_ + "/log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("libnone.so cannot be loaded"), std::string::npos) << text.str();
}

}  // namespace
}  // namespace qlx::test
