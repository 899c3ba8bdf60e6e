// qlxDirInterface::get over the store's directory, and the exception handler contract.
#include "directory_test_util.h"

namespace qlx::testing {
namespace {

TEST_F(DirectoryGet, BusinessComponent) {
  qlxBusinessComponent element;
  ASSERT_EQ(get("E", qlxEntryBusinessComponent, element), 1);
  EXPECT_STREQ(element.name(), "E");
  EXPECT_EQ(element.type(), qlxEntryBusinessComponent);
  EXPECT_EQ(element.isValidMsgType("ORDERS"), 1);
  EXPECT_EQ(element.isValidMsgType("INVOICE"), 1);
  EXPECT_EQ(element.isValidMsgType("ORDERSUP"), 0);
  ASSERT_EQ(get("F", qlxEntryBusinessComponent, element), 1);  // no formats at all
  EXPECT_EQ(element.isValidMsgType("ORDERS"), 0);
  EXPECT_EQ(gCall.calls, 0);
}

TEST_F(DirectoryGet, Client) {
  qlxClient client;
  ASSERT_EQ(get("C1", qlxEntryClient, client), 1);
  EXPECT_STREQ(client.name(), "C1");
  EXPECT_EQ(client.type(), qlxEntryClient);
  EXPECT_EQ(client.isValidMsgType("ORDERSUP"), 1);
  EXPECT_EQ(client.isValidMsgType("ORDERS"), 0);
}

TEST_F(DirectoryGet, DictionaryKeepsOrderDuplicatesAndEmptyValues) {
  qlxDictionary dict;
  ASSERT_EQ(get("ZVRBroker", qlxEntryDictionary, dict), 1);
  EXPECT_EQ(dict.type(), qlxEntryDictionary);
  ASSERT_EQ(dict.numEntries(), 3);
  EXPECT_STREQ(dict.getEntryValue("ORDERS C1"), "upper -oe1s");
  EXPECT_STREQ(dict.getEntryValue("EMPTY C1"), "");
  EXPECT_EQ(dict.getEntryValue("MISSING"), nullptr);
  char** names = nullptr;
  char** values = nullptr;
  ASSERT_EQ(dict.getAllEntries(&names, &values), 3);
  EXPECT_STREQ(names[2], "ORDERS C1");
  EXPECT_STREQ(values[2], "second");
}

TEST_F(DirectoryGet, RecordWithoutPairsExists) {
  qlxDictionary dict;
  ASSERT_EQ(get("NONE", qlxEntryDictionary, dict), 1);
  EXPECT_EQ(dict.numEntries(), 0);
  EXPECT_EQ(gCall.calls, 0);
}

TEST_F(DirectoryGet, MissingEntriesCallTheHandler) {
  struct Case {
    const char* name;
    int type;
  };
  // Names exist, but under another type, or not at all.
  const Case cases[] = {{"C1", qlxEntryBusinessComponent},
                        {"E", qlxEntryClient},
                        {"E", qlxEntryDictionary},
                        {"e", qlxEntryBusinessComponent},
                        {"", qlxEntryClient}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.type));
    gCall = HandlerCall{};
    qlxBusinessComponent element;
    qlxClient client;
    qlxDictionary dict;
    qlxDirEntry& entry = c.type == qlxEntryBusinessComponent ? static_cast<qlxDirEntry&>(element)
                         : c.type == qlxEntryClient          ? static_cast<qlxDirEntry&>(client)
                                                             : static_cast<qlxDirEntry&>(dict);
    EXPECT_EQ(get(c.name, c.type, entry), 0);
    expectHandler(kDirReasonNotFound, c.type, c.type, c.name);
    EXPECT_NE(gCall.text.find(std::string(" named ") + c.name + " in the directory"),
              std::string::npos)
        << gCall.text;
  }
}

TEST_F(DirectoryGet, FailedGetEmptiesTheEntry) {
  qlxDictionary dict;
  ASSERT_EQ(get("ZVRBroker", qlxEntryDictionary, dict), 1);
  EXPECT_EQ(get("GONE", qlxEntryDictionary, dict), 0);
  EXPECT_EQ(dict.numEntries(), 0);
  EXPECT_EQ(dict.getEntryValue("ORDERS C1"), nullptr);
  EXPECT_EQ(dict.type(), 0);
}

TEST_F(DirectoryGet, NullNameIsNotFound) {
  qlxDictionary dict;
  EXPECT_EQ(get(nullptr, qlxEntryDictionary, dict), 0);
  expectHandler(kDirReasonNotFound, qlxEntryDictionary, qlxEntryDictionary, "");
}

TEST_F(DirectoryGet, WrongEntryClassOrTypeFails) {
  qlxClient client;
  EXPECT_EQ(get("E", qlxEntryBusinessComponent, client), 0);
  expectHandler(kDirReasonBadRequest, qlxEntryBusinessComponent, qlxEntryBusinessComponent, "E");
  gCall = HandlerCall{};
  qlxDictionary dict;
  EXPECT_EQ(get("E", 5, dict), 0);
  expectHandler(kDirReasonBadRequest, 5, 5, "E");
}

TEST_F(DirectoryGet, NoHandlerNoCrash) {
  qlxDictionary dict;
  services_.ExceptionHandler = nullptr;
  EXPECT_EQ(get("GONE", qlxEntryDictionary, dict), 0);
  ctl_.Services = nullptr;
  EXPECT_EQ(get("GONE", qlxEntryDictionary, dict), 0);
  EXPECT_EQ(directory_->get(nullptr, "GONE", qlxEntryDictionary, dict, nullptr), 0);
  EXPECT_EQ(directory_->get(nullptr, "ZVRBroker", qlxEntryDictionary, dict, nullptr), 1);
  EXPECT_EQ(gCall.calls, 0);
}

TEST_F(DirectoryGet, LongNameKeepsTheReasonTextShort) {
  const std::string name(500, 'N');
  qlxDictionary dict;
  EXPECT_EQ(get(name.c_str(), qlxEntryDictionary, dict), 0);
  ASSERT_EQ(gCall.calls, 1);
  EXPECT_EQ(gCall.name, name);
  EXPECT_LT(gCall.text.size(), 208u);
}

TEST_F(DirectoryGet, SeesALaterLoad) {
  qlxDictionary dict;
  ASSERT_EQ(load("[dictionary.ZVRBroker]\npairs = [[\"X\", \"y\"]]\n"), "");
  ASSERT_EQ(get("ZVRBroker", qlxEntryDictionary, dict), 1);
  EXPECT_EQ(dict.numEntries(), 1);
  EXPECT_STREQ(dict.getEntryValue("X"), "y");
}

}  // namespace
}  // namespace qlx::testing
