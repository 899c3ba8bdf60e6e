// Test fixture of the directory tests: a fresh database file with the directory tables in
// a temporary folder, and helpers that write and load TOML text.
#ifndef QLX_DIRECTORY_TEST_UTIL_H
#define QLX_DIRECTORY_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "directory.h"
#include "directory_model.h"
#include "directory_schema.h"
#include "sqlite_broker.h"

namespace qlx::testing {

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qlxdirXXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("QLX_HOME", dir_.c_str(), 1);
    std::string error;
    ASSERT_TRUE(store_.open(error)) << error;
    db_ = store_.sql().db();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Writes `text` to a file of the temporary folder and returns its path.
  std::string writeFile(const std::string& name, const std::string& text) {
    const std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // Loads TOML text; returns the error (empty on success).
  std::string load(const std::string& text, const std::string& name = "dir.toml") {
    std::string error;
    if (!loadDirectory(db_, writeFile(name, text), error) && error.empty()) error = "?";
    return error;
  }

  DirectoryModel stored() {
    DirectoryModel model;
    std::string error;
    EXPECT_TRUE(readDirectory(db_, model, error)) << error;
    return model;
  }

  // Runs a directory subcommand given as words; output and error text land in out_/err_.
  int command(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    out_.str("");
    err_.str("");
    return directoryCommand(store_, static_cast<int>(words.size()), argv.data(), out_, err_);
  }

  SqliteBrokerStore store_;  // the embedded store's broker database in dir_
  sqlite3* db_ = nullptr;
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

}  // namespace qlx::testing

#endif  // QLX_DIRECTORY_TEST_UTIL_H
