// A request got from the embedded broker is marshalled, read back into a response, put
// along its workflow and received by the client: the put-option rules meet the
// middleware's own ids and theme.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "erroradt.h"
#include "marshall.h"
#include "quorbusinesselement.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"
#include "zvrroute.h"

namespace zvr::testing {
namespace {

class MarshallBrokerTest : public BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    // A broker wait that a signal interrupts fails: a hang becomes a failed get.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);
    alarm(60);
    if (qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
    const std::string path = home() + "/directory.toml";
    std::ofstream(path) << kEchoDirectory;
    std::string output;
    ASSERT_EQ(qlxadm("load '" + path + "'", &output), 0) << output;
  }
  void TearDown() override {
    alarm(0);
    BrokerHome::TearDown();
  }
};

// Marshals the next request of E, reads it back from a one-card frame and puts the
// response along the workflow; returns the request's correlation id.
std::string marshalAndAnswer(bool expectCorrelIsTheme) {
  QuorBusinessElement element("E", 1);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  EXPECT_NE(request, nullptr) << *ZVRerror;
  if (!request) return "";
  const QLXMSG& req = request->descriptor();
  EXPECT_EQ(std::memcmp(req.CorrelId, request->themeID(), 24) == 0, expectCorrelIsTheme);

  TsiMarshall marshall(*request, 1);
  std::string text(static_cast<const char*>(marshall.buffer()), marshall.length());
  EXPECT_EQ(text.substr(text.size() - 12), "hello broker");
  std::string framed = std::to_string(text.size()) + " " + text;
  void* frame = framed.data();
  unsigned long length = framed.size();
  unsigned error = 1;
  marshall.splitMultiBuffer(frame, length, error);
  EXPECT_EQ(error, 0u);
  ZvrRouteList routes;
  std::unique_ptr<QuorResponse> response(marshall.createResponse(frame, length, &routes));
  EXPECT_NE(response, nullptr) << *ZVRerror;
  if (!response) return "";

  // The correlation id is unchanged: bit 16 when it is the theme id, else bit 2 with it.
  const QLXPUTOPT& put = response->getPutOptions();
  EXPECT_EQ(put.Options & (kQlxPutCorrelId | kQlxPutNewCorrel),
            expectCorrelIsTheme ? uint32_t{kQlxPutNewCorrel} : uint32_t{kQlxPutCorrelId});
  EXPECT_EQ(put.Options & kQlxPutMsgId, 0u);
  EXPECT_NE(put.Options & kQlxPutNoReply, 0u);
  if (!expectCorrelIsTheme) {
    EXPECT_EQ(std::memcmp(put.CorrelId, req.CorrelId, 24), 0);
  }
  EXPECT_EQ(element.putResponse(response.get()), 1) << *ZVRerror;
  EXPECT_EQ(element.commit(), 1) << *ZVRerror;
  return std::string(reinterpret_cast<const char*>(req.CorrelId), 24);
}

std::string textOf(const QuorResponse& response) {
  return std::string(static_cast<const char*>(response.buffer()), response.length());
}

TEST_F(MarshallBrokerTest, RequestSentWithQlxadmCarriesItsThemeIdAsCorrelId) {
  std::string output;
  ASSERT_EQ(qlxadm("send ECHO --as C1 'hello broker'", &output), 0) << output;
  marshalAndAnswer(true);
  QuorClient client("C1", 1, "ECHO");
  std::unique_ptr<QuorResponse> back(client.getResponse(0, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(textOf(*back), "hello broker");
  EXPECT_EQ(client.commit(), 1);
}

TEST_F(MarshallBrokerTest, RequestWithItsOwnCorrelIdKeepsIt) {
  QuorClient client("C1", 1, "ECHO");
  QLXMSG msg = kQlxMsgDefault;
  std::memcpy(msg.CorrelId, "chosen-correl-id-24bytes", 24);
  char body[] = "hello broker";
  msg.MsgLength = sizeof body - 1;
  msg.MsgBuffer = {0, msg.MsgLength, body};
  QuorRequest sent(client.handle(), &msg, 0, kQlxGetOptDefault);
  ASSERT_EQ(sent.putRequest(client.handle(), client.transaction(), "ECHO", kQlxPutOptDefault), 1);
  ASSERT_EQ(client.commit(), 1);
  EXPECT_EQ(marshalAndAnswer(false), "chosen-correl-id-24bytes");
  std::unique_ptr<QuorResponse> back(client.getResponse(sent.theme(), 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(textOf(*back), "hello broker");
  EXPECT_EQ(std::memcmp(back->descriptor().CorrelId, "chosen-correl-id-24bytes", 24), 0);
  EXPECT_EQ(client.commit(), 1);
}

}  // namespace
}  // namespace zvr::testing
