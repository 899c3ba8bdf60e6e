// The session layer against the embedded broker: a business element and a client on one
// broker home, every failure row reached through the broker's fault injection, and the
// connection failures that end the process.
#include "quorbusinesselement.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>
#include <string>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

const std::string kLongName(132, 'L');

std::string sessionDirectory() {
  const std::string longElement = "[element." + kLongName + "]\nformats = []\n";
  return "[element.E]\nformats = [\"*\"]\n" + longElement +
         "[client.C1]\nformats = []\n"
         "[service.ECHO]\nworkflow = [\"element:E\", \"origin\"]\n"
         "[service.LAST]\nworkflow = [\"element:E\"]\n";
}

class SessionTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return sessionDirectory(); }

  // Makes the next `count` calls of `call` fail (for connections named `name`, if given).
  void fault(const std::string& call, int reason, int sub = -1, int count = 1,
             const std::string& name = "") {
    std::string args = "fault " + call + " " + std::to_string(reason);
    if (sub >= 0) args += " " + std::to_string(sub);
    args += " --count " + std::to_string(count);
    if (!name.empty()) args += " --for " + name;
    std::string output;
    ASSERT_EQ(qlxadm(args, &output), 0) << output;
  }

  // Starts a workflow of `service` as client C1 with `body`; returns the theme.
  // A CorrelId of `correl` bytes when not 0 (else the broker gives the theme id).
  unsigned long send(QuorClient& client, const char* service, const std::string& body,
                     char correl = 0) {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    zvrSetFormatName(msg, "XML");
    if (correl) std::memset(msg.CorrelId, correl, sizeof msg.CorrelId);
    bodies_.push_back(body);
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, bodies_.back().data(),
                    static_cast<uint32_t>(bodies_.back().size()));
    QuorRequest request(client.handle(), &msg, 0, kQlxGetOptDefault);
    EXPECT_EQ(request.putRequest(client.handle(), client.transaction(), service, kQlxPutOptDefault),
              1);
    EXPECT_EQ(client.commit(), 1);
    return request.theme();
  }

  size_t logged(const std::string& id) const {
    const std::string log = logText();
    size_t n = 0;
    for (size_t at = log.find(id); at != std::string::npos; at = log.find(id, at + 1)) ++n;
    return n;
  }

  std::string body(const QuorRequest& request) const {
    return std::string(static_cast<const char*>(request.buffer()), request.length());
  }

  std::list<std::string> bodies_;
};

TEST_F(SessionTest, RequestTravelsToTheElementAndBack) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  const unsigned long theme = send(client, "ECHO", "ping");
  EXPECT_NE(theme, 0u);

  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr) << *ZVRerror;
  EXPECT_EQ(body(*request), "ping");
  EXPECT_STREQ(request->formatName(), "XML");
  EXPECT_EQ(request->isAtEndOfWorkflow(), 0);
  EXPECT_EQ(element.anyPuts(), 0);
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(element.putResponse(response.get()), 1);
  EXPECT_EQ(element.anyPuts(), 1);
  ASSERT_EQ(element.commit(), 1);
  EXPECT_EQ(element.anyPuts(), 0);

  std::unique_ptr<QuorResponse> back(client.getResponse(theme, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(std::string(static_cast<const char*>(back->buffer()), back->length()), "ping");
  EXPECT_EQ(back->theme(), theme);
  EXPECT_EQ(client.commit(), 1);
}

TEST_F(SessionTest, ThemeIdOfABrokerThemeSetsTheCorrelationBits) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  // The broker's own CorrelId is the theme id: no correlation.
  send(client, "ECHO", "own");
  std::unique_ptr<QuorRequest> own(element.getRequest());
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(std::memcmp(own->themeID(), own->descriptor().CorrelId, 24), 0);
  EXPECT_EQ(own->getOptions().Options & 0x12u, 0x10u);
  std::unique_ptr<QuorResponse> plain(own->createResponse("y", 1, nullptr, 0));
  EXPECT_EQ(plain->getPutOptions().Options & 0x12u, 0x10u);
  ASSERT_EQ(element.commit(), 1);

  // A CorrelId of the sender's choosing differs from the theme id: matched.
  send(client, "ECHO", "chosen", 'K');
  std::unique_ptr<QuorRequest> chosen(element.getRequest());
  ASSERT_NE(chosen, nullptr);
  const QLXMSG& d = chosen->descriptor();
  EXPECT_EQ(d.CorrelId[0], 'K');
  EXPECT_NE(std::memcmp(chosen->themeID(), d.CorrelId, 24), 0);
  EXPECT_EQ(chosen->getOptions().Options & 0x12u, 0x2u);
  std::unique_ptr<QuorResponse> matched(chosen->createResponse("y", 1, nullptr, 0));
  EXPECT_EQ(matched->getPutOptions().Options & 0x12u, 0x2u);
  EXPECT_EQ(std::memcmp(matched->getPutOptions().CorrelId, d.CorrelId, 24), 0);
  ASSERT_EQ(element.putResponse(matched.get()), 1);
  ASSERT_EQ(element.commit(), 1);
  std::unique_ptr<QuorResponse> back(client.getResponse(0, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(back->descriptor().CorrelId[0], 'K');
}

TEST_F(SessionTest, SuppressedRequestsAreCommittedAwayAndTheNextFetched) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  send(client, "ECHO", "first");
  fault("getrequest", 26, 7, 2);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr) << *ZVRerror;
  EXPECT_EQ(body(*request), "first");
  EXPECT_EQ(ZVRerror, nullptr);
  EXPECT_EQ(logged("ZVRR0010"), 2u);
  EXPECT_NE(logText().find("Inspect your Quor configuration for configuration errors"),
            std::string::npos);
}

TEST_F(SessionTest, GetFailuresThatAreNoSuppression) {
  QuorBusinessElement element("E", 1);
  fault("getrequest", 26, 42);
  EXPECT_ZVR_FAILURE(element.getRequest(), "ZVRR0002");
  EXPECT_EQ(ZVRerror->severity(), 1u);
  fault("getrequest", 2033);
  EXPECT_ZVR_FAILURE(element.getRequest(), "ZVRR0002");
  EXPECT_EQ(static_cast<const QuorError*>(ZVRerror)->quorQlxError()->Reason.Code, 2033);
  EXPECT_EQ(logged("ZVRR0002"), 0u);  // pending, not logged
}

TEST_F(SessionTest, FailedCommitWhileSkippingASuppressedRequest) {
  QuorBusinessElement element("E", 1);
  fault("getrequest", 26);
  fault("commit", 2101);
  EXPECT_ZVR_FAILURE(element.getRequest(), "ZVRR0003");
  EXPECT_EQ(logged("ZVRR0010"), 1u);
}

TEST_F(SessionTest, CommitAndRollbackFailures) {
  QuorBusinessElement element("E", 1);
  fault("commit", 2101);
  EXPECT_ZVR_FAILURE(element.commit(), "ZVRR0003");
  EXPECT_EQ(ZVRerror->severity(), 2u);
  fault("rollback", 2101);
  EXPECT_ZVR_FAILURE(element.rollback(), "ZVRR0004");
  EXPECT_EQ(ZVRerror->severity(), 2u);
  EXPECT_EQ(element.commit(), 1);
  EXPECT_EQ(element.rollback(), 1);

  QuorClient client("C1", 1, "ECHO");
  fault("commit", 2101);
  EXPECT_ZVR_FAILURE(client.commit(), "ZVRR0007");
  EXPECT_EQ(ZVRerror->severity(), 3u);
  fault("rollback", 2101);
  EXPECT_ZVR_FAILURE(client.rollback(), "ZVRR0008");
  EXPECT_EQ(ZVRerror->severity(), 3u);
  EXPECT_EQ(logged("ZVRR000"), 0u);  // none of these is logged by the connection
}

TEST_F(SessionTest, PutResponseOutcomes) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  send(client, "ECHO", "a");
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  std::unique_ptr<QuorResponse> response(request->createResponse());

  fault("putresponse", 26);
  EXPECT_EQ(element.putResponse(response.get()), 1);
  EXPECT_EQ(logged("ZVRR0012"), 1u);
  EXPECT_NE(logText().find("Quor Response follows:"), std::string::npos);  // ZVRverbose

  fault("putresponse", 26, 42);
  EXPECT_ZVR_FAILURE(element.putResponse(response.get()), "ZVRR0009");
  EXPECT_STREQ(ZVRerror->info(), "Quor Response follows:");
  fault("putresponse", 2030);
  EXPECT_ZVR_FAILURE(element.putResponse(response.get()), "ZVRR0009");
}

TEST_F(SessionTest, ResponseFailingAtTheEndOfItsWorkflowCountsAsPut) {
  QuorClient client("C1", 1, "LAST");
  QuorBusinessElement element("E", 1);
  send(client, "LAST", "datagram");
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->isAtEndOfWorkflow(), 1);
  std::unique_ptr<QuorResponse> response(request->createResponse());
  EXPECT_EQ(element.putResponse(response.get()), 1);
  EXPECT_EQ(ZVRerror, nullptr);
  EXPECT_NE(logText().find("Datagram reached end of workflow.  It was processed and discarded."),
            std::string::npos);
  EXPECT_EQ(element.commit(), 1);
}

TEST_F(SessionTest, PutRequestOutcomes) {
  QuorClient client("C1", 1, "ECHO");
  QLXMSG msg;
  zvrInitDescriptor(msg);
  QuorRequest request(client.handle(), &msg, 0, kQlxGetOptDefault);

  fault("putrequest", 26, 1);
  EXPECT_EQ(request.putRequest(client.handle(), client.transaction(), "ECHO", kQlxPutOptDefault),
            1);
  EXPECT_EQ(logged("ZVRR0011"), 1u);
  fault("putrequest", 26, 42);
  EXPECT_ZVR_FAILURE(
      request.putRequest(client.handle(), client.transaction(), "ECHO", kQlxPutOptDefault),
      "ZVRR0006");
  EXPECT_STREQ(ZVRerror->info(), "Quor Request follows:");
  EXPECT_ZVR_FAILURE(
      request.putRequest(client.handle(), client.transaction(), "NOSERVICE", kQlxPutOptDefault),
      "ZVRR0006");
}

TEST_F(SessionTest, ClientGetOutcomes) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  // Nothing there and no wait: an ordinary failure.
  EXPECT_ZVR_FAILURE(client.getResponse(0, 0), "ZVRR0014");

  send(client, "ECHO", "r");
  std::unique_ptr<QuorRequest> request(element.getRequest());
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_EQ(element.putResponse(response.get()), 1);
  ASSERT_EQ(element.commit(), 1);

  fault("getresponse", 26, 20);
  EXPECT_ZVR_FAILURE(client.getResponse(0, 0), "ZVRR0014");
  fault("getresponse", 26, 42);
  EXPECT_ZVR_FAILURE(client.getResponse(0, 0), "ZVRR0014");
  fault("getresponse", 26, 3);
  std::unique_ptr<QuorResponse> back(client.getResponse(0, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(logged("ZVRR0013"), 1u);

  fault("getresponse", 26);
  fault("commit", 2101);
  EXPECT_ZVR_FAILURE(client.getResponse(0, 0), "ZVRR0007");
}

TEST(ClientOptionsTest, GetOptionWords) {
  EXPECT_EQ(zvrResponseGetOptions(0, 0), 0x120u);
  EXPECT_EQ(zvrResponseGetOptions(0, 50000), 0x128u);
  EXPECT_EQ(zvrResponseGetOptions(12, 0), 0x190u);
  EXPECT_EQ(zvrResponseGetOptions(12, 50000), 0x198u);
}

TEST_F(SessionTest, ReportErrorHandsTheRequestToTheErrorProfile) {
  QuorClient client("C1", 1, "ECHO");
  QuorBusinessElement element("E", 1);
  send(client, "ECHO", "poison");
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  fault("putresponse", 2030);
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_EQ(element.putResponse(response.get()), 0);  // leaves a QuorError pending
  EXPECT_EQ(request->reportError(element.getSync()), 1);
  EXPECT_NE(ZVRerror, nullptr);  // the caller discards it
  EXPECT_EQ(logged("ZVRR0009"), 1u);
  EXPECT_EQ(element.commit(), 1);
  std::string errors;
  ASSERT_EQ(qlxadm("errors", &errors), 0);
  EXPECT_NE(errors.find("ZVRR0009"), std::string::npos) << errors;

  fault("reporterror", 2040);
  EXPECT_EQ(request->reportError(element.getSync()), 0);
  EXPECT_EQ(logged("ZVRR0009"), 2u);  // logged whatever the outcome
}

TEST_F(SessionTest, NoSyncConnections) {
  QuorClient client("C1", 0, "ECHO");
  QuorBusinessElement element("E", 0);
  send(client, "ECHO", "n");
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  std::unique_ptr<QuorResponse> response(request->createResponse());
  EXPECT_EQ(element.putResponse(response.get()), 1);
  EXPECT_EQ(element.anyPuts(), 0);
  fault("commit", 2101);
  fault("rollback", 2101);
  EXPECT_EQ(element.commit(), 1);
  EXPECT_EQ(element.rollback(), 1);
  std::unique_ptr<QuorResponse> back(client.getResponse(0, 5000));
  EXPECT_NE(back, nullptr);
}

TEST_F(SessionTest, DisplaysAndNames) {
  QuorBusinessElement element((kLongName + "XYZ").c_str(), 1);
  EXPECT_EQ(std::string(element.name()), kLongName);
  std::ostringstream os;
  os << element;
  char handle[16];
  std::snprintf(handle, sizeof handle, "0x%lx", element.handle());
  EXPECT_EQ(os.str(), "\nQuor Business Element\n---------------------\nName: " + kLongName +
                          "\nHandle: " + handle);

  const char* name = "C1";
  QuorClient client(name, 1, "ECHO");
  EXPECT_EQ(client.name(), name);  // the caller's string, kept
  std::snprintf(handle, sizeof handle, "0x%lx", client.handle());
  std::ostringstream cs;
  cs << client;
  EXPECT_EQ(cs.str(), std::string("\nQuor Client\n-----------\nName: C1\nHandle: ") + handle);
}

using SessionDeathTest = SessionTest;

TEST_F(SessionDeathTest, FailedConnectionsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(QuorBusinessElement("NOSUCH", 1), ::testing::ExitedWithCode(1),
              "ZVRR0001\nERROR: Unable to initialize Quor Server connection.\nUser Action: "
              "Verify that the business element name is correct.");
  EXPECT_EXIT(QuorBusinessElement("E", 2), ::testing::ExitedWithCode(1),
              "ZVRR0015\nSEVERE: Internal syncpoint error.\nUser Action: Contact Velmar "
              "Technical Support");
  EXPECT_EXIT(QuorClient("NOSUCH", 1, "ECHO"), ::testing::ExitedWithCode(1),
              "ZVRR0005\nERROR: Unable to initialize Quor Client connection.\nUser Action: "
              "Verify that the client name is correct.");
  EXPECT_EXIT(QuorClient("C1", 5, "ECHO"), ::testing::ExitedWithCode(1),
              "ZVRR0016\nSEVERE: Internal syncpoint error.");
}

}  // namespace
