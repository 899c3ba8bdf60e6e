// Writing the tagged text: the documented example byte for byte, the header flag, the
// tag field, and the buffer bound.
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "dump.h"
#include "marshall.h"
#include "marshall_format.h"
#include "marshall_testing.h"

namespace zvr::testing {
namespace {

using MarshallWriteTest = MarshallTest;

// The header of the example request, line by line.
std::string exampleHeader() {
  return begin("Header") + begin("Attributes") + field("Signature", "BXMD") +
         field("Version", "2") + field("MsgType", "0") + field("Priority", "-2") +
         field("Persistence", "-2") + field("Feedback", "-2") + field("Expiry", "-2") +
         field("CodePage", "-2") + field("Encoding", "-2") + field("MsgID", kTestMsgId) +
         field("CorrelID", kTestCorrelId) + field("Status", "0") + field("BackoutCount", "0") +
         field("TimeStamp", "1015478493.000250") + end("Attributes") +
         field("FormatName", "ORDERS") + end("Header");
}

TEST_F(MarshallWriteTest, ExampleRequestMarshalsTo495Bytes) {
  std::string text = marshal(1);
  EXPECT_EQ(text.size(), 495u);
  EXPECT_EQ(exampleHeader().size(), 490u);
  EXPECT_EQ(text, exampleHeader() + "hello");
}

TEST_F(MarshallWriteTest, WithoutTheHeaderFlagTheTextIsTheBodyAlone) {
  EXPECT_EQ(marshal(0), "hello");
  EXPECT_EQ(marshal(0, std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(marshal(0, ""), "");
}

TEST_F(MarshallWriteTest, TagFollowsTheFormatNameAndBytesPassUnaltered) {
  std::string tag("<Tag>\r\n\0x", 9);
  std::string text = marshal(1, "body", tag);
  std::string header = exampleHeader();
  std::string withTag = header.substr(0, header.size() - end("Header").size()) +
                        field("Tag", tag) + end("Header");
  EXPECT_EQ(text, withTag + "body");
}

TEST_F(MarshallWriteTest, FieldsAreWrittenAsSignedNumbersAndTimeStampIsPadded) {
  struct Case {
    int32_t sec, usec;
    const char* expected;
  } cases[] = {
      {1015478493, 250, "1015478493.000250"},
      {0, 0, "0.000000"},
      {1, 1234567, "1.1234567"},
      {-1, -5, "-1.-000005"},
  };
  for (const Case& c : cases) {
    descriptor_.TimeStamp = {c.sec, c.usec};
    EXPECT_NE(marshal(1).find(field("TimeStamp", c.expected)), std::string::npos) << c.expected;
  }
  descriptor_.Priority = INT32_MIN;
  descriptor_.Expiry = INT32_MAX;
  std::string text = marshal(1);
  EXPECT_NE(text.find(field("Priority", "-2147483648")), std::string::npos);
  EXPECT_NE(text.find(field("Expiry", "2147483647")), std::string::npos);
}

TEST_F(MarshallWriteTest, FormatNameOf132CharactersIsWrittenWhole) {
  std::memset(descriptor_.FormatName, 'F', sizeof descriptor_.FormatName);  // no terminator
  EXPECT_NE(marshal(1).find(field("FormatName", std::string(132, 'F'))), std::string::npos);
  std::memset(descriptor_.FormatName, 0, sizeof descriptor_.FormatName);
  EXPECT_NE(marshal(1).find(field("FormatName", "")), std::string::npos);
}

// The widest header fills the bound exactly: every number at 11 characters, both time
// stamp words included, a 132-character format name and a tag. A writer that went past
// the bound would overrun the heap text (caught by the sanitizer build) or fail the
// comparison below.
TEST_F(MarshallWriteTest, WidestHeaderFillsTheUpperBoundExactly) {
  for (int32_t* number : {&descriptor_.Version, &descriptor_.MsgType, &descriptor_.Priority,
                          &descriptor_.Persistence, &descriptor_.Feedback, &descriptor_.Expiry,
                          &descriptor_.CodePage, &descriptor_.Encoding, &descriptor_.Status,
                          &descriptor_.BackoutCount})
    *number = INT32_MIN;
  descriptor_.TimeStamp = {INT32_MIN, INT32_MIN};
  std::memset(descriptor_.FormatName, 'F', sizeof descriptor_.FormatName);
  std::string tag(1000, 't');
  std::string text = marshal(1, "body", tag);
  EXPECT_EQ(text.size(), marshallHeaderBound(true, 1000) + 4);
  EXPECT_EQ(text.substr(text.size() - 4), "body");
}

TEST_F(MarshallWriteTest, BufferAddressNullWritesNoData) {
  request("hello");
  descriptor_.MsgBuffer.Data = nullptr;  // MsgLength still 5
  descriptor_.TagLength = 3;             // and no tag bytes either
  QuorRequest broken(0, &descriptor_, 7, kQlxGetOptDefault);
  TsiMarshall marshall(broken, 0);
  EXPECT_EQ(marshall.length(), 0u);
  TsiMarshall withHeader(broken, 1);
  std::string text(static_cast<const char*>(withHeader.buffer()), withHeader.length());
  EXPECT_NE(text.find("<Tag></Tag>\r\n</Header>\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 11), "</Header>\r\n");
}

// A length field beyond the buffer the middleware described is not followed: the writer
// copies only the buffer's own Length bytes (the sanitizer build catches a read past).
TEST_F(MarshallWriteTest, LengthsBeyondTheBufferAreNotRead) {
  request("hello", "tag");
  auto body = std::make_unique<char[]>(3);
  auto tag = std::make_unique<char[]>(2);
  std::memcpy(body.get(), "hel", 3);
  std::memcpy(tag.get(), "ta", 2);
  descriptor_.MsgBuffer = {0, 3, body.get()};  // MsgLength still 5
  descriptor_.TagBuffer = {0, 2, tag.get()};   // TagLength still 3
  QuorRequest overstated(0, &descriptor_, 7, kQlxGetOptDefault);
  TsiMarshall bodyOnly(overstated, 0);
  EXPECT_EQ(std::string(static_cast<const char*>(bodyOnly.buffer()), bodyOnly.length()), "hel");
  TsiMarshall withHeader(overstated, 1);
  std::string text(static_cast<const char*>(withHeader.buffer()), withHeader.length());
  EXPECT_NE(text.find(field("Tag", "ta") + end("Header") + "hel"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 3), "hel");
}

// The text is sized from the bytes that can be read, not from the length fields: a request
// claiming a tag of 4 GiB with three bytes behind it reserves room for three bytes (the
// old sizing reserved 4 GiB and threw when that failed, which ended the server).
TEST_F(MarshallWriteTest, TextIsSizedFromTheReadableBytes) {
  request("hello", "tag");
  descriptor_.TagLength = UINT32_MAX;  // TagBuffer.Length still 3
  descriptor_.MsgLength = UINT32_MAX;  // MsgBuffer.Length still 5
  QuorRequest claiming(0, &descriptor_, 7, kQlxGetOptDefault);
  std::unique_ptr<TsiMarshall> marshall(TsiMarshall::create(claiming, 1));
  ASSERT_NE(marshall, nullptr);
  EXPECT_EQ(marshall->capacity(), marshallHeaderBound(true, 3) + 5);
  std::string text(static_cast<const char*>(marshall->buffer()), marshall->length());
  std::string tail = field("Tag", "tag") + end("Header") + "hello";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(MarshallWriteTest, DisplayShowsLengthAndHexDump) {
  TsiMarshall marshall(request(), 0);
  char* text = nullptr;
  int length = marshall.display(text);
  std::string expected =
      "\nMarshall Buffer\n---------------\nLength: 5\n\n" + zvrDumpHex("hello", 5);
  EXPECT_EQ(std::string(text, length), expected);
  delete[] text;
  std::ostringstream os;
  os << marshall;
  EXPECT_EQ(os.str(), expected);
}

TEST_F(MarshallWriteTest, SetBufferCopiesEvenFromItsOwnText) {
  TsiMarshall marshall(request("0123456789"), 0);
  const char* own = static_cast<const char*>(marshall.buffer());
  EXPECT_EQ(marshall.setBuffer(own + 2, 5), 1);
  EXPECT_EQ(std::string(static_cast<const char*>(marshall.buffer()), marshall.length()),
            "23456");
  std::string outside = "xyz";
  marshall.setBuffer(outside.data(), outside.size());
  outside = "abc";
  EXPECT_EQ(std::string(static_cast<const char*>(marshall.buffer()), 3), "xyz");
  marshall.setBuffer(nullptr, 0);
  EXPECT_EQ(marshall.length(), 0u);
}

}  // namespace
}  // namespace zvr::testing
