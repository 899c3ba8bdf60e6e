// End to end: the embedded middleware loads the error-action exit libzvrear.so for a
// business element whose directory entry names it. A request that the element reports to
// its error profile ends with the actions the exit decided, and stays on the element's
// error queue. The directory is loaded with qlxadm into a broker home of the test's own,
// or a schema of its own on PostgreSQL (the pg.* rows).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "qlx.h"
#include "testing/test_store.h"

namespace {

constexpr const char* kElement = "ZVREAR_E2E";
constexpr const char* kPlainElement = "ZVREAR_E2E_PLAIN";  // no exit
constexpr const char* kClient = "ZVREAR_CLIENT";

// Runs a shell command with the test's environment; returns its exit status and output.
int run(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

void copyName(char (&field)[132], const char* name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name, strnlen(name, sizeof field));
}

// A broker home of the test's own with a directory of two elements (one naming the exit,
// one without), a client, and a service to each element.
class ExitEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(QLXADM).empty()) GTEST_SKIP() << "qlxadm is not part of this build";
    char dir[] = "/tmp/zvrear_e2e_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    home_ = dir;
    setenv("QLX_HOME", home_.c_str(), 1);
    zvr::testing::useTestBroker(schema_);
    if (IsSkipped() || HasFatalFailure()) return;
    std::ofstream toml(home_ + "/directory.toml");
    toml << "[element." << kElement
         << "]\nformats = [\"*\"]\ndefault_actions = " << defaultActions() << "\nexit = \""
         << ZVREAR_LIBRARY << "\"\n\n"
         << "[element." << kPlainElement
         << "]\nformats = [\"*\"]\ndefault_actions = " << defaultActions() << "\n\n"
         << "[client." << kClient << "]\nformats = [\"*\"]\n\n"
         << "[service.TO_EXIT]\nworkflow = [\"element:" << kElement << "\"]\n\n"
         << "[service.TO_PLAIN]\nworkflow = [\"element:" << kPlainElement << "\"]\n";
    toml.close();
    std::string output;
    ASSERT_EQ(run(quoted(QLXADM) + " load " + quoted(home_ + "/directory.toml"), output), 0)
        << output;
  }
  void TearDown() override {
    if (element_) qlxTerminate(&element_);
    if (client_) qlxTerminate(&client_);
    if (!home_.empty()) std::filesystem::remove_all(home_);
    schema_.drop();
    unsetenv("QLX_HOME");
    unsetenv("QLX_BROKER");
  }

  virtual uint32_t defaultActions() const { return 0x11; }

  // Sends `body` to `service` as the client, final at once.
  void send(const char* service, const std::string& body) {
    QLXADDR addr = kQlxAddrDefault;
    copyName(addr.Name, kClient);
    if (!client_) {
      ASSERT_NE(qlxClientInitialize(&addr, &client_), 0) << lastError();
    }
    QLXSERVICE target = kQlxServiceDefault;
    copyName(target.Name, service);
    QLXMSG msg = kQlxMsgDefault;
    std::strcpy(msg.FormatName, "ORDERS");
    msg.Format = -1;
    msg.MsgLength = static_cast<uint32_t>(body.size());
    msg.MsgBuffer = {0, static_cast<uint32_t>(body.size()), const_cast<char*>(body.data())};
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 0;
    QLXHANDLE theme = 0;
    ASSERT_NE(qlxPutRequest(client_, &target, &msg, &put, &sync, &theme), 0) << lastError();
  }

  // Connects as `element`, takes its next request under a unit of work and reports it to
  // the error profile as the application (call type 0). Leaves the unit open.
  void getAndReport(const char* element, QLXEPOPT& options, int& reported) {
    QLXADDR addr = kQlxAddrDefault;
    copyName(addr.Name, element);
    void* directory = nullptr;
    unsigned char work[852] = {};
    ASSERT_NE(qlxSPIInitialize(&addr, 1, &element_, &directory, work), 0) << lastError();
    sync_ = kQlxSyncDefault;
    sync_.SyncType = 1;
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options |= kQlxGetWait;
    get.Wait = 10000;
    QLXHANDLE theme = 0;
    ASSERT_NE(qlxGetRequest(element_, &msg, &get, &sync_, &theme), 0) << lastError();
    std::string text = "\nZVRT0001 Transformation failed for this request.";
    QLXEXCEPTION exception = kQlxExceptionDefault;
    exception.Flags = kQlxExcError | kQlxExcText;
    exception.Error.Flags = kQlxErrorReason;
    exception.Error.Reason.Code = 16;  // would clear every action for a failed put
    exception.CallType = kQlxCallApplication;
    exception.TextLength = static_cast<uint32_t>(text.size());
    exception.TextBuffer = {0, static_cast<uint32_t>(text.size()), text.data()};
    options = kQlxEpOptDefault;
    options.Options |= kQlxEpoptReport;
    reported = qlxReportError(element_, &options, &msg, &exception, &sync_, &theme);
    qlxFreeBuffer(element_, &msg.MsgBuffer);
    qlxFreeBuffer(element_, &msg.TagBuffer);
  }

  static std::string lastError() {
    QLXERROR error{};
    qlxGetLastError(&error);
    return "reason " + std::to_string(error.Reason.Code) + " sub-reason " +
           std::to_string(error.SubReason.Code) + ": " + error.Reason.Text;
  }

  std::string errorQueues() {
    std::string output;
    EXPECT_EQ(run(quoted(QLXADM) + " errors", output), 0) << output;
    return output;
  }

  std::string home_;
  zvr::testing::PostgresSchema schema_;
  QLXHANDLE client_ = 0;
  QLXHANDLE element_ = 0;
  QLXSYNC sync_{};
};

TEST_F(ExitEndToEnd, ApplicationReportEndsWithTheExitsActions) {
  const std::string body = "ZVREAR-E2E-ORDER-0001";
  send("TO_EXIT", body);
  QLXEPOPT options{};
  int reported = 0;
  getAndReport(kElement, options, reported);
  ASSERT_EQ(reported, 1) << lastError();
  EXPECT_EQ(options.DefaultActions, 0x11u);
  // Call type 0 takes ApplicationProfile (0x200): only 0x10 is cleared.
  EXPECT_EQ(options.ActionsPerformed, 0x1u);
  ASSERT_NE(qlxCommit(element_, &sync_), 0) << lastError();

  const std::string queues = errorQueues();
  EXPECT_NE(queues.find(std::string("error:") + kElement), std::string::npos) << queues;
  EXPECT_NE(queues.find(body), std::string::npos) << queues;
  EXPECT_NE(queues.find("call type 0,"), std::string::npos) << queues;
  EXPECT_NE(queues.find("performed 0x1\n"), std::string::npos) << queues;
  // Taken off the element's own queue: nothing is left to get.
  std::string output;
  run(quoted(QLXADM) + " get " + quoted(std::string("element:") + kElement), output);
  EXPECT_NE(output.find("holds no ready message"), std::string::npos) << output;
}

TEST_F(ExitEndToEnd, ElementWithoutExitPerformsItsDefaults) {
  send("TO_PLAIN", "ZVREAR-E2E-PLAIN-0001");
  QLXEPOPT options{};
  int reported = 0;
  getAndReport(kPlainElement, options, reported);
  ASSERT_EQ(reported, 1) << lastError();
  EXPECT_EQ(options.DefaultActions, 0x11u);
  EXPECT_EQ(options.ActionsPerformed, 0x11u);
  ASSERT_NE(qlxCommit(element_, &sync_), 0) << lastError();
}

// An element whose only default action the exit takes away: the profile is left with
// none, which the exit marks as 32.
class ExitClearsEverything : public ExitEndToEnd {
 protected:
  uint32_t defaultActions() const override { return 0x10; }
};

TEST_F(ExitClearsEverything, ProfileWithNoActionLeftReports32) {
  send("TO_EXIT", "ZVREAR-E2E-ORDER-0002");
  QLXEPOPT options{};
  int reported = 0;
  getAndReport(kElement, options, reported);
  ASSERT_EQ(reported, 1) << lastError();
  EXPECT_EQ(options.DefaultActions, 0x10u);
  EXPECT_EQ(options.ActionsPerformed, 32u);
  ASSERT_NE(qlxCommit(element_, &sync_), 0) << lastError();
}

}  // namespace
