// Taking length-prefixed frames off the engine output.
#include <climits>
#include <string>
#include <vector>

#include "catalog.h"
#include "framecheck.h"
#include "marshall.h"
#include "marshall_testing.h"

namespace zvr::testing {
namespace {

class MarshallFrameTest : public MarshallTest {
 protected:
  struct Frame {
    std::string data;
    unsigned long taken;
    unsigned error;
    std::string id;  // pending error afterwards, or empty
  };

  // Takes one frame off `*text`/`*length` (advanced past the frame's data when it fits).
  Frame split(void*& text, unsigned long& length) {
    zvrClearError();
    TsiMarshall marshall(request(), 1);
    unsigned long before = length;
    const char* start = static_cast<const char*>(text);
    unsigned error = 7;
    unsigned long taken = marshall.splitMultiBuffer(text, length, error);
    EXPECT_LE(taken, before);
    EXPECT_EQ(static_cast<const char*>(text), start + taken);
    EXPECT_LE(length, before - taken);  // the data never runs past the output
    Frame frame{std::string(static_cast<const char*>(text), length), taken, error,
                ZVRerror ? ZVRerror->id() : ""};
    text = static_cast<char*>(text) + length;
    length = before - taken - length;
    return frame;
  }

  Frame splitOnce(const std::string& output) {
    auto [text, length] = piece(output);
    return split(text, length);
  }
};

TEST_F(MarshallFrameTest, OneFrame) {
  Frame frame = splitOnce("5 hello");
  EXPECT_EQ(frame.data, "hello");
  EXPECT_EQ(frame.taken, 2u);
  EXPECT_EQ(frame.error, 0u);
  EXPECT_EQ(frame.id, "");
}

TEST_F(MarshallFrameTest, FramesFollowEachOtherWithAnyWhiteSpaceTerminator) {
  auto [text, length] = piece("3\nabc4 wxyz0\t2\rhi1\v!1\fx");
  std::vector<std::string> data;
  while (length != 0) data.push_back(split(text, length).data);
  EXPECT_EQ(data, (std::vector<std::string>{"abc", "wxyz", "", "hi", "!", "x"}));
}

TEST_F(MarshallFrameTest, PrefixCasesTable) {
  struct Case {
    std::string output;
    std::string data;
    unsigned long taken;
    unsigned error;
    std::string id;
  } cases[] = {
      {"12", "", 2, 1, "ZVRM0005"},       // digits run to the end
      {"1x hello", "", 2, 1, "ZVRM0006"},  // improper terminator
      {"0 ", "", 2, 0, "ZVRM0007"},
      {"hello", "", 1, 0, "ZVRM0007"},  // no digits: an empty frame, one byte off
      {"0", "", 1, 0, "ZVRM0007"},      // never past the end
      {"", "", 0, 0, "ZVRM0007"},
      {"007 abcdefg", "abcdefg", 4, 0, ""},
      {"3 abc", "abc", 2, 0, ""},
      // A declared length beyond the bytes that follow is a frame error.
      {"4 abc", "", 2, 1, "ZVRM0006"},
      {"1 ", "", 2, 1, "ZVRM0006"},
      // Beyond 32 bits, however many digits.
      {"4294967296 x", "", 11, 1, "ZVRM0006"},
      {std::string(40, '9') + " x", "", 41, 1, "ZVRM0006"},
      {"4294967295 x", "", 11, 1, "ZVRM0006"},  // fits 32 bits, not the output
  };
  for (const Case& c : cases) {
    Frame frame = splitOnce(c.output);
    EXPECT_EQ(frame.data, c.data) << c.output;
    EXPECT_EQ(frame.taken, c.taken) << c.output;
    EXPECT_EQ(frame.error, c.error) << c.output;
    EXPECT_EQ(frame.id, c.id) << c.output;
  }
}

TEST_F(MarshallFrameTest, ErrorsCarryTheirCatalogTextsAndSeverities) {
  splitOnce("12");
  EXPECT_STREQ(ZVRerror->text(), "User data length field is not terminated.");
  EXPECT_EQ(ZVRerror->severity(), 2u);
  EXPECT_EQ(ZVRerror->info(), nullptr);  // frame errors carry no dump
  splitOnce("0 ");
  EXPECT_STREQ(ZVRerror->text(), "User data length is zero.");
  EXPECT_EQ(ZVRerror->severity(), 1u);
  EXPECT_STREQ(ZVRerror->userAction(), ZVRUA_M0007);
  splitOnce("9 abc");
  EXPECT_STREQ(ZVRerror->text(), "User data length field is improperly terminated.");
  EXPECT_STREQ(ZVRerror->info(), "The user data length 9 exceeds the 3 bytes that follow.");
}

TEST_F(MarshallFrameTest, OutputNotInFrameFormIsConsumedByteByByte) {
  auto [text, length] = piece("hello");
  int frames = 0;
  while (length != 0) {
    Frame frame = split(text, length);
    EXPECT_EQ(frame.error, 0u);
    EXPECT_EQ(frame.taken, 1u);
    ++frames;
  }
  EXPECT_EQ(frames, 5);
}

TEST_F(MarshallFrameTest, SplitFramesReadBackIntoResponses) {
  std::string first = marshal(1, "one");
  std::string second = "plain second card";
  auto [text, length] = piece(std::to_string(first.size()) + " " + first +
                              std::to_string(second.size()) + "\n" + second);
  const char* end = static_cast<const char*>(text) + length;
  request();
  TsiMarshall marshall(*request_, 1);
  std::vector<std::string> bodies;
  while (text != end) {
    length = end - static_cast<const char*>(text);
    unsigned error = 0;
    ASSERT_GT(marshall.splitMultiBuffer(text, length, error), 0u);
    ASSERT_EQ(error, 0u);
    std::unique_ptr<QuorResponse> response(marshall.createResponse(text, length, nullptr));
    ASSERT_NE(response, nullptr);
    bodies.push_back(bodyOf(*response));
    text = static_cast<char*>(text) + length;
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"one", "plain second card"}));
}

// The whole-output check before zvrtbc puts anything: a sequence of frames to the last
// byte passes with its count; anything else fails with the framing hint, nothing raised
// on success.
TEST(FrameCheckTest, WholeOutputIsFramesOrAnError) {
  const struct {
    std::string output;
    unsigned long frames;  // 0: refused
    const char* id;
    const char* info;
  } rows[] = {
      {"5 hello", 1, nullptr, nullptr},
      {"3\nabc4 wxyz", 2, nullptr, nullptr},
      {"0 ", 1, nullptr, nullptr},
      {"5 hello0 ", 2, nullptr, nullptr},
      {"", 0, ZVRID_M0005, "(no data at byte 0 of 0)"},
      {"hello", 0, ZVRID_M0006, "(no length at byte 0 of 5)"},
      {"3 WIDGETS AND 12 NUTS", 0, ZVRID_M0006, "(no length at byte 5 of 21)"},
      {"5 hello ", 0, ZVRID_M0006, "(no length at byte 7 of 8)"},
      {"12", 0, ZVRID_M0005, "(a length without its end at byte 0 of 2)"},
      {"5 hello12", 0, ZVRID_M0005, "(a length without its end at byte 7 of 9)"},
      {"1x hello", 0, ZVRID_M0006, "(a length followed by data at byte 0 of 8)"},
      {"6 hello", 0, ZVRID_M0006, "(a length beyond the output at byte 0 of 7)"},
      {"4294967296 x", 0, ZVRID_M0006, "(a length beyond the output at byte 0 of 12)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    zvrClearError();
    unsigned long frames = 99;
    const int ok = zvrCheckFrames(row.output.data(), row.output.size(), frames);
    EXPECT_EQ(ok, row.frames != 0 ? 1 : 0);
    EXPECT_EQ(frames, row.frames);
    if (row.id == nullptr) {
      EXPECT_EQ(ZVRerror, nullptr);
      continue;
    }
    ASSERT_NE(ZVRerror, nullptr);
    EXPECT_STREQ(ZVRerror->id(), row.id);
    char* text = nullptr;
    ZVRerror->display(text);
    const std::string shown = text ? text : "";
    delete[] text;
    EXPECT_NE(shown.find(row.info), std::string::npos) << shown;
    EXPECT_NE(shown.find("Add the output framing option -oe1s"), std::string::npos) << shown;
  }
  zvrClearError();
}

}  // namespace
}  // namespace zvr::testing
