// Message: owned copies that outlive their source, lengths that never outgrow the data
// held, id conversion on short or foreign text, and the Print layout.
#include "message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The signature is its four characters as one big-endian number, both ways.
TEST(MessageTest, Signature) {
  Message m;
  EXPECT_EQ(m.Signature(), 0x42584D44);  // "BXMD"
  m.Signature(0x41424344);
  EXPECT_EQ(std::memcmp(m.descriptor().Signature, "ABCD", 4), 0);
}

TEST(MessageTest, CopiesOutliveTheirSource) {
  char body[] = "body bytes";
  char tag[] = "tag";
  QLXMSG source = kQlxMsgDefault;
  source.Format = 77;
  std::memset(source.FormatName, 'F', sizeof source.FormatName);  // no terminator
  source.MsgLength = 10;
  source.MsgBuffer = {0, 4, body};  // the buffer vouches for 4 bytes only
  source.TagLength = 3;
  source.TagBuffer = {0, 3, tag};
  Message m(source);
  std::memset(body, 'x', sizeof body - 1);
  tag[0] = 'x';
  EXPECT_EQ(std::string(m.MsgBuffer(), m.MsgLength()), "body");
  EXPECT_EQ(std::string(m.TagBuffer(), m.TagLength()), "tag");
  EXPECT_EQ(m.Format(), -2);  // the raw name leaves Format alone
  EXPECT_EQ(std::string(m.FormatName()), std::string(132, 'F'));

  Message copy;
  copy = m;
  m.MsgBuffer("other", 0);
  EXPECT_EQ(std::string(copy.MsgBuffer(), copy.MsgLength()), "body");
  EXPECT_EQ(copy.Format(), -2);
  EXPECT_NE(copy.descriptor().MsgBuffer.Data, m.descriptor().MsgBuffer.Data);

  // A body taken from the message's own storage.
  copy.MsgBuffer(copy.MsgBuffer() + 1, 2);
  EXPECT_EQ(std::string(copy.MsgBuffer(), copy.MsgLength()), "od");
  EXPECT_EQ(copy.MsgBuffer()[2], '\0');
}

TEST(MessageTest, LengthsNeverOutgrowTheData) {
  Message m;
  m.MsgLength(50);
  EXPECT_EQ(m.MsgLength(), 0);
  m.MsgBuffer("abcdef", 6);
  m.MsgLength(50);
  EXPECT_EQ(m.MsgLength(), 6);
  m.MsgLength(2);
  EXPECT_EQ(m.MsgLength(), 2);
  m.TagLength(1);
  EXPECT_EQ(m.TagLength(), 0);
  m.MsgBuffer(nullptr, 9);
  EXPECT_EQ(m.MsgLength(), 0);
}

TEST(MessageTest, IdConversion) {
  const std::string valid = "00112233445566778899AABBCCDDEEFFaabbccddeeff0011";
  const struct {
    std::string hex;
    int result;
  } rows[] = {
      {valid, 1},
      {valid + "99", 1},          // only 48 digits are read
      {valid.substr(0, 47), 0},   // one short
      {valid.substr(0, 30), 0},
      {"", 0},
      {valid.substr(0, 46) + "G1", 0},
      {valid.substr(0, 5) + " " + valid.substr(6), 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.hex);
    Message m;
    EXPECT_EQ(m.setId(row.hex.c_str()), row.result);
    unsigned char id[kQlxMsgIdLength];
    m.getId(id);
    EXPECT_EQ(id[0], row.result ? 0x00 : 0);
    EXPECT_EQ(id[23], row.result ? 0x11 : 0);
    EXPECT_EQ(id[8], row.result ? 0x88 : 0);
  }
  EXPECT_EQ(setQLXMSGID(nullptr, nullptr), 0);
}

TEST(MessageTest, PrintLayout) {
  Message m;
  m.MsgBuffer("0123456789abcdef\x01", 17);
  ::testing::internal::CaptureStdout();
  m.Print(0);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, std::string(79, '-') + "\nMsgBuffer:\n" +
                     "00000000: 30313233 34353637  38396162 63646566    0123456789abcdef \n"
                     "00000010: 01" + std::string(38, ' ') + ". \n");

  m.Priority(5);
  ::testing::internal::CaptureStdout();
  m.Print(1);
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Signature:  1113083204     Version:  0000000002      Type:  0000000000\n"
                     " Priority:  0000000005 Persistence: -0000000002    Format: -0000000002\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("   Status:  0000000000   MsgLength:  0000000017 TagLength:  0000000000 \n"
                     "FormatName: \nMsgId:\n00000000: 00000000"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.substr(out.size() - 11), "TagBuffer:\n");
}

}  // namespace
