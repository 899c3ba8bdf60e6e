// A broker home of a test's own: a new folder under the system's temporary folder that
// QLX_HOME names for the test, removed when the test ends. Every fixture that runs the
// broker (or one of its stores) makes its home this way, so that a test never meets the
// ./.qlx of the folder it runs in, nor a home another test left behind.
#ifndef ZVR_TESTING_TEMP_HOME_H
#define ZVR_TESTING_TEMP_HOME_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace zvr::testing {

// Makes a new, empty folder "<tmp>/<prefix>XXXXXX" (0700) and points QLX_HOME at it;
// `home` receives its path. A failure (with the reason) leaves `home` empty and QLX_HOME
// as it was. Use as ASSERT_TRUE(makeTempHome("qlx-foo-", home_)).
inline ::testing::AssertionResult makeTempHome(const char* prefix, std::string& home) {
  home.clear();
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    return ::testing::AssertionFailure()
           << "cannot make a broker home " << pattern << ": " << std::strerror(errno);
  home = pattern;
  setenv("QLX_HOME", home.c_str(), 1);
  return ::testing::AssertionSuccess();
}

// Removes the home and whatever it holds (nothing when `home` is empty) and unsets
// QLX_HOME. A fixture that had a QLX_HOME of its own to restore sets it again afterwards.
// False when something could not be removed.
inline bool removeTempHome(const std::string& home) {
  unsetenv("QLX_HOME");
  if (home.empty()) return true;
  std::error_code error;
  std::filesystem::remove_all(home, error);
  return !error;
}

}  // namespace zvr::testing

#endif  // ZVR_TESTING_TEMP_HOME_H
