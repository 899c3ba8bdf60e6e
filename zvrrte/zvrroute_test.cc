#include "zvrroute.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Pair {
  std::string service;
  std::string action;
};

// Walks the list from its head with getAndNext, as the broker component does.
std::vector<Pair> walk(ZvrRouteList& list) {
  std::vector<Pair> pairs;
  list.toHead();
  char* service = nullptr;
  char* action = nullptr;
  while (list.getAndNext(service, action)) pairs.push_back({service, action});
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(action, nullptr);
  return pairs;
}

TEST(ZvrRouteListTest, WalksEntriesInOrderThenReportsTheEnd) {
  ZvrRouteList list;
  list.append("S1", "INSERT");
  list.append("", "NOTIFY");
  list.toHead();
  char* service = nullptr;
  char* action = nullptr;
  ASSERT_EQ(list.getAndNext(service, action), 1);
  EXPECT_STREQ(service, "S1");
  EXPECT_STREQ(action, "INSERT");
  ASSERT_EQ(list.getAndNext(service, action), 1);
  EXPECT_STREQ(service, "");
  EXPECT_STREQ(action, "NOTIFY");
  EXPECT_EQ(list.getAndNext(service, action), 0);
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(action, nullptr);
  EXPECT_EQ(list.getCount(), 2u);
}

TEST(ZvrRouteListTest, FirstAppendIsReadableWithoutToHead) {
  ZvrRouteList list;
  list.append("S1", "REPLACE");
  char* service = nullptr;
  char* action = nullptr;
  ASSERT_EQ(list.get(service, action), 1);
  EXPECT_STREQ(service, "S1");
  // get does not move: the same entry again.
  ASSERT_EQ(list.get(service, action), 1);
  EXPECT_STREQ(action, "REPLACE");
}

TEST(ZvrRouteListTest, LaterAppendsLeaveThePositionAlone) {
  ZvrRouteList list;
  list.append("A", "1");
  list.toNext();  // past the only entry
  list.append("B", "2");
  char* service = nullptr;
  char* action = nullptr;
  EXPECT_EQ(list.get(service, action), 0);
  list.toHead();
  EXPECT_EQ(list.atTail(), 0);
  list.toNext();
  EXPECT_EQ(list.atTail(), 1);
  ASSERT_EQ(list.get(service, action), 1);
  EXPECT_STREQ(service, "B");
}

TEST(ZvrRouteListTest, EmptyListIsAtTailAndGivesNothing) {
  ZvrRouteList list;
  EXPECT_EQ(list.atTail(), 1);
  char* service = reinterpret_cast<char*>(1);
  char* action = reinterpret_cast<char*>(1);
  EXPECT_EQ(list.get(service, action), 0);
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(action, nullptr);
  list.toNext();  // harmless on an empty list
  EXPECT_EQ(list.getCount(), 0u);
}

TEST(ZvrRouteListTest, EraseEmptiesAndTheListCanBeRefilled) {
  ZvrRouteList list;
  list.append("S1", "INSERT");
  list.append("S2", "REPLACE");
  list.erase();
  EXPECT_EQ(list.getCount(), 0u);
  char* service = nullptr;
  char* action = nullptr;
  EXPECT_EQ(list.get(service, action), 0);
  list.append("S3", "NOTIFY");
  auto pairs = walk(list);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].service, "S3");
  EXPECT_EQ(list.getCount(), 1u);
}

TEST(ZvrRouteListTest, KeepsItsOwnCopiesOfTheTexts) {
  ZvrRouteList list;
  {
    std::string service = "S1";
    char action[] = "INSERT";
    list.append(service.c_str(), action);
    service.assign(100, 'x');
    action[0] = 'X';
  }
  auto pairs = walk(list);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].service, "S1");
  EXPECT_EQ(pairs[0].action, "INSERT");
}

TEST(ZvrRouteListTest, NullTextsAreStoredAsEmpty) {
  ZvrRouteList list;
  list.append(nullptr, nullptr);
  auto pairs = walk(list);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].service, "");
  EXPECT_EQ(pairs[0].action, "");
}

TEST(ZvrRouteListTest, HoldsManyEntries) {
  ZvrRouteList list;
  for (int i = 0; i < 10000; ++i) list.append(std::to_string(i).c_str(), "INSERT");
  auto pairs = walk(list);
  ASSERT_EQ(pairs.size(), 10000u);
  EXPECT_EQ(pairs[9999].service, "9999");
  EXPECT_EQ(list.getCount(), 10000u);
}

}  // namespace
