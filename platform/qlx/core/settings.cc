#include "settings.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "broker_store.h"

namespace qlx {

bool syncModeSetting(SyncMode& mode, std::string& error) {
  mode = SyncMode::kNormal;
  const char* value = std::getenv("QLX_SYNC");
  if (value == nullptr || *value == '\0' || strcasecmp(value, "NORMAL") == 0) return true;
  if (strcasecmp(value, "FULL") == 0) {
    mode = SyncMode::kFull;
    return true;
  }
  error = "QLX_SYNC=" + std::string(value).substr(0, 40) +
          " is not a sync mode: set it to FULL or NORMAL (any case), or leave it unset for "
          "NORMAL";
  return false;
}

bool fullSyncSetting() {
  SyncMode mode;
  std::string ignored;
  return syncModeSetting(mode, ignored) && mode == SyncMode::kFull;
}

const char* syncModeName(SyncMode mode) { return mode == SyncMode::kFull ? "FULL" : "NORMAL"; }

std::string shownAddress(const std::string& address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string::npos) return address;
  const size_t hostStart = scheme + 3;
  std::string rest = address.substr(hostStart);
  // The host follows the last '@'; a password written without percent-escapes may hold
  // '/' or '?'. An '@' after a '?' may be part of a password in the user part or in a
  // parameter: no part of such an address is shown.
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    if (rest.find('?') < at) return address.substr(0, hostStart) + "...";
    rest = rest.substr(at + 1);
  }
  rest = rest.substr(0, rest.find('?'));
  return address.substr(0, hostStart) + rest;
}

std::string absoluteHome(const std::string& home) {
  char resolved[PATH_MAX];
  if (realpath(home.c_str(), resolved)) return resolved;
  if (!home.empty() && home[0] == '/') return home;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return home;
  std::string relative = home.rfind("./", 0) == 0 ? home.substr(2) : home;
  return std::string(cwd) + (std::string(cwd) == "/" ? "" : "/") + relative;
}

std::string brokerInUse() {
  const char* broker = std::getenv("QLX_BROKER");
  if (broker != nullptr && *broker != '\0') return "broker database " + shownAddress(broker);
  return "broker home " + absoluteHome(homePath());
}

std::string withBrokerInUse(const std::string& text, size_t limit) {
  const std::string named = text + " (" + brokerInUse() + ")";
  return named.size() <= limit ? named : text;
}

std::string settingsSummary(const std::string& home) {
  SyncMode mode;
  std::string ignored;
  syncModeSetting(mode, ignored);
  const std::string shown = absoluteHome(home);
  const char* broker = std::getenv("QLX_BROKER");
  if (broker != nullptr && *broker != '\0')
    return "broker database " + shownAddress(broker) + ", broker home " + shown +
           ", QLX_SYNC " + syncModeName(mode);
  return "broker home " + shown + ", QLX_SYNC " + syncModeName(mode);
}

std::string homeAction(const std::string& home) {
  struct stat info {};
  if (stat(home.c_str(), &info) != 0) {
    if (errno == EACCES)
      return "a folder above the broker home " + home +
             " is closed to this user: run as the service's user, who created the home";
    return "";
  }
  if (!S_ISDIR(info.st_mode))
    return "the broker home " + home +
           " is not a folder: set QLX_HOME to a folder (it is created when missing)";
  if (access(home.c_str(), R_OK | W_OK | X_OK) != 0)
    return "the broker home " + home + " belongs to uid " + std::to_string(info.st_uid) +
           " and is closed to this user (uid " + std::to_string(geteuid()) +
           "): run as the user who created and loaded it";
  return "";
}

}  // namespace qlx
