#include "zvrhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "erroradt.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

struct KeyCase {
  const char* key;
  int buckets;
  unsigned bucket;
};

TEST(ZvrHashKey, PacksFourUpperCasedCharactersPerWord) {
  const KeyCase cases[] = {
      {"abc", 1024, 579},    // one short word 0x00414243 = 4276803
      {"ABC", 1024, 579},    // case does not matter
      {"aBc", 1024, 579},
      {"abcde", 1024, 905},  // 1094861636 + 69
      {"ABCDE", 1024, 905},
      {"", 1024, 0},
      {"a", 1024, 65},       // 'A' in the low byte, not the high one
      {"abcd", 1024, 0x41424344u % 1024},
      {"abcdabcd", 7, (2u * 0x41424344u) % 7},
      {"zz", 1, 0},
  };
  for (const KeyCase& c : cases) {
    zvrhash table(c.buckets);
    EXPECT_EQ(table.HashKey(c.key), c.bucket) << c.key << " of " << c.buckets;
  }
}

TEST(ZvrHashKey, SumWrapsAtTwoToThe32) {
  // Two words of 0xFFFFFFFF sum to 0x1FFFFFFFE, kept as 0xFFFFFFFE.
  const char key[] = "\xff\xff\xff\xff\xff\xff\xff\xff";
  zvrhash table(1000);
  EXPECT_EQ(table.HashKey(key), 0xFFFFFFFEu % 1000u);
}

TEST(ZvrHashKey, NoBucketsGivesZeroAndNoTable) {
  zvrhash table(0);
  EXPECT_EQ(table.HashKey("abc"), 0u);
  EXPECT_EQ(table.HashTableCreate(), 0);
  EXPECT_EQ(table.AddEntry("abc", "v"), 0);
  EXPECT_EQ(table.FindEntry("abc"), nullptr);
}

class ZvrHashTest : public zvr::testing::BrokerHome {
 protected:
  zvrhash table_{1024};
};

TEST_F(ZvrHashTest, FindOnTableNeverCreatedIsNull) {
  EXPECT_EQ(table_.FindEntry("abc"), nullptr);
  EXPECT_EQ(table_.HashTableDelete(), 0);
}

TEST_F(ZvrHashTest, CaseInsensitiveFindReturnsTheFirstAdded) {
  ASSERT_EQ(table_.AddEntry("Invoice Billing", "first"), 1);
  ASSERT_EQ(table_.AddEntry("INVOICE BILLING", "second"), 1);
  ASSERT_EQ(table_.AddEntry("invoice billing", "third"), 1);
  EXPECT_STREQ(table_.FindEntry("invoice BILLING"), "first");
  EXPECT_EQ(table_.FindEntry("invoice billin"), nullptr);
  EXPECT_EQ(table_.FindEntry("invoice billingx"), nullptr);
}

TEST_F(ZvrHashTest, DuplicateNameIsAddedAgainAtTheEndOfTheChain) {
  zvrhash one(1);  // every name shares the one bucket: the chain order is visible
  ASSERT_EQ(one.AddEntry("a", "1"), 1);
  ASSERT_EQ(one.AddEntry("b", "2"), 1);
  ASSERT_EQ(one.AddEntry("a", "3"), 1);
  ASSERT_EQ(one.AddEntry("c", "4"), 1);
  EXPECT_STREQ(one.FindEntry("A"), "1");
  EXPECT_STREQ(one.FindEntry("b"), "2");
  EXPECT_STREQ(one.FindEntry("c"), "4");
  EXPECT_EQ(one.FindEntry("d"), nullptr);
}

TEST_F(ZvrHashTest, ThousandEntriesAreAllFound) {
  for (int i = 0; i < 1000; ++i) {
    std::string name = "qlxMsgFormat" + std::to_string(i) + " Hop" + std::to_string(i % 7);
    ASSERT_EQ(table_.AddEntry(name.c_str(), std::to_string(i).c_str()), 1);
  }
  for (int i = 0; i < 1000; ++i) {
    std::string name = "QLXMSGFORMAT" + std::to_string(i) + " hop" + std::to_string(i % 7);
    const char* value = table_.FindEntry(name.c_str());
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(std::string(value), std::to_string(i));
  }
}

TEST_F(ZvrHashTest, CreateAndDeleteDropEveryEntry) {
  ASSERT_EQ(table_.AddEntry("abc", "v"), 1);
  EXPECT_EQ(table_.HashTableCreate(), 1);
  EXPECT_EQ(table_.FindEntry("abc"), nullptr);
  ASSERT_EQ(table_.AddEntry("abc", "w"), 1);
  EXPECT_EQ(table_.HashTableDelete(), 1);
  EXPECT_EQ(table_.HashTableDelete(), 0);
  EXPECT_EQ(table_.FindEntry("abc"), nullptr);
}

TEST_F(ZvrHashTest, BucketOutsideTheTableFails) {
  ASSERT_EQ(table_.HashTableCreate(), 1);
  EXPECT_EQ(table_.AddEntryImpl(1024, "a", "b"), 0);
  EXPECT_EQ(table_.AddEntryImpl(-1, "a", "b"), 0);
  EXPECT_EQ(table_.FindEntryImpl(1024, "a"), nullptr);
  EXPECT_EQ(table_.AddEntry(nullptr, "b"), 0);
  EXPECT_EQ(table_.AddEntry("a", nullptr), 0);
}

TEST_F(ZvrHashTest, LongNameIsCutTo400AndWarned) {
  zvrSetError(new ErrorADT("ZVRR0002", 1, "stale"));
  std::string name(401, 'n');
  name[399] = 'x';
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(table_.AddEntry(name.c_str(), "value"), 1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\nZVRH0001\nWARNING: The dictionary entry name is truncated to 400 chars."),
            std::string::npos)
      << err;
  EXPECT_EQ(ZVRerror, nullptr);
  // Found under the 400 characters kept, not under the full name.
  EXPECT_STREQ(table_.FindEntry(name.substr(0, 400).c_str()), "value");
  EXPECT_EQ(table_.FindEntry(name.c_str()), nullptr);
}

TEST_F(ZvrHashTest, LongValueIsCutTo400AndWarned) {
  std::string value(1000, 'v');
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(table_.AddEntry("name", value.c_str()), 1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ZVRH0002\nWARNING: The dictionary entry value is truncated to 400 chars."),
            std::string::npos);
  EXPECT_EQ(err.find("ZVRH0001"), std::string::npos);
  EXPECT_EQ(std::string(table_.FindEntry("name")), value.substr(0, 400));
}

TEST_F(ZvrHashTest, ExactlyFourHundredIsKeptWithoutWarning) {
  std::string text(400, 't');
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(table_.AddEntry(text.c_str(), text.c_str()), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(std::string(table_.FindEntry(text.c_str())), text);
}

TEST_F(ZvrHashTest, DebugLinesOfFind) {
  ASSERT_EQ(table_.AddEntry("abc", "v"), 1);
  ZVRdebug = 1;
  ::testing::internal::CaptureStderr();
  table_.FindEntry("ABC");
  table_.FindEntry("nothere");
  std::string err = ::testing::internal::GetCapturedStderr();
  ZVRdebug = 0;
  EXPECT_NE(err.find("\nSearching for Dictionary Entry ABC in Hash Table\n"), std::string::npos);
  EXPECT_NE(err.find("\nFound Entry ABC in Hash Table: Value is v \n"), std::string::npos);
  EXPECT_NE(err.find("\nSearching for Dictionary Entry nothere in Hash Table\n"),
            std::string::npos);
  EXPECT_EQ(err.find("Found Entry nothere"), std::string::npos);
}

}  // namespace
