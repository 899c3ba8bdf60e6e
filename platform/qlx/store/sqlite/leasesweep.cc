#include "leasesweep.h"

#include <dirent.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "lease.h"
#include "store.h"

namespace qlx {
namespace {

std::vector<std::string> leaseFiles(const std::string& home) {
  std::vector<std::string> tokens;
  DIR* dir = opendir((home + "/lease").c_str());
  if (dir == nullptr) return tokens;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") tokens.push_back(name);
  }
  closedir(dir);
  return tokens;
}

bool registered(Store& store, std::set<std::string>& tokens) {
  Query list(store, "SELECT token FROM connection");
  int rc;
  while ((rc = list.step()) == SQLITE_ROW) tokens.insert(list.text(0));
  return rc == SQLITE_DONE;
}

}  // namespace

int reclaimOrphanLeases(Store& store, time_t now) {
  // The files first, the rows after: a connection that registers in between is then
  // among the rows, and one that starts in between is too young to be taken.
  const std::vector<std::string> files = leaseFiles(store.home());
  std::set<std::string> tokens;
  if (files.empty() || !registered(store, tokens)) return 0;
  int removed = 0;
  for (const std::string& token : files) {
    if (tokens.count(token) != 0) continue;
    struct stat info {};
    const std::string path = store.home() + "/lease/" + token;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (now - info.st_mtime < kOrphanLeaseSeconds || leaseHeld(store.home(), token)) continue;
    removeLease(store.home(), token);
    ++removed;
  }
  return removed;
}

}  // namespace qlx
