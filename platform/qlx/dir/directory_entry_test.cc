// The entry objects: dictionary questions and accepted formats.
#include <gtest/gtest.h>

#include <cstring>

#include "qlxdir.h"

namespace {

using Strings = std::vector<std::string>;

class DictionaryEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    dict_.fill(qlxEntryDictionary, "ZVRBroker",
               Strings{"ORDERS C1", "EMPTY C1", "ORDERS C1", "orders c1"},
               Strings{"first", "", "second", "lower"});
  }
  qlxDictionary dict_;
};

TEST_F(DictionaryEntry, ValueLookups) {
  struct Case {
    const char* name;
    const char* value;  // null: no pair
  };
  const Case cases[] = {
      {"ORDERS C1", "first"},  // the first of two pairs with that name
      {"EMPTY C1", ""},        // an empty value is a value
      {"orders c1", "lower"},  // names are case-sensitive
      {"ORDERS", nullptr},     // no prefix match
      {"ORDERS C1 ", nullptr}, {"", nullptr},
  };
  for (const Case& c : cases) {
    const char* value = dict_.getEntryValue(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(value, nullptr) << c.name;
    } else {
      ASSERT_NE(value, nullptr) << c.name;
      EXPECT_STREQ(value, c.value) << c.name;
    }
  }
  EXPECT_EQ(dict_.getEntryValue(nullptr), nullptr);
  EXPECT_EQ(dict_.numEntries(), 4);
}

TEST_F(DictionaryEntry, AllEntriesInOrderWithNullAfterTheLast) {
  char** names = nullptr;
  char** values = nullptr;
  ASSERT_EQ(dict_.getAllEntries(&names, &values), 4);
  const char* wantNames[] = {"ORDERS C1", "EMPTY C1", "ORDERS C1", "orders c1"};
  const char* wantValues[] = {"first", "", "second", "lower"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(names[i], wantNames[i]);
    EXPECT_STREQ(values[i], wantValues[i]);
  }
  EXPECT_EQ(names[4], nullptr);
  EXPECT_EQ(values[4], nullptr);
}

TEST_F(DictionaryEntry, RefillReplacesEverything) {
  char** names = nullptr;
  char** values = nullptr;
  dict_.getAllEntries(&names, &values);
  dict_.fill(qlxEntryDictionary, "OTHER", Strings{"A"}, Strings{"1"});
  EXPECT_STREQ(dict_.name(), "OTHER");
  EXPECT_EQ(dict_.getEntryValue("ORDERS C1"), nullptr);
  ASSERT_EQ(dict_.getAllEntries(&names, &values), 1);
  EXPECT_STREQ(names[0], "A");
  EXPECT_STREQ(values[0], "1");
  EXPECT_EQ(names[1], nullptr);
}

TEST(DictionaryEntryEmpty, NoPairs) {
  qlxDictionary dict;
  EXPECT_EQ(dict.numEntries(), 0);
  EXPECT_EQ(dict.getEntryValue("X"), nullptr);
  char* sentinel[1] = {nullptr};
  char** names = sentinel;  // must be overwritten
  char** values = sentinel;
  EXPECT_EQ(dict.getAllEntries(&names, &values), 0);
  ASSERT_NE(names, sentinel);
  ASSERT_NE(values, sentinel);
  EXPECT_EQ(names[0], nullptr);
  EXPECT_EQ(values[0], nullptr);
  EXPECT_EQ(dict.getAllEntries(nullptr, nullptr), 0);
}

TEST(AcceptedFormats, ExactCaseSensitiveOrStar) {
  struct Case {
    Strings formats;
    const char* format;
    int accepted;
  };
  const Case cases[] = {
      {{"ORDERS", "INVOICE"}, "ORDERS", 1},
      {{"ORDERS", "INVOICE"}, "INVOICE", 1},
      {{"ORDERS", "INVOICE"}, "orders", 0},
      {{"ORDERS", "INVOICE"}, "ORDER", 0},
      {{"ORDERS", "INVOICE"}, "ORDERS ", 0},
      {{"ORDERS", "INVOICE"}, "", 0},
      {{"ORDERS", "INVOICE"}, nullptr, 0},
      {{}, "ORDERS", 0},
      {{"*"}, "ANYTHING", 1},
      {{"*"}, "", 1},
      {{"*"}, nullptr, 0},
      {{"A*"}, "AB", 0},  // only a whole "*" is a wildcard
  };
  for (const Case& c : cases) {
    qlxBusinessComponent element;
    element.fill(qlxEntryBusinessComponent, "E", c.formats, {});
    qlxClient client;
    client.fill(qlxEntryClient, "C", c.formats, {});
    const char* shown = c.format ? c.format : "(null)";
    EXPECT_EQ(element.isValidMsgType(c.format), c.accepted) << shown;
    EXPECT_EQ(client.isValidMsgType(c.format), c.accepted) << shown;
  }
}

TEST(AcceptedFormats, UnfilledEntryAcceptsNothing) {
  qlxBusinessComponent element;
  EXPECT_EQ(element.isValidMsgType("ORDERS"), 0);
  EXPECT_STREQ(element.name(), "");
  EXPECT_EQ(element.type(), 0);
}

}  // namespace
