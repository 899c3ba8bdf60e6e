// Running qlxadm as a user does, in processes of its own on a broker home of the test's
// own (QLX_HOME), loaded with the example directory.
#ifndef TESTS_QLX_ADM_UTIL_H
#define TESTS_QLX_ADM_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/zvr_testing.h"

namespace qlxtest {

using zvr::testing::ChildProcess;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A command line, the exit status it ends with and a text its standard error holds.
struct Case {
  std::vector<std::string> args;
  int status;
  const char* says;
};

class Qlxadm : public zvr::testing::BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Outcome load = qlxadm({"load", zvr::testing::directoryForThisBuild(
                                       ZVR_SOURCE_DIR "/examples/directory.toml",
                                       home() + "/example-directory.toml")});
    ASSERT_EQ(load.status, 0) << load.err;
  }

  // Starts qlxadm with `args`; standard output and error go to files in the home named
  // after `name`, standard input comes from the file `in`.
  ChildProcess start(const std::vector<std::string>& args, const std::string& name,
                     const std::string& in = "/dev/null") const {
    std::vector<std::string> words{QLXADM_PATH};
    words.insert(words.end(), args.begin(), args.end());
    return ChildProcess(words, file(name + ".out"), file(name + ".err"), in);
  }

  // Runs qlxadm with `args` to its end. (It hides BrokerHome's runner of shell words:
  // these tests pass the arguments as the program gets them.)
  Outcome qlxadm(const std::vector<std::string>& args) const {
    ChildProcess run = start(args, "qlxadm");
    Outcome outcome;
    outcome.status = run.wait();
    outcome.out = run.standardOutput();
    outcome.err = run.standardError();
    return outcome;
  }

  std::string file(const std::string& name) const { return home() + "/" + name; }

  // Writes a file into the home and returns its path.
  std::string writeFile(const std::string& name, const std::string& text) const {
    const std::string path = file(name);
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) return path;
    fwrite(text.data(), 1, text.size(), out);
    fclose(out);
    return path;
  }
};

}  // namespace qlxtest

#endif  // TESTS_QLX_ADM_UTIL_H
