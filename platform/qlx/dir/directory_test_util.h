// Test fixture of the directory tests: a broker store of a fresh home in a temporary
// folder (or, on the PostgreSQL rows, of a schema of the test's own), reached only through
// the store interface, and helpers that write and load TOML
// text and record what a directory get hands its exception handler. A store's own tests
// give the fixture their store through makeStore().
#ifndef QLX_DIRECTORY_TEST_UTIL_H
#define QLX_DIRECTORY_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "broker_store.h"
#include "directory.h"
#include "directory_model.h"
#include "testing/temp_home.h"
#include "testing/test_store.h"

namespace qlx::testing {

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string home;
    ASSERT_TRUE(zvr::testing::makeTempHome("qlxdir", home));
    dir_ = home;
    zvr::testing::useTestBroker(schema_);
    if (IsSkipped() || HasFatalFailure()) return;
    store_ = makeStore();
    std::string error;
    ASSERT_TRUE(store_->open(error)) << error;
  }
  void TearDown() override {
    store_.reset();
    schema_.drop();
    unsetenv("QLX_BROKER");
    zvr::testing::removeTempHome(dir_.string());
  }

  // Writes `text` to a file of the temporary folder and returns its path.
  std::string writeFile(const std::string& name, const std::string& text) {
    const std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // The store the test works on, not yet opened: the one the broker address names.
  virtual std::unique_ptr<BrokerStore> makeStore() { return makeBrokerStore(); }

  // Loads TOML text; returns the error (empty on success).
  std::string load(const std::string& text, const std::string& name = "dir.toml") {
    return loadFile(writeFile(name, text));
  }

  // Replaces the stored directory by the file's, as qlxadm load does without its check of
  // the exit libraries; returns the error (empty on success).
  std::string loadFile(const std::string& path,
                       EmptyDirectory empty = EmptyDirectory::kRefuse) {
    DirectoryModel model;
    std::string error;
    const auto replace = [&model](DirectoryModel& stored, std::string&) {
      stored = std::move(model);
      return true;
    };
    if (readDirectoryFile(path, empty, model, error) && store_->editDirectory(replace, error))
      return "";
    return error.empty() ? "?" : error;
  }

  DirectoryModel stored() {
    DirectoryModel model;
    std::string error;
    EXPECT_TRUE(store_->readDirectory(model, error)) << error;
    return model;
  }

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  Pairs pairsOf(const std::string& name) {
    for (const DictionaryDef& d : stored().dictionaries) {
      if (d.name == name) return d.pairs;
    }
    ADD_FAILURE() << "no dictionary " << name;
    return {};
  }

  // Runs a directory subcommand given as words; output and error text land in out_/err_.
  int command(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    out_.str("");
    err_.str("");
    return directoryCommand(*store_, static_cast<int>(words.size()), argv.data(), out_, err_);
  }

  zvr::testing::PostgresSchema schema_;  // the broker's tables on the PostgreSQL rows
  std::unique_ptr<BrokerStore> store_;  // opened on the home dir_ or in schema_
  std::filesystem::path dir_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// A small directory used by several tests.
inline constexpr const char* kSmallDirectory = R"toml(
[element.E]
formats = ["ORDERS", "INVOICE"]
default_actions = 5

[element.F]

[client.C1]
formats = ["ORDERSUP"]

[service.ECHO]
workflow = ["element:E", "origin"]

[dictionary.ZVRBroker]
pairs = [["ORDERS C1", "upper -oe1s"], ["EMPTY C1", ""], ["ORDERS C1", "second"]]

[dictionary.NONE]
pairs = []
)toml";

// What the exception handler of the last failed get received.
struct HandlerCall {
  int calls = 0;
  unsigned long args[10] = {};
  std::string name;
  std::string text;
};
inline HandlerCall gCall;

inline int recordingHandler(unsigned long a1, unsigned long a2, unsigned long a3,
                            unsigned long a4, unsigned long a5, unsigned long a6,
                            unsigned long a7, unsigned long a8, unsigned long a9,
                            unsigned long a10) {
  const unsigned long args[10] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
  ++gCall.calls;
  std::copy(args, args + 10, gCall.args);
  gCall.name = reinterpret_cast<const char*>(a4);
  gCall.text = reinterpret_cast<const char*>(a5);
  return static_cast<int>(a6);
}

// Gets from the directory interface with kSmallDirectory loaded, through a control block
// whose exception handler records its call in gCall.
class DirectoryGet : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(load(kSmallDirectory), "");
    directory_ = makeDirectoryUnderTest();
    services_.ExceptionHandler = recordingHandler;
    ctl_.Version = 1;
    ctl_.Type = 3;
    ctl_.Services = &services_;
    gCall = HandlerCall{};
  }
  // The directory interface the gets go to: the store's, unless a store's own test
  // builds it another way.
  virtual std::unique_ptr<qlxDirInterface> makeDirectoryUnderTest() { return store_->directory(); }

  // The directory borrows the store: it goes first.
  void TearDown() override {
    directory_.reset();
    DirectoryTest::TearDown();
  }

  int get(const char* name, int type, qlxDirEntry& entry) {
    return directory_->get(&ctl_, name, static_cast<qlxEntryType>(type), entry, nullptr);
  }

  // The handler was called once with the ten documented arguments.
  void expectHandler(int reason, long subReason, int type, const char* name) {
    ASSERT_EQ(gCall.calls, 1);
    EXPECT_EQ(gCall.args[0], static_cast<unsigned long>(reason));
    EXPECT_EQ(gCall.args[1], static_cast<unsigned long>(subReason));
    EXPECT_EQ(gCall.args[2], static_cast<unsigned long>(type));
    EXPECT_EQ(gCall.name, name);
    EXPECT_FALSE(gCall.text.empty());
    EXPECT_EQ(gCall.args[5], 0u);
    EXPECT_EQ(gCall.args[6], static_cast<unsigned long>(kQlxCallDirectory));
    EXPECT_EQ(gCall.args[7], reinterpret_cast<unsigned long>(&ctl_));
    EXPECT_EQ(gCall.args[8], 0u);
    EXPECT_EQ(gCall.args[9], 0u);
  }

  std::unique_ptr<qlxDirInterface> directory_;
  QLXXSERVICES services_{};
  QLXXCTL ctl_{};
};

}  // namespace qlx::testing

#endif  // QLX_DIRECTORY_TEST_UTIL_H
