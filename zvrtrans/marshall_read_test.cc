// Reading a transformed piece back into a response: round trips with the writer, the
// put-option rules, absent versus broken fields, order, truncation, and what is not a
// header.
#include <climits>
#include <cstring>
#include <string>

#include "catalog.h"
#include "dump.h"
#include "marshall.h"
#include "marshall_testing.h"

namespace zvr::testing {
namespace {

using MarshallReadTest = MarshallTest;

// A piece with a header holding `attributes` (the Attributes section's fields) and then
// `rest` before "</Header>", followed by the body "BODY".
std::string pieceWith(const std::string& attributes, const std::string& rest = "") {
  return begin("Header") + begin("Attributes") + attributes + end("Attributes") + rest +
         end("Header") + "BODY";
}

bool sameId(const QLXMSGID& id, const std::string& bytes) {
  return bytes.size() == 24 && std::memcmp(id, bytes.data(), 24) == 0;
}

TEST_F(MarshallReadTest, WritersOwnOutputReadsBackToTheRequest) {
  std::string text = marshal(1, "hello", "TAGDATA");
  ZvrRouteList routes;
  auto response = read(text, &routes);
  ASSERT_NE(response, nullptr);
  const QLXMSG& msg = response->descriptor();
  const QLXMSG& req = request_->descriptor();
  for (auto field : {&QLXMSG::MsgType, &QLXMSG::Priority, &QLXMSG::Persistence,
                     &QLXMSG::Feedback, &QLXMSG::Expiry, &QLXMSG::CodePage, &QLXMSG::Encoding,
                     &QLXMSG::Status})
    EXPECT_EQ(msg.*field, req.*field);
  EXPECT_EQ(std::memcmp(msg.MsgId, req.MsgId, 24), 0);
  EXPECT_EQ(std::memcmp(msg.CorrelId, req.CorrelId, 24), 0);
  EXPECT_STREQ(msg.FormatName, "ORDERS");
  EXPECT_EQ(msg.Format, -1);
  EXPECT_EQ(bodyOf(*response), "hello");
  EXPECT_EQ(tagOf(*response), "TAGDATA");
  // Body and tag point into the piece, not into copies.
  const char* piece = static_cast<const char*>(static_cast<void*>(pieces_.back().get()));
  EXPECT_EQ(msg.MsgBuffer.Data, piece + text.size() - 5);
  EXPECT_EQ(msg.MsgBuffer.Owned, 0u);
  EXPECT_GT(static_cast<const char*>(msg.TagBuffer.Data), piece);
  EXPECT_EQ(routes.getCount(), 0u);
  // Defaults, whatever the text said.
  EXPECT_EQ(msg.BackoutCount, -1);
  EXPECT_EQ(msg.TimeStamp.TimeStampSec, 0);
  // The request's correlation id is its theme id (the theme query gave none): bit 16.
  const QLXPUTOPT& put = response->getPutOptions();
  EXPECT_EQ(put.Options, 0x40000000u | kQlxPutNewCorrel | kQlxPutNoReply);
}

TEST_F(MarshallReadTest, ChangedIdsAreCarriedInThePutOptions) {
  std::string text = pieceWith(field("MsgID", "ABC") + field("CorrelID", std::string(30, 'c')));
  auto response = read(text);
  ASSERT_NE(response, nullptr);
  const QLXMSG& msg = response->descriptor();
  EXPECT_TRUE(sameId(msg.MsgId, std::string("ABC") + std::string(21, '\0')));
  EXPECT_TRUE(sameId(msg.CorrelId, std::string(24, 'c')));
  const QLXPUTOPT& put = response->getPutOptions();
  EXPECT_EQ(put.Options, 0x40000000u | kQlxPutMsgId | kQlxPutCorrelId | kQlxPutNoReply);
  EXPECT_TRUE(sameId(put.MsgId, std::string("ABC") + std::string(21, '\0')));
  EXPECT_TRUE(sameId(put.CorrelId, std::string(24, 'c')));
  EXPECT_EQ(bodyOf(*response), "BODY");
}

TEST_F(MarshallReadTest, NumberFieldsConvertLikeScanfOnA32BitHost) {
  struct Case {
    std::string value;
    int32_t expected;  // the request's -2 when nothing converts
  } cases[] = {
      {"7", 7},           {" 12", 12},      {"\t-3x", -3},         {"+5", 5},
      {"abc", -2},        {"", -2},         {"-", -2},             {" ", -2},
      {"99999999999", INT32_MAX},           {"-99999999999", INT32_MIN},
      {"2147483647", INT32_MAX},            {"-2147483648", INT32_MIN},
      {"0012", 12},       {"1 2", 1},
  };
  for (const Case& c : cases) {
    auto response = read(pieceWith(field("Priority", c.value) + field("Encoding", c.value)));
    ASSERT_NE(response, nullptr) << c.value;
    EXPECT_EQ(response->descriptor().Priority, c.expected) << "'" << c.value << "'";
    EXPECT_EQ(response->descriptor().Encoding, c.expected) << "'" << c.value << "'";
  }
}

TEST_F(MarshallReadTest, DiscardedFieldsHaveNoEffect) {
  auto response = read(pieceWith(field("Theme", "T") + field("Signature", "XXXX") +
                                 field("Version", "9") + field("MsgType", "9") +
                                 field("Status", "9") + field("BackoutCount", "9") +
                                 field("TimeStamp", "1.2")));
  ASSERT_NE(response, nullptr);
  const QLXMSG& msg = response->descriptor();
  EXPECT_EQ(std::memcmp(msg.Signature, "BXMD", 4), 0);
  EXPECT_EQ(msg.Version, 2);
  EXPECT_EQ(msg.MsgType, 0);  // the request's
  EXPECT_EQ(msg.Status, 0);   // the request's
  EXPECT_EQ(msg.BackoutCount, -1);
  EXPECT_EQ(msg.TimeStamp.TimeStampSec, 0);
}

TEST_F(MarshallReadTest, FormatNameIsCutTo132) {
  descriptor_.Format = 5;
  auto response = read(pieceWith("", field("FormatName", std::string(200, 'N'))));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(std::string(response->descriptor().FormatName, 132), std::string(132, 'N'));
  EXPECT_EQ(response->descriptor().Format, -1);
  response = read(pieceWith("", field("FormatName", std::string("AB\0CD", 5))));
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response->descriptor().FormatName, "AB");
}

TEST_F(MarshallReadTest, EmptyFieldsAndEmptyBody) {
  auto response = read(begin("Header") + field("FormatName", "") + field("Tag", "") +
                       end("Header"));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->descriptor().MsgLength, 0u);
  EXPECT_EQ(response->descriptor().TagLength, 0u);
  EXPECT_STREQ(response->descriptor().FormatName, "");
  response = read("");
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->descriptor().MsgLength, 0u);
}

TEST_F(MarshallReadTest, WhatIsNotAHeaderIsTakenWholeAsTheBody) {
  request("hello", "REQTAG");
  const std::string cases[] = {
      " " + begin("Header") + end("Header"),
      "<header>\r\n" + end("Header"),
      "<Header>\n</Header>\r\n",
      begin("Header"),  // nothing after the delimiter
      "<Header>\r",
      "x",
  };
  for (const std::string& text : cases) {
    auto response = read(text);
    ASSERT_NE(response, nullptr) << text;
    const QLXMSG& msg = response->descriptor();
    EXPECT_EQ(bodyOf(*response), text);
    EXPECT_EQ(msg.Priority, -2);
    EXPECT_STREQ(msg.FormatName, "ORDERS");
    EXPECT_TRUE(sameId(msg.MsgId, kTestMsgId));
    EXPECT_EQ(tagOf(*response), "REQTAG");  // the request's tag, shared
    EXPECT_EQ(msg.TagBuffer.Data, request_->descriptor().TagBuffer.Data);
  }
}

TEST_F(MarshallReadTest, BrokenFieldsAndMissingSectionEndsFail) {
  struct Case {
    std::string text;
    const char* name;
    const char* id;
  } cases[] = {
      {pieceWith("<Priority>7</Priority>"), "Priority", "ZVRM0001"},  // no CR LF
      {pieceWith("<Priority>7\r\n"), "Priority", "ZVRM0001"},
      {pieceWith("<MsgID>abc</MsgID>\n"), "MsgID", "ZVRM0001"},
      {pieceWith("<Theme>"), "Theme", "ZVRM0001"},
      {pieceWith("<TimeStamp>1.2"), "TimeStamp", "ZVRM0001"},
      {pieceWith("", "<FormatName>X"), "FormatName", "ZVRM0001"},
      {pieceWith("", "<Tag>X"), "Tag", "ZVRM0001"},
      // Out of order: Encoding before Priority; Priority is then not recognised.
      {pieceWith(field("Encoding", "1") + field("Priority", "1")), "Attributes", "ZVRM0001"},
      {pieceWith(field("Unknown", "1")), "Attributes", "ZVRM0001"},
      {begin("Header") + begin("Attributes") + end("Header"), "Attributes", "ZVRM0001"},
      {begin("Header") + field("FormatName", "X") + "BODY", "Header", "ZVRM0001"},
      {begin("Header") + field("Tag", "X") + field("FormatName", "X") + end("Header"),
       "Header", "ZVRM0001"},
  };
  for (const Case& c : cases) {
    EXPECT_ZVR_FAILURE(read(c.text), c.id) << c.text;
    ASSERT_NE(ZVRerror, nullptr);
    EXPECT_EQ(std::string(ZVRerror->text()),
              std::string("Unable to locate end of section ``") + c.name + "''.");
    EXPECT_STREQ(ZVRerror->userAction(), ZVRUA_M0001);
  }
}

// Every truncation of a valid header either is not a header (too short to hold
// "<Header>" CR LF and a byte) or fails with ZVRM0001; none reads past its end (the
// pieces are exact-size heap copies, checked by the sanitizer build).
TEST_F(MarshallReadTest, EveryTruncationOfAHeaderFailsCleanly) {
  std::string text = marshal(1, "", "TAG");
  std::string header = text;
  for (size_t size = 0; size < header.size(); ++size) {
    std::string cut = header.substr(0, size);
    zvrClearError();
    auto response = read(cut);
    if (size <= begin("Header").size()) {
      ASSERT_NE(response, nullptr) << size;
      EXPECT_EQ(bodyOf(*response), cut);
    } else {
      EXPECT_ZVR_FAILURE(response.get(), "ZVRM0001") << size;
    }
  }
  EXPECT_NE(read(header), nullptr);
}

TEST_F(MarshallReadTest, ClosingTagIsTheFirstOccurrenceAndMaySpanLines) {
  auto response = read(pieceWith(field("Priority", "1\r\n<Persistence>5") +
                                 field("Feedback", "6")));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->descriptor().Priority, 1);
  EXPECT_EQ(response->descriptor().Persistence, -2);
  EXPECT_EQ(response->descriptor().Feedback, 6);
}

TEST_F(MarshallReadTest, VerboseFailureCarriesADumpOfThePiece) {
  std::string text = pieceWith("<Priority>7");
  ZVRverbose = 1;
  EXPECT_ZVR_FAILURE(read(text), "ZVRM0001");
  EXPECT_STREQ(ZVRerror->info(), "Transformed Buffer follows:");
  EXPECT_EQ(std::string(ZVRerror->data()), zvrDumpHex(text.data(), text.size()));
  ZVRverbose = 0;
  EXPECT_ZVR_FAILURE(read(text), "ZVRM0001");
  EXPECT_EQ(ZVRerror->info(), nullptr);
  ZVRverbose = 1;
}

TEST_F(MarshallReadTest, PieceBeyond32BitsIsRefusedBeforeAnyRead) {
  request();
  TsiMarshall marshall(*request_, 1);
  char small[4] = {'a', 'b', 'c', 'd'};
  void* data = small;
  unsigned long length = (1UL << 32) + 4;  // never read: refused first
  EXPECT_ZVR_FAILURE(marshall.createResponse(data, length, nullptr), "ZVRM0004");
  EXPECT_EQ(data, static_cast<void*>(small));
  EXPECT_EQ(length, (1UL << 32) + 4);
}

TEST_F(MarshallReadTest, ReadingDoesNotDependOnTheFlags) {
  request();
  TsiMarshall bodyOnly(*request_, 0);
  auto [data, length] = piece(pieceWith(field("Priority", "4")));
  std::unique_ptr<QuorResponse> response(bodyOnly.createResponse(data, length, nullptr));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->descriptor().Priority, 4);
  EXPECT_EQ(bodyOf(*response), "BODY");
}

}  // namespace
}  // namespace zvr::testing
