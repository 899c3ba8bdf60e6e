// Running qlxadm as a user does, in processes of its own on a broker home of the test's
// own (QLX_HOME), loaded with the example directory.
#ifndef TESTS_QLX_ADM_UTIL_H
#define TESTS_QLX_ADM_UTIL_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qlxtest {

struct Outcome {
  int status = -1;
  std::string out, err;
};

inline std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Starts qlxadm with its standard output and error on `out` and `err` (and input on `in`).
inline pid_t start(const std::vector<std::string>& args, int out, int err, int in = -1) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (in >= 0) dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char*> argv{const_cast<char*>(QLXADM_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(QLXADM_PATH, argv.data());
  _exit(127);
}

// Runs qlxadm to its end; stdout and stderr go through files (no pipe can fill up).
inline Outcome qlxadm(const std::vector<std::string>& args) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  pid_t pid = start(args, fileno(out), fileno(err));
  Outcome run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  rewind(out);
  rewind(err);
  run.out = readAll(fileno(out));
  run.err = readAll(fileno(err));
  fclose(out);
  fclose(err);
  return run;
}

// A command line, the exit status it ends with and a text its standard error holds.
struct Case {
  std::vector<std::string> args;
  int status;
  const char* says;
};

class Qlxadm : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qlxadm.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    setenv("QLX_HOME", home_.c_str(), 1);
    Outcome load = qlxadm({"load", ZVR_SOURCE_DIR "/examples/directory.toml"});
    ASSERT_EQ(load.status, 0) << load.err;
  }
  // Writes a file into the home and returns its path.
  std::string writeFile(const std::string& name, const std::string& text) {
    const std::string path = home_ + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return path;
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    return path;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + home_ + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << home_;
  }
  std::string home_;
};

}  // namespace qlxtest

#endif  // TESTS_QLX_ADM_UTIL_H
