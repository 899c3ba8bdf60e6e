#include "erroradt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "catalog.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

std::string displayOf(const ErrorADT& error) {
  char* text = nullptr;
  int length = error.display(text);
  std::string s(text, static_cast<size_t>(length));
  EXPECT_EQ(std::strlen(text), s.size()) << "display length disagrees with its text";
  delete[] text;
  return s;
}

// Counts deletions, to check who deletes the process-wide error.
struct CountedError : ErrorADT {
  explicit CountedError(int* deleted) : ErrorADT("ZVRS0001", 3, "x"), deleted_(deleted) {}
  ~CountedError() override { ++*deleted_; }
  int* deleted_;
};

class ErrorTest : public zvr::testing::BrokerHome {};

TEST_F(ErrorTest, DisplayHasThreeLinesWithoutOptionalParts) {
  ErrorADT error(ZVRID_R0002, kZvrWarning, ZVRTXT_R0002);
  EXPECT_EQ(displayOf(error), "\nZVRR0002\nWARNING: Unable to get a request message.");
  EXPECT_EQ(error.isQuorError(), 0);
  EXPECT_EQ(error.quorQlxError(), nullptr);
}

TEST_F(ErrorTest, SeverityWords) {
  const struct {
    unsigned severity;
    const char* word;
  } cases[] = {{0, "INFO"}, {1, "WARNING"}, {2, "ERROR"}, {3, "SEVERE"}, {4, "UNKNOWN"},
               {0xFFFFFFFFu, "UNKNOWN"}};
  for (const auto& c : cases) {
    ErrorADT error("ZVRX0001", c.severity, "t");
    EXPECT_EQ(displayOf(error), std::string("\nZVRX0001\n") + c.word + ": t") << c.severity;
  }
}

TEST_F(ErrorTest, DisplayWithEveryPart) {
  ErrorADT error(ZVRID_S0004, kZvrInfo, ZVRTXT_S0004, ZVRUA_S0004, "Buffer follows:",
                 "0123456789", 4);
  EXPECT_EQ(displayOf(error),
            "\nZVRS0004\nINFO: Message cleared from queue."
            "\nUser Action: No action required; the operation was successful."
            "\nBuffer follows:\n0123");
}

// Data comes from raw buffers: the copy stops at dataLength even without a terminator,
// and at an earlier NUL.
TEST_F(ErrorTest, AddInfoCopiesDataWithinItsLength) {
  const char raw[4] = {'a', 'b', 'c', 'd'};  // no terminator
  ErrorADT error("ZVRX0001", 1, "t");
  error.addInfo("info", raw, sizeof raw);
  EXPECT_STREQ(error.data(), "abcd");
  EXPECT_EQ(error.dataLength(), 4u);
  error.addInfo(nullptr, "ab\0cd", 5);
  EXPECT_EQ(error.info(), nullptr);
  EXPECT_STREQ(error.data(), "ab");
  EXPECT_EQ(error.dataLength(), 5u);
  EXPECT_EQ(displayOf(error), "\nZVRX0001\nWARNING: t\nab");
}

// The length given is kept, not the bytes copied: data that is empty up to its first NUL
// still has its (empty) line in the display, as any data with a non-zero length does.
TEST_F(ErrorTest, EmptyDataWithALengthKeepsItsLine) {
  ErrorADT error("ZVRX0001", 1, "t", nullptr, "Buffer follows:", "\0abc", 4);
  EXPECT_STREQ(error.data(), "");
  EXPECT_EQ(error.dataLength(), 4u);
  EXPECT_EQ(displayOf(error), "\nZVRX0001\nWARNING: t\nBuffer follows:\n");
}

TEST_F(ErrorTest, AddInfoReplacesAndClears) {
  ErrorADT error("ZVRX0001", 1, "t", nullptr, "old info", "old data", 8);
  error.addInfo("new info", nullptr, 0);
  EXPECT_STREQ(error.info(), "new info");
  EXPECT_EQ(error.data(), nullptr);
  EXPECT_EQ(error.dataLength(), 0u);
  error.addInfo(nullptr, nullptr, 0);
  EXPECT_EQ(error.info(), nullptr);
  EXPECT_EQ(error.data(), nullptr);
  EXPECT_EQ(displayOf(error), "\nZVRX0001\nWARNING: t");
}

TEST_F(ErrorTest, EmptyDataIsNotShown) {
  ErrorADT error("ZVRX0001", 1, "t", nullptr, nullptr, "", 0);
  EXPECT_EQ(displayOf(error), "\nZVRX0001\nWARNING: t");
}

TEST_F(ErrorTest, UpdateReplacesIdTextAndUserAction) {
  ErrorADT error("ZVRX0001", 2, "old", "old action");
  error._update("ZVRX0002", "new", nullptr);
  EXPECT_EQ(displayOf(error), "\nZVRX0002\nERROR: new");
}

TEST_F(ErrorTest, QuorErrorWithEmptyRecordShowsNone) {
  QLXERROR record{};
  record.Reason.Code = 2033;  // present but not marked valid: must not be rendered
  QuorError error(ZVRID_R0003, kZvrError, ZVRTXT_R0003, nullptr, record);
  EXPECT_EQ(displayOf(error),
            "\nZVRR0003\nERROR: Unable to commit transaction.\nReason: None\nSubReason: None");
  EXPECT_EQ(error.isQuorError(), 1);
  ASSERT_NE(error.quorQlxError(), nullptr);
  EXPECT_EQ(error.quorQlxError()->Reason.Code, 2033);
}

// The reason texts are the middleware's own rendering of each valid detail.
TEST_F(ErrorTest, QuorErrorRendersValidDetailsThroughTheMiddleware) {
  QLXERROR record{};
  record.Flags = kQlxErrorReason;
  record.Reason.Code = 26;
  std::strcpy(record.Reason.Text, "suppressed by configuration");
  char expected[400] = {};
  uint32_t length = sizeof expected;
  ASSERT_TRUE(qlxFormatError(&record.Reason, 1, expected, &length));
  QuorError error(ZVRID_R0011, kZvrWarning, ZVRTXT_R0011, ZVRUA_R0011, record);
  EXPECT_STREQ(error.reason(), expected);
  EXPECT_STREQ(error.subReason(), "None");
  EXPECT_GT(std::strlen(error.reason()), 0u);
  EXPECT_EQ(displayOf(error), std::string("\nZVRR0011\nWARNING: Request was suppressed by Quor."
                                          "\nUser Action: Inspect your Quor configuration for "
                                          "configuration errors\nReason: ") +
                                  expected + "\nSubReason: None");
}

// Without a record the error takes the last failure of the process.
TEST_F(ErrorTest, QuorErrorTakesTheLastMiddlewareFailure) {
  QLXSYNC sync = kQlxSyncDefault;
  ASSERT_EQ(qlxCommit(0x7FFF0001u, &sync), 0) << "a commit on an unknown handle must fail";
  QLXERROR last{};
  ASSERT_TRUE(qlxGetLastError(&last));
  ASSERT_TRUE(last.Flags & kQlxErrorReason);
  QuorError error(ZVRID_R0003, kZvrError, ZVRTXT_R0003);
  EXPECT_EQ(error.quorQlxError()->Reason.Code, last.Reason.Code);
  EXPECT_STRNE(error.reason(), "None");
}

TEST_F(ErrorTest, TransformErrorReasonParts) {
  const char* base = "\nZVRT0002\nERROR: Unable to transform message.";
  TransformError codeOnly(ZVRID_T0002, kZvrError, ZVRTXT_T0002, nullptr, 12, nullptr);
  EXPECT_EQ(displayOf(codeOnly), std::string(base) + "\nReason (12)");
  TransformError textOnly(ZVRID_T0002, kZvrError, ZVRTXT_T0002, nullptr,
                          static_cast<const char*>(nullptr), "map failed");
  EXPECT_EQ(displayOf(textOnly), std::string(base) + ": map failed");
  TransformError both(ZVRID_T0002, kZvrError, ZVRTXT_T0002, nullptr, -3, "bad input");
  EXPECT_EQ(displayOf(both), std::string(base) + "\nReason (-3): bad input");
  TransformError neither(ZVRID_T0002, kZvrError, ZVRTXT_T0002);
  EXPECT_EQ(displayOf(neither), base);
}

TEST_F(ErrorTest, TransformErrorWithInfoPutsReasonLast) {
  TransformError error(ZVRID_T0001, kZvrWarning, ZVRTXT_T0001, ZVRUA_T0001, 14, "warned",
                       "Transformed Buffer follows:", "data", 4);
  EXPECT_EQ(displayOf(error),
            "\nZVRT0001\nWARNING: Message was successfully transformed with problems."
            "\nUser Action: Review the reason for the error\nTransformed Buffer follows:"
            "\ndata\nReason (14): warned");
}

TEST_F(ErrorTest, StreamsWriteTheDisplayText) {
  QuorError quor(ZVRID_R0004, kZvrError, ZVRTXT_R0004, nullptr, QLXERROR{});
  TransformError transform(ZVRID_TT0005, kZvrWarning, ZVRTXT_TT0005);
  const ErrorADT& asBase = quor;
  std::ostringstream a, b, c;
  a << quor;
  b << asBase;
  c << transform;
  EXPECT_EQ(a.str(), displayOf(quor));
  EXPECT_EQ(b.str(), displayOf(quor));
  EXPECT_EQ(c.str(), displayOf(transform));
}

TEST_F(ErrorTest, WriteLogEchoesTheDisplayText) {
  ErrorADT error(ZVRID_R0019, kZvrWarning, ZVRTXT_R0019);
  ZVRdebug = 0;
  ZVRverbose = 1;
  testing::internal::CaptureStderr();
  error.writeLog();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string(40, '*') + displayOf(error) + "\n");
}

TEST_F(ErrorTest, SetErrorDeletesTheErrorItReplaces) {
  int deleted = 0;
  zvrSetError(new CountedError(&deleted));
  ErrorADT* first = ZVRerror;
  zvrSetError(first);  // storing the pending error again keeps it
  EXPECT_EQ(deleted, 0);
  zvrSetError(new CountedError(&deleted));
  EXPECT_EQ(deleted, 1);
  zvrClearError();
  EXPECT_EQ(deleted, 2);
  EXPECT_EQ(ZVRerror, nullptr);
}

TEST_F(ErrorTest, TakeErrorHandsOverOwnership) {
  int deleted = 0;
  zvrSetError(new CountedError(&deleted));
  ErrorADT* taken = zvrTakeError();
  EXPECT_EQ(ZVRerror, nullptr);
  zvrClearError();
  EXPECT_EQ(deleted, 0);
  delete taken;
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(zvrTakeError(), nullptr);
}

TEST_F(ErrorTest, FailureMacroChecksBothHalves) {
  zvrSetError(new ErrorADT(ZVRID_R0002, kZvrWarning, ZVRTXT_R0002));
  EXPECT_ZVR_FAILURE(0, ZVRID_R0002);
  EXPECT_ZVR_FAILURE(static_cast<void*>(nullptr), "ZVRR0002");
  EXPECT_FALSE(zvr::testing::zvrFailed("e", "i", 1, "ZVRR0002"));
  EXPECT_FALSE(zvr::testing::zvrFailed("e", "i", 0, "ZVRR0003"));
  zvrClearError();
  EXPECT_FALSE(zvr::testing::zvrFailed("e", "i", 0, "ZVRR0002"));
}

}  // namespace
