// Map selection of the transform objects: the map-name rule, the dictionary value split,
// the dictionary-driven variant over the cache, and the failures found before the engine
// runs. Running maps through the engine is tested in tests/transform_engine_test.cc.
#include "transform.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "erroradt.h"
#include "testing/zvr_testing.h"
#include "zvrhash.h"
#include "zvrlog.h"

namespace {

std::string take(char* text) {
  std::unique_ptr<char[]> owned(text);
  return owned ? std::string(owned.get()) : std::string("(null)");
}

struct NameCase {
  const char* path;
  const char* map;
  const char* prefix;
  const char* format;
  std::string expected;
};

TEST(TsiMapName, ComposedFromPathMapPrefixAndFormat) {
  const NameCase cases[] = {
      {"", "", "k", "qlxMsgInvoice", "'kInvoice'"},
      {"", "", "k", "ORDERS01", "'kORDERS0'"},
      {"", "", "k", "qlxMsg", "'kqlxMsg'"},
      {"", "", "k", "qlxMsgAB", "'klxMsgAB'"},  // the last seven of a qlxMsg name
      {"", "", "k", "AB", "'kAB'"},
      {"", "", "k", nullptr, "'k'"},
      {"/m", "INV", "", "qlxMsgInvoice", "'/m/INV'"},
      {"/m", "INV", "k", "qlxMsgInvoice", "'/m/INV'"},  // the map wins over the prefix
      {"/m", "", "k", "ORDERS01", "'/m/kORDERS0'"},
      {"", "INV", "", "ORDERS01", "'INV'"},
  };
  for (const NameCase& c : cases) {
    TsiSimpleTransform simple(c.path, c.map, c.prefix, "", "", 0, nullptr);
    TsiFixedTransform fixed(c.path, c.map, c.prefix, "", "", 0, nullptr);
    EXPECT_EQ(take(simple.lookupMap(c.format, "Hop")), c.expected) << c.path << c.map << c.prefix;
    EXPECT_EQ(take(fixed.lookupMap(c.format, "Hop")), c.expected);
    EXPECT_EQ(take(simple.inFormatName(c.format, nullptr)), c.expected);
    EXPECT_EQ(simple.mercOptions(c.format, "Hop"), nullptr);
    EXPECT_EQ(simple.outFormatName(c.format, nullptr), nullptr);
  }
}

TEST(TsiMapName, ExplicitNameTakesThePlaceOfMapAndPrefix) {
  TsiSimpleTransform simple("/m", "INV", "k", "", "", 0, nullptr);
  EXPECT_EQ(take(simple.inFormatName("ORDERS01", "X")), "'/m/X'");
}

TEST(TsiMapName, NeverLongerThan512CharactersInsideTheQuotes) {
  const std::string longText(600, 'p');
  struct {
    std::string path, map, prefix, expected;
  } cases[] = {
      {longText, "INV", "", "'" + std::string(511, 'p') + "/'"},
      {"/m", longText, "", "'/m/" + std::string(509, 'p') + "'"},
      {"", "", longText, "'" + std::string(512, 'p') + "'"},
      {"", std::string(512, 'p'), "", "'" + std::string(512, 'p') + "'"},
  };
  for (const auto& c : cases) {
    TsiSimpleTransform simple(c.path.c_str(), c.map.c_str(), c.prefix.c_str(), "", "", 0,
                              nullptr);
    EXPECT_EQ(take(simple.lookupMap("ORDERS01", "Hop")), c.expected);
  }
  TsiSimpleTransform simple("/m", "", "k", "", "", 0, nullptr);
  EXPECT_EQ(take(simple.inFormatName("F", longText.c_str())),
            "'/m/" + std::string(509, 'p') + "'");
}

struct SplitCase {
  const char* value;
  bool hasMap;
  const char* map;
  bool hasOptions;
  const char* options;
};

TEST(TsiMapEntry, SplitsMapAndOptions) {
  const SplitCase cases[] = {
      {"INVMAP", true, "INVMAP", false, ""},
      {"INVMAP -oe1s -x", true, "INVMAP", true, "-oe1s -x"},
      {"INVMAP ", true, "INVMAP", true, ""},
      {"  INVMAP -x", true, "INVMAP", true, "-x"},  // leading blanks skipped
      {"'/a b/INVMAP'", true, "'/a b/INVMAP'", false, ""},
      {"'/a b/INVMAP' -oe1s -y", true, "'/a b/INVMAP'", true, "-oe1s -y"},
      {"'/a b/INVMAP' ", true, "'/a b/INVMAP'", true, ""},
      {"", false, "", false, ""},
      {"   ", false, "", false, ""},
      {"''", false, "", false, ""},
      {"'' -x", false, "", false, ""},
      {"'/a b/INVMAP -oe1s", false, "", false, ""},  // never closed: no map
      {"'", false, "", false, ""},
  };
  for (const SplitCase& c : cases) {
    TsiMapEntry entry = zvrSplitMapEntry(c.value);
    EXPECT_EQ(entry.hasMap, c.hasMap) << "[" << c.value << "]";
    EXPECT_EQ(entry.map, c.map) << "[" << c.value << "]";
    EXPECT_EQ(entry.hasOptions, c.hasOptions) << "[" << c.value << "]";
    EXPECT_EQ(entry.options, c.options) << "[" << c.value << "]";
  }
  EXPECT_FALSE(zvrSplitMapEntry(nullptr).hasMap);
}

// The destination variant over the in-memory cache; the directory path runs against the
// embedded broker in tests/transform_engine_test.cc.
zvrhash* gCache = nullptr;
zvrhash* testCache() { return gCache; }

class TsiDestinationTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    cache_ = std::make_unique<zvrhash>(1024);
    cache_->AddEntry("ORDERS Billing", "INVMAP");
    cache_->AddEntry("qlxMsgA Hop", "'/a b/INVMAP'");
    cache_->AddEntry("qlxMsgB Hop", "'/a b/M' -oe1s -x");
    cache_->AddEntry("E Hop", "");
    cache_->AddEntry("S Hop", "   ");
    cache_->AddEntry("U Hop", "'unclosed -x");
    cache_->AddEntry("W Hop", "M -a -b");
    gCache = cache_.get();
    TsiDestinationTransform::getHashObject = testCache;
  }
  void TearDown() override {
    TsiDestinationTransform::getHashObject = nullptr;
    gCache = nullptr;
    BrokerHome::TearDown();
  }

  std::unique_ptr<zvrhash> cache_;
  TsiDestinationTransform transform_{"/ignored", "", "", "", "", 1, nullptr};
};

TEST_F(TsiDestinationTest, MapAndOptionsOfAnEntry) {
  EXPECT_EQ(take(transform_.lookupMap("orders", "BILLING")), "INVMAP");
  EXPECT_EQ(transform_.mercOptions("ORDERS", "Billing"), nullptr);
  EXPECT_EQ(take(transform_.lookupMap("qlxMsgA", "Hop")), "'/a b/INVMAP'");
  EXPECT_EQ(transform_.mercOptions("qlxMsgA", "Hop"), nullptr);
  EXPECT_EQ(take(transform_.lookupMap("qlxMsgB", "Hop")), "'/a b/M'");
  EXPECT_EQ(take(transform_.mercOptions("qlxMsgB", "Hop")), "-oe1s -x");
  EXPECT_EQ(take(transform_.mercOptions("W", "Hop")), "-a -b");
  EXPECT_EQ(ZVRerror, nullptr);
}

TEST_F(TsiDestinationTest, MissingEntryIsZVRD0006) {
  EXPECT_ZVR_FAILURE(transform_.lookupMap("ORDERS", "Shipping"), "ZVRD0006");
  EXPECT_STREQ(ZVRerror->text(),
               "Unable to locate or invalid dictionary entry ``ORDERS Shipping''.");
  EXPECT_EQ(ZVRerror->userAction(), nullptr);
  zvrClearError();
  EXPECT_ZVR_FAILURE(transform_.mercOptions("ORDERS", "Shipping"), "ZVRD0006");
}

TEST_F(TsiDestinationTest, ValueWithoutMapName) {
  // Bare values without a map: lookupMap only returns null; mercOptions raises ZVRT0003.
  for (const char* format : {"E", "S"}) {
    zvrClearError();
    EXPECT_EQ(transform_.lookupMap(format, "Hop"), nullptr);
    EXPECT_EQ(ZVRerror, nullptr) << format;
    EXPECT_ZVR_FAILURE(transform_.mercOptions(format, "Hop"), "ZVRT0003");
  }
  // A quote never closed: lookupMap raises ZVRT0003 itself.
  zvrClearError();
  EXPECT_ZVR_FAILURE(transform_.lookupMap("U", "Hop"), "ZVRT0003");
}

TEST_F(TsiDestinationTest, TransformWithoutMapFailsBeforeTheEngine) {
  void* output = reinterpret_cast<void*>(0x1);
  unsigned long length = 99;
  ::testing::internal::CaptureStderr();
  EXPECT_ZVR_FAILURE(transform_.transform("Shipping", "ORDERS", "Shipping", "x", 1, output,
                                          length),
                     "ZVRT0003");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(output, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(transform_.exitParams().lpDataToApp, nullptr);  // the engine never ran
  // Logged once by lookupMap and once by mercOptions.
  std::size_t first = err.find("ZVRD0006");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(err.find("ZVRD0006", first + 1), std::string::npos);
}

TEST_F(TsiDestinationTest, DebugLinesOfTheLookup) {
  TsiDestinationTransform keyed("", "", "", "", "ORDERMAPS", 1, nullptr);
  ZVRdebug = 1;
  ::testing::internal::CaptureStderr();
  char* map = keyed.lookupMap("ORDERS", "Billing");
  char* options = keyed.mercOptions("ORDERS", "Billing");
  std::string err = ::testing::internal::GetCapturedStderr();
  ZVRdebug = 0;
  EXPECT_EQ(take(map), "INVMAP");
  EXPECT_EQ(options, nullptr);
  // Only lookupMap names the key and the value it found.
  const std::string key = "\nDictionary key: ORDERMAPS\n";
  const std::string found = "\nFound dictionary entry: INVMAP\n";
  ASSERT_NE(err.find(key), std::string::npos) << err;
  EXPECT_EQ(err.find(key, err.find(key) + 1), std::string::npos);
  ASSERT_NE(err.find(found), std::string::npos) << err;
  EXPECT_EQ(err.find(found, err.find(found) + 1), std::string::npos);
}

TEST_F(TsiDestinationTest, NoCacheMeansNoEntry) {
  TsiDestinationTransform::getHashObject = nullptr;
  EXPECT_ZVR_FAILURE(transform_.lookupMap("ORDERS", "Billing"), "ZVRD0006");
}

class TsiTransformTest : public zvr::testing::BrokerHome {};

TEST_F(TsiTransformTest, HeadOver512IsRefusedWithZVRT0003) {
  // The quoted name alone is 512 characters; with " -ie1s1 " the head is 520.
  const std::string map(510, 'm');
  TsiFixedTransform fixed("", map.c_str(), "", "", "", 0, nullptr);
  void* output = nullptr;
  unsigned long length = 7;
  EXPECT_ZVR_FAILURE(fixed.transform("Hop", "F", "Hop", "x", 1, output, length), "ZVRT0003");
  EXPECT_NE(std::string(ZVRerror->info()).find("520"), std::string::npos);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(fixed.exitParams().lpDataToApp, nullptr);
  EXPECT_EQ(fixed.command().capacity(), 0u);
}

TEST_F(TsiTransformTest, DisplayBeforeTheFirstRun) {
  TsiSimpleTransform simple("/m", "INV", "k", "-x", "", 0, nullptr);
  char* text = nullptr;
  int length = simple.display(text);
  std::string shown(text, length);
  delete[] text;
  EXPECT_EQ(shown,
            "\nMercator Transformation\n-----------------------\nPath: /m Map: INV Prefix: k "
            "Options: -x\nExitParams: dwSize=480 dwFromLen=0 nReturn=0\nErrmsg=\n"
            "lpDataToApp: \nlpDataFromApp: ");
}

TEST_F(TsiTransformTest, DestructorsSayWhichVariantGoes) {
  ZVRdebug = 1;
  ::testing::internal::CaptureStderr();
  { TsiSimpleTransform t("", "", "k", "", "", 0, nullptr); }
  { TsiFixedTransform t("", "m", "", "", "", 0, nullptr); }
  { TsiDestinationTransform t("", "", "", "", "", 0, nullptr); }
  std::string err = ::testing::internal::GetCapturedStderr();
  ZVRdebug = 0;
  EXPECT_NE(err.find("\nDeleting simple\n"), std::string::npos);
  EXPECT_NE(err.find("\nDeleting fixed\n"), std::string::npos);
  EXPECT_NE(err.find("\nDeleting destination\n"), std::string::npos);
}

}  // namespace
