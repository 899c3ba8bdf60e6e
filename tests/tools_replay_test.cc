// A workflow recorded by zvrtee -hex and replayed through zvrclnt -i: the receiving element
// gets the same bodies, tags and descriptor fields both times, binary bytes included.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "tools_process.h"

namespace {

using zvr::testing::ChildProcess;
using zvr::tools::Client;
using zvr::tools::Outgoing;
using zvr::tools::Seen;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ReplayTest : public zvr::tools::ToolsHome {
 protected:
  // REC passes the tee on its way to RX; PLAY goes to RX directly.
  std::string directoryText() const override {
    return "[element.TEE1]\nformats = [\"*\"]\n[element.RX]\nformats = [\"*\"]\n"
           "[client.C1]\nformats = []\n"
           "[service.REC]\nworkflow = [\"element:TEE1\", \"element:RX\", \"origin\"]\n"
           "[service.PLAY]\nworkflow = [\"element:RX\", \"origin\"]\n";
  }

  void SetUp() override {
    ToolsHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* tool : {"zvrtee", "zvrclnt"})
      if (zvr::tools::program(tool).empty()) GTEST_SKIP() << "this build has no " << tool;
  }

  // Serves one request as RX: notes what it carried and answers it with its own body.
  static std::unique_ptr<Seen> serve(const QuorBusinessElement& rx) {
    std::unique_ptr<QuorRequest> request(rx.getRequest());
    if (!request) return nullptr;
    auto seen = std::make_unique<Seen>(request->descriptor());
    std::unique_ptr<QuorResponse> response(request->createResponse());
    if (!response || !rx.putResponse(response.get()) || !rx.commit()) return nullptr;
    return seen;
  }
};

TEST_F(ReplayTest, HexRecordingReplaysByteForByte) {
  std::vector<Outgoing> sent = {
      Outgoing(zvr::tools::bytes("bin\0ary]\n[x]\r\n\xff\x80"), zvr::tools::bytes("tag\0]\n")),
      Outgoing("plain text", ""),
      Outgoing("[bracketed] body", "MsgBuffer: [fake] TagBuffer: []"),
  };
  sent[1].priority = 1;
  sent[1].expiry = 42;
  sent[2].format = "INVOICE";

  QuorBusinessElement rx("RX", 1);
  std::vector<Seen> recorded;
  {
    Client client("C1");
    ASSERT_TRUE(client.connected());
    ChildProcess tee(
        {zvr::tools::program("zvrtee"), "-e", "TEE1", "-hex", "-hdr", "-o", file("rec")},
        file("tee.out"), file("tee.err"));
    for (const Outgoing& request : sent) {
      ASSERT_TRUE(client.send("REC", request));
      std::unique_ptr<Seen> seen = serve(rx);
      ASSERT_NE(seen, nullptr) << text("tee.err");
      EXPECT_EQ(seen->body, request.body);
      recorded.push_back(*seen);
      std::string body;
      ASSERT_TRUE(client.receive(body));
    }
    EXPECT_EQ(tee.stop(), 0) << text("tee.err");
  }

  ChildProcess player(
      {zvr::tools::program("zvrclnt"), "-c", "C1", "-s", "PLAY", "-i", file("rec"), "-loop", "1"},
      file("clnt.out"), file("clnt.err"));
  for (size_t i = 0; i < recorded.size(); ++i) {
    std::unique_ptr<Seen> replayed = serve(rx);
    ASSERT_NE(replayed, nullptr) << "request " << i << text("clnt.err");
    EXPECT_TRUE(*replayed == recorded[i])
        << "request " << i << ": body " << replayed->body.size() << "/" << recorded[i].body.size()
        << " bytes, tag " << replayed->tag.size() << "/" << recorded[i].tag.size()
        << " bytes, format " << replayed->format << "/" << recorded[i].format;
  }
  EXPECT_EQ(player.wait(), 0) << text("clnt.err");
  const std::string shown = text("clnt.err");
  EXPECT_EQ(count(shown, "Sending Message: \n"), sent.size()) << shown;
  EXPECT_EQ(count(shown, "Received Message: \n"), sent.size()) << shown;
  EXPECT_NE(shown.find("Received Message: \nplain text\n"), std::string::npos) << shown;
}

}  // namespace
