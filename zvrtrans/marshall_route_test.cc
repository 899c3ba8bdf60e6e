// The Routing section of a transformed piece: entries in order, absent and cut values,
// and the failures.
#include <string>
#include <vector>

#include "marshall.h"
#include "marshall_testing.h"
#include "zvrroute.h"

namespace zvr::testing {
namespace {

using MarshallRouteTest = MarshallTest;

std::string withRouting(const std::string& routing) {
  return begin("Header") + field("FormatName", "OUT") + routing + end("Header") + "BODY";
}
std::string route(const std::string& fields) { return begin("Route") + fields + end("Route"); }
std::string routing(const std::string& routes) {
  return begin("Routing") + routes + end("Routing");
}

using Pairs = std::vector<std::pair<std::string, std::string>>;  // (service, action)

Pairs pairsOf(ZvrRouteList& list) {
  Pairs pairs;
  list.toHead();
  char* service = nullptr;
  char* action = nullptr;
  while (list.getAndNext(service, action)) pairs.emplace_back(service, action);
  return pairs;
}

TEST_F(MarshallRouteTest, EntriesAreReadInOrder) {
  struct Case {
    std::string routes;
    Pairs expected;
  } cases[] = {
      {route(field("Action", "NOTIFY") + field("Service", "S1")), {{"S1", "NOTIFY"}}},
      {route(field("Action", "INSERT") + field("Service", "S1")) + route(field("Action", "NOTIFY")),
       {{"S1", "INSERT"}, {"", "NOTIFY"}}},
      {route(""), {{"", ""}}},
      {route(field("Service", "S2")), {{"S2", ""}}},
      {route(field("Action", " insert ")), {{"", " insert "}}},  // taken as it stands
      {route(field("Action", std::string(300, 'a')) + field("Service", std::string(129, 's'))),
       {{std::string(128, 's'), std::string(128, 'a')}}},
  };
  for (const Case& c : cases) {
    ZvrRouteList list;
    auto response = read(withRouting(routing(c.routes)), &list);
    ASSERT_NE(response, nullptr) << c.routes;
    EXPECT_EQ(pairsOf(list), c.expected) << c.routes;
    EXPECT_EQ(bodyOf(*response), "BODY");
    EXPECT_STREQ(response->descriptor().FormatName, "OUT");
  }
}

TEST_F(MarshallRouteTest, RoutingMayFollowTheAttributesOrTheTag) {
  ZvrRouteList list;
  std::string text = begin("Header") + begin("Attributes") + end("Attributes") +
                     field("Tag", "T") + routing(route(field("Service", "S"))) + end("Header");
  ASSERT_NE(read(text, &list), nullptr);
  EXPECT_EQ(pairsOf(list), (Pairs{{"S", ""}}));
  list.erase();
  text = begin("Header") + routing(route(field("Service", "S"))) + end("Header");
  ASSERT_NE(read(text, &list), nullptr);
  EXPECT_EQ(list.getCount(), 1u);
}

TEST_F(MarshallRouteTest, FailuresNameTheSectionOrField) {
  struct Case {
    std::string routing;
    const char* id;
    const char* text;
    unsigned long kept;  // entries appended before the failure
  } cases[] = {
      // Service before Action: Action is absent, then </Route> is not at the cursor.
      {routing(route(field("Service", "S1") + field("Action", "NOTIFY"))), "ZVRM0001",
       "Unable to locate end of section ``Route''.", 0},
      {routing(""), "ZVRM0002", "Unable to locate field tag ``Route''.", 0},
      {begin("Routing") + route(field("Service", "A")), "ZVRM0001",
       "Unable to locate end of section ``Routing''.", 1},
      {routing(route(field("Service", "A")) + route("<Action>X")), "ZVRM0001",
       "Unable to locate end of section ``Action''.", 1},
      {routing(route("<Service>X</Service>")), "ZVRM0001",
       "Unable to locate end of section ``Service''.", 0},
  };
  for (const Case& c : cases) {
    ZvrRouteList list;
    EXPECT_ZVR_FAILURE(read(withRouting(c.routing), &list), c.id) << c.routing;
    EXPECT_STREQ(ZVRerror->text(), c.text);
    EXPECT_EQ(list.getCount(), c.kept);
  }
}

TEST_F(MarshallRouteTest, WithoutAListEntriesAreCheckedAndDropped) {
  EXPECT_NE(read(withRouting(routing(route(field("Service", "S"))))), nullptr);
  EXPECT_ZVR_FAILURE(read(withRouting(routing(""))), "ZVRM0002");
}

}  // namespace
}  // namespace zvr::testing
