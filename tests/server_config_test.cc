// Configuration mistakes an operator makes when setting a server up: each is refused at
// start-up with status 1 and a text that says what is wrong and what to do, instead of a
// server that runs on with less durability, on another home, or without its exit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server_testing.h"

namespace {

using zvr::testing::ChildProcess;

class ServerConfigTest : public zvr::testing::ServerHome,
                         public ::testing::WithParamInterface<const char*> {
 protected:
  std::string directoryText() const override {
    return "[element.T]\nformats = [\"*\"]\n[client.C1]\n[service.S]\n"
           "workflow = [\"element:T\", \"origin\"]\n";
  }
  void SetUp() override {
    ServerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!haveProgram(GetParam())) GTEST_SKIP() << GetParam() << " is not part of this build";
  }

  // The server of this test as element `element`, with `environment` (NAME=VALUE words)
  // on top of the test's own.
  ChildProcess startWith(const std::vector<std::string>& environment, const char* element) {
    std::vector<std::string> words{"/usr/bin/env"};
    words.insert(words.end(), environment.begin(), environment.end());
    words.push_back(programPath(GetParam()));
    words.insert(words.end(), {"-e", element});
    if (std::string(GetParam()) == "zvrtbc") words.insert(words.end(), {"-map", "upper_so"});
    const std::string stem = home() + "/run" + std::to_string(++runs_);
    return ChildProcess(words, stem + ".out", stem + ".err");
  }

  // True once `server` has started serving: the servers log "Component Initialized.",
  // the tee says "Quor Server initialized." on standard error.
  bool waitUntilStarted(const ChildProcess& server) const {
    if (std::string(GetParam()) != "zvrtee") return waitUntilServing(server);
    for (int tries = 0; tries < 500; ++tries) {
      if (server.standardError().find("Quor Server initialized.") != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  int runs_ = 0;
};

TEST_P(ServerConfigTest, MistakesAreRefusedWithWhatToDo) {
  const std::string file = home() + "/not-a-folder";
  std::ofstream(file) << "x";
  const std::string damaged = home() + "/damaged";
  std::filesystem::create_directory(damaged);
  std::ofstream(damaged + "/broker.db").flush();
  const std::string logFolder = home() + "/log-is-a-folder";
  std::filesystem::create_directories(logFolder + "/log");
  // The home holds the database only on the embedded store; the log on both.
  const bool embedded = !zvr::testing::onPostgres();
  const struct {
    const char* name;
    std::vector<std::string> environment;
    const char* element;
    std::string says;
    bool embeddedOnly;
  } rows[] = {
      {"misspelt sync mode", {"QLX_SYNC=fulll"}, "T",
       "QLX_SYNC=fulll is not a sync mode: set it to FULL or NORMAL (any case)", false},
      {"sync mode of another product", {"QLX_SYNC=OFF"}, "T", "QLX_SYNC=OFF is not a sync mode",
       false},
      {"home is a file", {"QLX_HOME=" + file}, "T",
       "the broker home " + file + " is not a folder: set QLX_HOME to a folder", false},
      {"log cannot be written", {"QLX_HOME=" + logFolder}, "T",
       "cannot write the broker log " + logFolder + "/log: Is a directory", false},
      {"damaged database", {"QLX_HOME=" + damaged}, "T",
       "is damaged: the file is empty (restore it from a copy", true},
      {"element not in the directory", {}, "NOPE",
       "business element ``NOPE'' is not in the directory: load a directory that defines it, "
       "or correct the name", false},
  };
  for (const auto& row : rows) {
    if (row.embeddedOnly && !embedded) continue;
    SCOPED_TRACE(row.name);
    ChildProcess server = startWith(row.environment, row.element);
    EXPECT_EQ(server.wait(10000), 1);
    EXPECT_NE(server.standardError().find(row.says), std::string::npos)
        << server.standardError();
  }
}

// The home and the sync mode in force are in the log of every start, in any case of the
// mode's name.
TEST_P(ServerConfigTest, StartUpLogNamesTheHomeAndTheSyncMode) {
  const std::string home = std::filesystem::canonical(this->home()).string();
  for (const char* mode : {"full", "NORMAL"}) {
    SCOPED_TRACE(mode);
    ChildProcess server = startWith({std::string("QLX_SYNC=") + mode}, "T");
    // On PostgreSQL the database comes first, shown without its user and password.
    const std::string said =
        std::string(zvr::testing::onPostgres() ? ", broker home " : "connected: broker home ") +
        home + ", QLX_SYNC " + (mode[0] == 'f' ? "FULL" : "NORMAL");
    EXPECT_TRUE(waitForLog(said)) << logText();
    if (zvr::testing::onPostgres()) {
      EXPECT_TRUE(waitForLog("connected: broker database postgresql://127.0.0.1:")) << logText();
      const std::string address = std::getenv("QLX_BROKER");
      const std::string credentials =
          address.substr(address.find("://") + 3, address.find('@') - address.find("://") - 3);
      EXPECT_EQ(logText().find(credentials), std::string::npos) << "the log shows the password";
    }
    // The connection is logged before the server catches its stop signals.
    ASSERT_TRUE(waitUntilStarted(server)) << logText();
    EXPECT_EQ(server.stop(SIGTERM, 5000), 0) << server.standardError();
  }
}

// An exit library that disappeared after the directory was loaded: the server still runs
// (the element's default actions apply) but says so on standard error and in the log.
TEST_P(ServerConfigTest, AnExitThatCannotBeLoadedIsReportedAtStartUp) {
  const std::string exit = home() + "/gone.so";
  std::filesystem::copy_file(zvr::testing::buildDir() + "/lib/libzvrear.so", exit);
  std::ofstream(home() + "/exit.toml") << directoryText() << "[element.X]\nexit = \"" << exit
                                       << "\"\n";
  std::string output;
  ASSERT_EQ(qlxadm("load '" + home() + "/exit.toml'", &output), 0) << output;
  std::filesystem::remove(exit);
  ChildProcess server = startWith({}, "X");
  const std::string said = "exit " + exit + " cannot be loaded: ";
  EXPECT_TRUE(waitForLog(said)) << logText();
  ASSERT_TRUE(waitUntilStarted(server)) << logText();
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  EXPECT_NE(server.standardError().find("qlx: business element X: " + said), std::string::npos)
      << server.standardError();
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerConfigTest,
                         ::testing::Values("zvrbc", "zvrtbc", "zvrtee"));

}  // namespace
