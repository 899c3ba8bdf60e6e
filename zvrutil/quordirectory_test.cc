// Directory and dictionary records against a directory interface of the test's own, which
// checks the control block every call carries and reports missing entries through its
// exception handler as the middleware does. The broker's own directory is exercised end to
// end in quorworkflow_test.cc and tests/session_*.cc.
#include "quordirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "erroradt.h"
#include "quorbusinesselement.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

struct Entry {
  std::vector<std::string> names;
  std::vector<std::string> values;
};

class FakeDirectory : public qlxDirInterface {
 public:
  std::map<std::pair<int, std::string>, Entry> entries;
  int calls = 0;
  int handlerResult = -1;

  int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
          void* reserved) override {
    ++calls;
    EXPECT_EQ(ctl->Version, 1);
    EXPECT_EQ(ctl->Handle, 0u);
    EXPECT_EQ(ctl->Type, 3);
    EXPECT_EQ(ctl->Context, this);
    EXPECT_EQ(reserved, nullptr);
    EXPECT_NE(ctl->Services, nullptr);
    auto found = entries.find({type, name});
    if (found != entries.end()) {
      entry.fill(type, name, found->second.names, found->second.values);
      return 1;
    }
    entry.fill(0, "", {}, {});
    // Reason 2001, sub-reason the type, ..., the sixth argument is the call's result.
    handlerResult = ctl->Services->ExceptionHandler(
        2001, static_cast<unsigned long>(type), static_cast<unsigned long>(type),
        reinterpret_cast<unsigned long>(name), reinterpret_cast<unsigned long>("not found"), 0,
        kQlxCallDirectory, reinterpret_cast<unsigned long>(ctl), 0, 0);
    return 0;
  }
};

class DictionaryTest : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    directory_.entries[{qlxEntryDictionary, "MAPS"}] =
        Entry{{"Order", "Empty", "Invoice"}, {"order.mmc", "", "invoice.mmc -OE1"}};
    directory_.entries[{qlxEntryDictionary, "NOPAIRS"}] = Entry{};
  }
  // How often `id` appears in the log (0 when this build keeps no log: see logged()).
  size_t count(const std::string& id) const {
    const std::string log = logText();
    size_t n = 0;
    for (size_t at = log.find(id); at != std::string::npos; at = log.find(id, at + 1)) ++n;
    return n;
  }
  bool logKept() const { return !logText().empty(); }

  FakeDirectory directory_;
};

TEST_F(DictionaryTest, LooksUpPairsOfTheRecordLastRead) {
  QuorDictionary dictionary(&directory_);
  ASSERT_EQ(dictionary.lookupEntry("MAPS"), 1);
  EXPECT_STREQ(dictionary.getEntryValue("Order"), "order.mmc");
  EXPECT_STREQ(dictionary.getEntryValue("Invoice"), "invoice.mmc -OE1");
  EXPECT_EQ(dictionary.numEntries(), 3);
  char** names = nullptr;
  char** values = nullptr;
  ASSERT_EQ(dictionary.getAllEntries(&names, &values), 3);
  EXPECT_STREQ(names[2], "Invoice");
  EXPECT_STREQ(values[0], "order.mmc");
  EXPECT_EQ(ZVRerror, nullptr);
}

TEST_F(DictionaryTest, MissingRecordIsLoggedWithItsName) {
  QuorDictionary dictionary(&directory_);
  EXPECT_EQ(dictionary.lookupEntry("NOSUCH"), 0);
  EXPECT_EQ(directory_.handlerResult, 0);  // the handler returns its sixth argument
  EXPECT_EQ(stError.Flags & kQlxErrorReason, kQlxErrorReason);
  EXPECT_EQ(ZVRerror, nullptr);  // logged, never pending
  if (!logKept()) GTEST_SKIP() << "this build's middleware keeps no log";
  EXPECT_EQ(count("ZVRD0003"), 1u);
  EXPECT_NE(logText().find("Unable to locate Dictionary record named ``NOSUCH'' in the Quor "
                           "Directory"),
            std::string::npos);
}

TEST_F(DictionaryTest, MissingAndEmptyValuesAreInvalid) {
  QuorDictionary dictionary(&directory_);
  ASSERT_EQ(dictionary.lookupEntry("MAPS"), 1);
  EXPECT_EQ(dictionary.getEntryValue("Nope"), nullptr);
  const char* empty = dictionary.getEntryValue("Empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(ZVRerror, nullptr);
  if (!logKept()) GTEST_SKIP() << "this build's middleware keeps no log";
  EXPECT_EQ(count("ZVRD0006"), 2u);
  EXPECT_NE(logText().find("Unable to locate or invalid dictionary entry ``Empty''."),
            std::string::npos);
  EXPECT_NE(logText().find("Define the Name/Value in the dictionary with the desired map name."),
            std::string::npos);
}

TEST_F(DictionaryTest, RecordWithoutPairs) {
  QuorDictionary dictionary(&directory_);
  ASSERT_EQ(dictionary.lookupEntry("NOPAIRS"), 1);
  EXPECT_EQ(dictionary.numEntries(), 0);
  char** names = nullptr;
  char** values = nullptr;
  EXPECT_EQ(dictionary.getAllEntries(&names, &values), 0);
  if (!logKept()) GTEST_SKIP() << "this build's middleware keeps no log";
  EXPECT_NE(logText().find("``numEntries''"), std::string::npos);
  EXPECT_NE(logText().find("``getAllEntries''"), std::string::npos);
}

TEST_F(DictionaryTest, DirectoryWithoutInterfaceFindsNothing) {
  QuorDictionary dictionary(nullptr);
  EXPECT_EQ(dictionary.lookupEntry("MAPS"), 0);
  EXPECT_EQ(directory_.calls, 0);
}

// The same questions against the broker's directory, through a business element.
TEST_F(DictionaryTest, BrokerDictionaryRecords) {
  if (zvr::testing::qlxadmPath().empty()) GTEST_SKIP() << "this build has no qlxadm";
  const std::string path = home() + "/directory.toml";
  std::ofstream(path) << "[element.E]\nformats = []\n"
                         "[dictionary.MAPS]\npairs = [[\"ORDERS C1\", \"upper -oe1s\"], "
                         "[\"BROKEN C1\", \"\"], [\"ORDERS C1\", \"shadowed\"]]\n";
  ASSERT_EQ(qlxadm("load '" + path + "'"), 0);
  QuorBusinessElement element("E", 1);
  QuorDictionary dictionary(element.directoryHandle());
  ASSERT_EQ(dictionary.lookupEntry("MAPS"), 1);
  EXPECT_STREQ(dictionary.getEntryValue("ORDERS C1"), "upper -oe1s");
  EXPECT_STREQ(dictionary.getEntryValue("BROKEN C1"), "");
  EXPECT_EQ(dictionary.getEntryValue("INVOICE C1"), nullptr);
  EXPECT_EQ(dictionary.numEntries(), 3);
  EXPECT_EQ(dictionary.lookupEntry("NOSUCH"), 0);
  EXPECT_EQ(count("ZVRD0006"), 2u);
  EXPECT_EQ(count("ZVRD0003"), 1u);
  EXPECT_NE(logText().find("``NOSUCH''"), std::string::npos);

  ASSERT_EQ(qlxadm("unset MAPS 'BROKEN C1'"), 0);
  ASSERT_EQ(dictionary.lookupEntry("MAPS"), 1);  // re-read: the edit shows
  EXPECT_EQ(dictionary.numEntries(), 2);
}

}  // namespace
