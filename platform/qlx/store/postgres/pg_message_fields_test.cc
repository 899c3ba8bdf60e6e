// The packed fields of a message row: what the store writes it reads back whole, the bytes
// are the ones the schema's upgrade of older rows writes, and damaged bytes are refused
// without a read past them.
#include "pg_message_fields.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace qlx::pg {
namespace {

MessageRow rowWith(int32_t value, int64_t millis, int32_t position) {
  MessageRow row;
  row.msgType = value;
  row.priority = -value;
  row.persistence = 1;
  row.format = value ^ 0x5A5A;
  row.feedback = 0;
  row.expiry = -1;
  row.codePage = 1208;
  row.encoding = value;
  row.putMillis = millis;
  row.theme.position = position;
  return row;
}

TEST(PgMessageFields, DescriptorsComeBackAsTheyWent) {
  const struct {
    int32_t value;
    int64_t millis;
    int32_t position;
  } cases[] = {{0, 0, 0}, {1, 999, 1}, {INT32_MAX, 500, INT32_MAX}, {INT32_MIN + 1, 1, -1},
               {-2, 123, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const MessageRow sent = rowWith(c.value, c.millis, c.position);
    const std::string bytes = packDescriptor(sent);
    ASSERT_EQ(bytes.size(), kDescriptorBytes);
    MessageRow got;
    ASSERT_TRUE(unpackDescriptor(bytes, got));
    EXPECT_EQ(std::make_tuple(got.msgType, got.priority, got.persistence, got.format,
                              got.feedback, got.expiry, got.codePage, got.encoding,
                              got.putMillis, got.theme.position),
              std::make_tuple(sent.msgType, sent.priority, sent.persistence, sent.format,
                              sent.feedback, sent.expiry, sent.codePage, sent.encoding,
                              sent.putMillis, sent.theme.position));
  }
}

// The layout the schema's upgrade writes with int8send: four bytes each, big-endian.
TEST(PgMessageFields, DescriptorBytesAreBigEndianFourEach) {
  MessageRow row = rowWith(0, 7, -2);
  row.msgType = 0x01020304;
  const std::string bytes = packDescriptor(row);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(bytes.substr(32, 4), std::string("\x00\x00\x00\x07", 4));
  EXPECT_EQ(bytes.substr(36, 4), std::string("\xff\xff\xff\xfe", 4));
}

TEST(PgMessageFields, ADescriptorOfAnotherSizeIsRefusedUntouched) {
  const std::string good = packDescriptor(rowWith(9, 9, 9));
  for (const std::string& bad : {std::string(), good.substr(0, kDescriptorBytes - 1),
                                 good + "x"}) {
    MessageRow row;
    row.msgType = 42;
    EXPECT_FALSE(unpackDescriptor(bad, row)) << bad.size();
    EXPECT_EQ(row.msgType, 42);
  }
}

TEST(PgMessageFields, ErrorsComeBackWithAnyBytes) {
  const struct {
    const char* name;
    ErrorInfo error;
  } cases[] = {
      {"empty texts", {0, 0, 0, "", 0, 0, ""}},
      {"usual", {2033, 7, 3, "\nZVRT0003\nERROR: Unable to determine map name.", 1, 1, "E"}},
      {"extremes", {INT32_MIN, INT32_MAX, -1, "t", 0xFFFFFFFFu, 0x80000000u, "r"}},
      {"bytes no encoding accepts", {1, 2, 3, std::string("\xff\x00\xfe", 3), 4, 5,
                                     std::string("\xc3\x28", 2)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorInfo got;
    ASSERT_TRUE(unpackError(packError(c.error), got));
    EXPECT_EQ(std::make_tuple(got.reason, got.subReason, got.callType, got.text,
                              got.defaultActions, got.performedActions, got.reporter),
              std::make_tuple(c.error.reason, c.error.subReason, c.error.callType, c.error.text,
                              c.error.defaultActions, c.error.performedActions,
                              c.error.reporter));
  }
}

TEST(PgMessageFields, DamagedErrorsAreRefusedUntouched) {
  const std::string good = packError({1, 2, 3, "text", 4, 5, "reporter"});
  std::string overlong = good;
  overlong[23] = static_cast<char>(good.size());  // a text length past the end
  std::string huge = good;
  huge.replace(20, 4, "\xff\xff\xff\xff");  // a length that would wrap an addition
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"empty", ""},
               {"head one short", good.substr(0, kErrorHeadBytes - 1)},
               {"text cut", good.substr(0, kErrorHeadBytes + 3)},
               {"length past the end", overlong},
               {"length of four gigabytes", huge}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorInfo error;
    error.text = "kept";
    EXPECT_FALSE(unpackError(c.bytes, error));
    EXPECT_EQ(error.text, "kept");
  }
  ErrorInfo exact;  // a text that ends exactly where the bytes do: no reporter
  ASSERT_TRUE(unpackError(good.substr(0, kErrorHeadBytes + 4), exact));
  EXPECT_EQ(exact.text, "text");
  EXPECT_EQ(exact.reporter, "");
}

}  // namespace
}  // namespace qlx::pg
