#include "catalog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

const char* const kGroups[] = {"R", "D", "M", "S", "TS", "T", "H", "BK", "TB", "TT", "P"};

TEST(CatalogTest, IdentifiersAreUniqueAndWellFormed) {
  const std::regex form("ZVR([A-Z]+)([0-9]{4})");
  std::set<std::string> seen;
  for (const ZvrCatalogEntry& entry : kZvrCatalog) {
    ASSERT_NE(entry.id, nullptr);
    std::cmatch parts;
    ASSERT_TRUE(std::regex_match(entry.id, parts, form)) << entry.id;
    EXPECT_EQ(parts[1].str(), entry.group) << entry.id;
    EXPECT_TRUE(seen.insert(entry.id).second) << "duplicate " << entry.id;
  }
  EXPECT_EQ(seen.size(), 79u);
}

TEST(CatalogTest, EveryGroupIsKnownAndNumberedFromOneWithoutGaps) {
  std::map<std::string, int> last;
  for (const ZvrCatalogEntry& entry : kZvrCatalog) {
    bool known = false;
    for (const char* group : kGroups) known = known || std::strcmp(group, entry.group) == 0;
    EXPECT_TRUE(known) << entry.id;
    int number = std::atoi(entry.id + 3 + std::strlen(entry.group));
    EXPECT_EQ(number, last[entry.group] + 1) << entry.id;
    last[entry.group] = number;
  }
  const std::map<std::string, int> expected = {{"R", 21}, {"D", 7},  {"M", 7},  {"S", 13},
                                               {"TS", 1}, {"T", 3},  {"H", 2},  {"BK", 7},
                                               {"TB", 11}, {"TT", 6}, {"P", 1}};
  EXPECT_EQ(last, expected);
}

// Texts are printf formats for the raising code: only the catalogued placeholders occur,
// and a text without placeholders has no stray '%' that a formatter would eat.
TEST(CatalogTest, TextsCarryOnlyCataloguedPlaceholders) {
  const std::regex placeholder("%(s|d|ld|ul)");
  for (const ZvrCatalogEntry& entry : kZvrCatalog) {
    ASSERT_NE(entry.text, nullptr) << entry.id;
    EXPECT_GT(std::strlen(entry.text), 0u) << entry.id;
    std::string rest = std::regex_replace(entry.text, placeholder, "");
    EXPECT_EQ(rest.find('%'), std::string::npos) << entry.id << ": " << entry.text;
    if (entry.userAction) {
      EXPECT_GT(std::strlen(entry.userAction), 0u) << entry.id;
      EXPECT_EQ(std::strchr(entry.userAction, '%'), nullptr) << entry.id;
    }
  }
}

// Texts where a slip is easy: doubled quotes, two blanks, shared texts.
TEST(CatalogTest, TextsAreExact) {
  EXPECT_STREQ(ZVRTXT_R0019,
               "Datagram reached end of workflow.  It was processed and discarded.");
  EXPECT_STREQ(ZVRTXT_D0003,
               "Unable to locate Dictionary record named ``%s'' in the Quor Directory");
  EXPECT_STREQ(ZVRTXT_D0007,
               "Workflow contains an unrecognized application of type ``%ul''.");
  EXPECT_STREQ(ZVRTXT_TB0007,
               "No routing provided in transformed message.  Forwarding message along the "
               "original workflow.");
  EXPECT_STREQ(ZVRTXT_S0009, "Incompatible options ``%s'' and ``%s'' specified on startup.");
  EXPECT_STREQ(ZVRUA_TT0004,
               "This Transformation Component does not support dynamic routing. Use the Quor "
               "Broker Component for routing.");
  EXPECT_STREQ(ZVRUA_R0010, "Inspect your Quor configuration for configuration errors");
  EXPECT_STREQ(ZVRUA_D0001, "Contact Velmar Technical Support.");
  EXPECT_STREQ(ZVRUA_R0015, "Contact Velmar Technical Support");
  EXPECT_EQ(ZVRUA_R0002, nullptr);
  EXPECT_EQ(ZVRUA_BK0002, nullptr);
}

TEST(CatalogTest, SharedTextsStayDistinctEntries) {
  EXPECT_STREQ(ZVRTXT_R0003, ZVRTXT_R0007);
  EXPECT_STRNE(ZVRID_R0003, ZVRID_R0007);
  EXPECT_STREQ(ZVRTXT_R0010, ZVRTXT_R0011);
  EXPECT_STRNE(ZVRID_R0010, ZVRID_R0011);
  EXPECT_STREQ(ZVRTXT_S0009, ZVRTXT_TS0001);
  EXPECT_STRNE(ZVRID_S0009, ZVRID_TS0001);
}

}  // namespace
