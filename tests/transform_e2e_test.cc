// A request's whole way through transformation on the embedded broker: a client puts it to
// a service, the business element gets it, it is marshalled, run through a map by the
// stand-in engine, and every frame of the output is read back into a response that goes
// on along the workflow to the client.
#include <gtest/gtest.h>
#include <merc.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "descriptor.h"
#include "erroradt.h"
#include "marshall.h"
#include "qlx.h"
#include "quorbusinesselement.h"
#include "quordirectory.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"
#include "transform.h"
#include "zvrlog.h"

namespace {

const std::string kMapsDir = ZVR_MAPS_DIR;
const std::string kBody = "order 4711: 3 widgets, 1 gadget";
const std::string kTag = "tag-of-order-4711";

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string bodyOf(const QLXMSG& msg) {
  if (msg.MsgBuffer.Data == nullptr) return "";
  return std::string(static_cast<const char*>(msg.MsgBuffer.Data), msg.MsgLength);
}

std::string tagOf(const QLXMSG& msg) {
  if (msg.TagBuffer.Data == nullptr) return "";
  return std::string(static_cast<const char*>(msg.TagBuffer.Data), msg.TagLength);
}

std::string formatOf(const QLXMSG& msg) {
  char name[kFormatNameArea];
  zvrGetFormatName(msg, name);
  return name;
}

class TransformE2ETest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (zvr::testing::qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
    if (!std::filesystem::exists(kMapsDir + "/identity"))
      GTEST_SKIP() << "sample maps not built in " << kMapsDir;
    ASSERT_EQ(MercInitAPI(), 0);
    std::string toml = std::string(
        "[element.ZVRTBC1]\nformats = [\"ORDERS\"]\n"
        "[client.C1]\nformats = [\"ORDERS\"]\n"
        "[service.TRANSFORM]\nworkflow = [\"element:ZVRTBC1\", \"origin\"]\n"
        "[dictionary.ZVRBroker]\npairs = [\n") +
        "  [\"ORDERS C1\", \"'" + kMapsDir + "/twocards' -oe1s\"],\n"
        "  [\"ORDERS BARE\", \"" + kMapsDir + "/upper_so.so\"],\n]\n";
    std::string file = home() + "/directory.toml";
    std::ofstream(file) << toml;
    std::string output;
    ASSERT_EQ(qlxadm("load '" + file + "'", &output), 0) << output;
    _connectClient();
  }

  void TearDown() override {
    if (client_ != 0) qlxTerminate(&client_);
    MercExitAPI();
    BrokerHome::TearDown();
  }

  void _connectClient() {
    QLXADDR addr = kQlxAddrDefault;
    std::memcpy(addr.Name, "C1", 2);
    ASSERT_EQ(qlxClientInitialize(&addr, &client_), 1);
  }

  // The client starts a workflow of service TRANSFORM with the body and tag.
  void putRequest() {
    QLXMSG msg = kQlxMsgDefault;
    zvrSetFormatName(msg, "ORDERS");
    zvrAttachBuffer(client_, msg.MsgBuffer, msg.MsgLength, kBody.data(),
                    static_cast<uint32_t>(kBody.size()));
    zvrAttachBuffer(client_, msg.TagBuffer, msg.TagLength, kTag.data(),
                    static_cast<uint32_t>(kTag.size()));
    QLXSERVICE service = kQlxServiceDefault;
    std::memcpy(service.Name, "TRANSFORM", 9);
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 0;
    QLXHANDLE theme = 0;
    ASSERT_EQ(qlxPutRequest(client_, &service, &msg, &put, &sync, &theme), 1);
  }

  // The bodies of the responses that reached the client, in arrival order.
  std::vector<std::string> clientBodies(size_t expected) {
    std::vector<std::string> bodies;
    for (size_t i = 0; i < expected; ++i) {
      QLXMSG msg = kQlxMsgDefault;
      QLXGETOPT get = kQlxGetOptDefault;
      get.Options |= kQlxGetWait;
      get.Wait = 5000;
      QLXSYNC sync = kQlxSyncDefault;
      sync.SyncType = 0;
      QLXHANDLE theme = 0;
      if (!qlxGetResponse(client_, &msg, &get, &sync, &theme)) break;
      bodies.push_back(bodyOf(msg));
      zvrReleaseBuffer(client_, msg.MsgBuffer);
      zvrReleaseBuffer(client_, msg.TagBuffer);
    }
    return bodies;
  }

  // Splits the whole engine output into frames and reads each into a response.
  std::vector<std::unique_ptr<QuorResponse>> readBack(const TsiMarshall& marshall, void* output,
                                                      unsigned long length) {
    std::vector<std::unique_ptr<QuorResponse>> responses;
    char* rest = static_cast<char*>(output);
    unsigned long left = length;
    while (left > 0) {
      void* piece = rest;
      unsigned long pieceLength = left;
      unsigned error = 1;
      unsigned long taken = marshall.splitMultiBuffer(piece, pieceLength, error);
      EXPECT_EQ(error, 0u);
      EXPECT_LE(taken + pieceLength, left);
      if (error != 0 || pieceLength == 0 || taken + pieceLength > left) break;
      QuorResponse* response = marshall.createResponse(piece, pieceLength, nullptr);
      EXPECT_NE(response, nullptr) << (ZVRerror ? ZVRerror->id() : "");
      if (response == nullptr) break;
      responses.emplace_back(response);
      rest += taken + pieceLength;
      left -= taken + pieceLength;
    }
    return responses;
  }

  QLXHANDLE client_ = 0;
};

TEST_F(TransformE2ETest, IdentityAndTwoCardMapsThroughTsiSimpleTransform) {
  putRequest();
  QuorBusinessElement element("ZVRTBC1", 1);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  ASSERT_STREQ(request->formatName(), "ORDERS");
  TsiMarshall marshall(*request, 1);

  struct Run {
    const char* map;
    std::vector<std::string> bodies;
  } runs[] = {{"identity", {kBody}}, {"twocards", {kBody, upper(kBody)}}};
  std::vector<std::string> sent;
  for (const Run& run : runs) {
    TsiSimpleTransform transform(kMapsDir.c_str(), run.map, "k", "", "", 0,
                                 new QuorDictionary(element.directoryHandle()));
    void* output = nullptr;
    unsigned long length = 0;
    ASSERT_EQ(transform.transform("C1", request->formatName(), "C1", marshall.buffer(),
                                  marshall.length(), output, length),
              1)
        << run.map;
    std::vector<std::unique_ptr<QuorResponse>> responses = readBack(marshall, output, length);
    ASSERT_EQ(responses.size(), run.bodies.size()) << run.map;
    for (size_t i = 0; i < responses.size(); ++i) {
      const QLXMSG& msg = responses[i]->descriptor();
      EXPECT_EQ(bodyOf(msg), run.bodies[i]) << run.map << " frame " << i;
      EXPECT_EQ(tagOf(msg), kTag);
      EXPECT_EQ(formatOf(msg), "ORDERS");
      ASSERT_EQ(element.putResponse(responses[i].get()), 1) << run.map;
      sent.push_back(run.bodies[i]);
    }
    // The responses point into the output: they are put before the next run frees it.
  }
  ASSERT_EQ(element.commit(), 1);

  std::vector<std::string> got = clientBodies(sent.size());
  std::sort(got.begin(), got.end());
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(got, sent);
}

TEST_F(TransformE2ETest, DestinationMapAndOptionsFromTheDirectory) {
  putRequest();
  QuorBusinessElement element("ZVRTBC1", 1);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  TsiMarshall marshall(*request, 1);
  TsiDestinationTransform transform("", "", "", "", "", 0,
                                    new QuorDictionary(element.directoryHandle()));

  void* output = nullptr;
  unsigned long length = 0;
  // "ORDERS C1": the quoted two-card map with its options.
  ASSERT_EQ(transform.transform("C1", "ORDERS", "C1", marshall.buffer(), marshall.length(),
                                output, length),
            1);
  EXPECT_EQ(readBack(marshall, output, length).size(), 2u);
  // "ORDERS BARE": a bare map name and no options, so the default " -oe1s".
  ASSERT_EQ(transform.transform("BARE", "ORDERS", "BARE", marshall.buffer(), marshall.length(),
                                output, length),
            1);
  std::vector<std::unique_ptr<QuorResponse>> responses = readBack(marshall, output, length);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(bodyOf(responses[0]->descriptor()), upper(kBody));
  // No pair for the destination: ZVRD0006 logged by both lookups, ZVRT0003 pending.
  EXPECT_ZVR_FAILURE(transform.transform("NOWHERE", "ORDERS", "NOWHERE", marshall.buffer(),
                                         marshall.length(), output, length),
                     "ZVRT0003");
  EXPECT_EQ(length, 0u);
  std::string log = logText();
  EXPECT_NE(log.find("``ORDERS NOWHERE''"), std::string::npos) << log;
  ASSERT_EQ(element.rollback(), 1);
}

// The dictionary record is read once per run and never kept past it: a pair changed
// between two requests is what the next request uses.
TEST_F(TransformE2ETest, ADictionaryEditReachesTheNextRequest) {
  putRequest();
  QuorBusinessElement element("ZVRTBC1", 1);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr);
  TsiMarshall marshall(*request, 1);
  TsiDestinationTransform transform("", "", "", "", "", 0,
                                    new QuorDictionary(element.directoryHandle()));
  auto frames = [&]() -> size_t {
    void* output = nullptr;
    unsigned long length = 0;
    if (transform.transform("BARE", "ORDERS", "BARE", marshall.buffer(), marshall.length(),
                            output, length) != 1)
      return 0;
    return readBack(marshall, output, length).size();
  };
  EXPECT_EQ(frames(), 1u);
  std::string output;
  const std::string twocards = "'" + kMapsDir + "/twocards'";
  ASSERT_EQ(qlxadm("set ZVRBroker 'ORDERS BARE' \"" + twocards + "\"", &output), 0) << output;
  EXPECT_EQ(frames(), 2u);
  ASSERT_EQ(element.rollback(), 1);
}

}  // namespace
