#include "descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <fstream>
#include <string>

#include "testing/zvr_testing.h"

namespace {

TEST(DescriptorTest, InitialisesFromTheDefaultImage) {
  QLXMSG msg;
  std::memset(&msg, 0x5A, sizeof msg);
  zvrInitDescriptor(msg);
  QLXMSG expected;
  std::memset(&expected, 0, sizeof expected);  // zero everywhere else, padding included
  std::memcpy(expected.Signature, "BXMD", 4);
  expected.Version = 2;
  expected.Priority = expected.Persistence = expected.Format = expected.Feedback = -2;
  expected.Expiry = expected.CodePage = expected.Encoding = -2;
  expected.BackoutCount = -1;
  EXPECT_EQ(std::memcmp(&msg, &expected, sizeof msg), 0);
}

TEST(DescriptorTest, CopySharesBuffersAndEveryField) {
  char body[] = "body";
  QLXMSG from;
  zvrInitDescriptor(from);
  from.MsgBuffer = QLXBUFFER{1, 4, body};
  from.MsgLength = 4;
  from.Status = 0x4;
  from.TimeStamp = {123, 456};
  zvrSetFormatName(from, "X");
  QLXMSG to;
  zvrInitDescriptor(to);
  zvrCopyDescriptor(to, from);
  EXPECT_EQ(std::memcmp(&to, &from, sizeof to), 0);
  EXPECT_EQ(to.MsgBuffer.Data, body);
  zvrCopyDescriptor(to, to);
  EXPECT_EQ(std::memcmp(&to, &from, sizeof to), 0);
}

TEST(DescriptorTest, NamingAFormatSetsFormatToMinusOne) {
  QLXMSG msg;
  zvrInitDescriptor(msg);
  msg.Format = 8;
  zvrSetFormatName(msg, "ORDERS");
  EXPECT_EQ(msg.Format, -1);
  char out[kFormatNameArea];
  zvrGetFormatName(msg, out);
  EXPECT_STREQ(out, "ORDERS");
}

// Names of 131, 132 and 133 characters; shorter ones replace longer ones completely.
TEST(DescriptorTest, FormatNameLengthRules) {
  const struct {
    size_t length;
    size_t kept;
  } cases[] = {{0, 0}, {1, 1}, {131, 131}, {132, 132}, {133, 132}, {500, 132}};
  auto msg = std::make_unique<QLXMSG>();  // heap: a read past FormatName is caught
  zvrInitDescriptor(*msg);
  for (const auto& c : cases) {
    std::memset(msg->FormatName, 'Q', sizeof msg->FormatName);
    std::string name(c.length, 'n');
    zvrSetFormatName(*msg, name.c_str());
    char out[kFormatNameArea];
    std::memset(out, '?', sizeof out);
    zvrGetFormatName(*msg, out);
    EXPECT_EQ(std::string(out), std::string(c.kept, 'n')) << c.length;
    for (size_t i = c.kept; i < sizeof msg->FormatName; ++i)
      ASSERT_EQ(msg->FormatName[i], '\0') << "padding at " << i << " for " << c.length;
  }
}

TEST(DescriptorTest, AbsentFormatNameCountsAsEmpty) {
  QLXMSG msg;
  zvrInitDescriptor(msg);
  zvrSetFormatName(msg, "OLD");
  zvrSetFormatName(msg, nullptr);
  char out[kFormatNameArea];
  zvrGetFormatName(msg, out);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(msg.Format, -1);
}

TEST(DescriptorTest, IdsCopyExactlyTwentyFourBytes) {
  unsigned char source[30];
  for (int i = 0; i < 30; ++i) source[i] = static_cast<unsigned char>(0xA0 + i);
  source[5] = 0;  // ids are bytes, not texts
  QLXMSG msg;
  zvrInitDescriptor(msg);
  zvrSetId(msg.MsgId, source);
  EXPECT_EQ(std::memcmp(msg.MsgId, source, 24), 0);
  for (unsigned char b : msg.CorrelId) EXPECT_EQ(b, 0);  // the neighbour is untouched
  zvrSetId(msg.CorrelId, msg.MsgId);
  EXPECT_EQ(std::memcmp(msg.CorrelId, source, 24), 0);
  EXPECT_EQ(msg.Status, 0);
}

TEST(DescriptorTest, CopyNamePadsAndCuts) {
  char name[kQlxNameLength];
  std::memset(name, 'x', sizeof name);
  zvrCopyName(name, "ELEMENT");
  EXPECT_STREQ(name, "ELEMENT");
  for (size_t i = 7; i < sizeof name; ++i) ASSERT_EQ(name[i], '\0');
  std::string longName(200, 'L');
  zvrCopyName(name, longName.c_str());
  EXPECT_EQ(std::string(name, sizeof name), std::string(132, 'L'));
  zvrCopyName(name, nullptr);
  EXPECT_EQ(name[0], '\0');
}

// Buffers of the program's own are never handed to the middleware's release call.
TEST(DescriptorTest, AttachOverOwnBufferLeavesItToItsOwner) {
  char first[] = "first";
  char second[] = "second!";
  QLXMSG msg;
  zvrInitDescriptor(msg);
  zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, first, 5);
  EXPECT_EQ(msg.MsgBuffer.Owned, 0u);
  EXPECT_EQ(msg.MsgBuffer.Length, 5u);
  EXPECT_EQ(msg.MsgBuffer.Data, first);
  EXPECT_EQ(msg.MsgLength, 5u);
  zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, second, 7);
  EXPECT_EQ(msg.MsgBuffer.Data, second);
  EXPECT_EQ(msg.MsgLength, 7u);
  EXPECT_STREQ(first, "first");
  zvrReleaseBuffer(0, msg.MsgBuffer);
  EXPECT_EQ(msg.MsgBuffer.Data, second);  // left alone
  zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, nullptr, 0);
  EXPECT_EQ(msg.TagLength, 0u);
  EXPECT_EQ(msg.TagBuffer.Data, nullptr);
}

// Buffers the middleware allocated, taken from a real get of the embedded broker.
class OwnedBufferTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    if (zvr::testing::qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
    const std::string path = home() + "/directory.toml";
    std::ofstream(path) << "[element.E]\nformats = [\"*\"]\n[client.C1]\nformats = []\n"
                           "[service.ECHO]\nworkflow = [\"element:E\", \"origin\"]\n";
    std::string output;
    ASSERT_EQ(qlxadm("load '" + path + "'", &output), 0) << output;
    sync_.SyncType = 0;  // every get and put final at once
    QLXADDR client = kQlxAddrDefault;
    zvrCopyName(client.Name, "C1");
    ASSERT_TRUE(qlxClientInitialize(&client, &client_));
    QLXADDR element = kQlxAddrDefault;
    zvrCopyName(element.Name, "E");
    ASSERT_TRUE(qlxSPIInitialize(&element, 1, &element_, &directory_, work_));
  }
  void TearDown() override {
    if (client_) qlxTerminate(&client_);
    if (element_) qlxTerminate(&element_);
    BrokerHome::TearDown();
  }

  // Sends `body` to ECHO and gets it as the element: the descriptor's buffers are then
  // the middleware's.
  void roundTrip(const std::string& body, QLXMSG& got) {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, body.data(),
                    static_cast<uint32_t>(body.size()));
    zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, "tag", 3);
    QLXSERVICE service = kQlxServiceDefault;
    zvrCopyName(service.Name, "ECHO");
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXHANDLE theme = 0;
    ASSERT_TRUE(qlxPutRequest(client_, &service, &msg, &put, &sync_, &theme));
    zvrInitDescriptor(got);
    QLXGETOPT get = kQlxGetOptDefault;
    ASSERT_TRUE(qlxGetRequest(element_, &got, &get, &sync_, &theme));
    ASSERT_EQ(got.MsgBuffer.Owned, 1u);
    ASSERT_EQ(got.MsgLength, body.size());
  }

  QLXSYNC sync_ = kQlxSyncDefault;
  QLXHANDLE client_ = 0;
  QLXHANDLE element_ = 0;
  void* directory_ = nullptr;
  unsigned char work_[852] = {};
};

// The broker refuses to release a buffer twice: a second release of a saved copy of the
// field proves that ours went through qlxFreeBuffer.
TEST_F(OwnedBufferTest, AttachingOverAMiddlewareBufferReleasesIt) {
  QLXMSG got;
  ASSERT_NO_FATAL_FAILURE(roundTrip("middleware body", got));
  QLXBUFFER saved = got.MsgBuffer;
  const char own[] = "own";
  zvrAttachBuffer(element_, got.MsgBuffer, got.MsgLength, own, 3);
  EXPECT_EQ(got.MsgBuffer.Owned, 0u);
  EXPECT_EQ(got.MsgBuffer.Data, own);
  EXPECT_EQ(got.MsgLength, 3u);
  EXPECT_EQ(qlxFreeBuffer(element_, &saved), 0) << "the body was not released";
  QLXBUFFER savedTag = got.TagBuffer;
  zvrReleaseBuffer(element_, got.TagBuffer);
  EXPECT_EQ(got.TagBuffer.Data, nullptr);
  EXPECT_EQ(got.TagBuffer.Owned, 0u);
  if (savedTag.Owned == 1 && savedTag.Data) {
    EXPECT_EQ(qlxFreeBuffer(element_, &savedTag), 0);
  }
}

// A refused release leaves the middleware's buffer to the middleware and the field empty,
// so that nothing is released twice.
TEST_F(OwnedBufferTest, RefusedReleaseStillForgetsTheBuffer) {
  QLXMSG got;
  ASSERT_NO_FATAL_FAILURE(roundTrip("kept by the broker", got));
  std::string output;
  ASSERT_EQ(qlxadm("fault freebuffer 99", &output), 0) << output;
  QLXBUFFER saved = got.MsgBuffer;
  zvrReleaseBuffer(element_, got.MsgBuffer);
  EXPECT_EQ(got.MsgBuffer.Data, nullptr);
  EXPECT_EQ(got.MsgBuffer.Owned, 0u);
  EXPECT_EQ(std::string(static_cast<char*>(saved.Data), saved.Length), "kept by the broker");
  EXPECT_EQ(qlxFreeBuffer(element_, &saved), 1);
  zvrReleaseBuffer(element_, got.TagBuffer);
}

}  // namespace
