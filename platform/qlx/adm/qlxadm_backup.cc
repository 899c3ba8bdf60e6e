// qlxadm backup FILE: a consistent copy of a live broker, taken by its store (the
// embedded store's online backup) while servers keep working on it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "broker_store.h"
#include "qlxadm.h"

namespace qlx::adm {

int backup(const Args& args) {
  if (args.size() != 1) return complain(2, "backup takes one FILE (see qlxadm --help)");
  const std::string& target = args[0];
  struct stat info {};
  // Never over an existing file: it may be the previous good backup.
  if (lstat(target.c_str(), &info) == 0)
    return complain(1, "backup: " + target + " exists; give a new file name");
  if (isPostgresAddress(brokerAddress()))
    return complain(1, "backup: the broker is on PostgreSQL: back it up with pg_dump");
  const std::unique_ptr<BrokerStore> store = makeBrokerStore();
  std::string error;
  if (!store->open(error)) return complain(1, error);
  // Written under a temporary name and renamed into place: a backup that stopped half-way
  // never carries the name of a finished one.
  const std::string partial = target + ".partial";
  unlink(partial.c_str());
  std::string source;
  if (!store->backup(partial, source, error)) {
    unlink(partial.c_str());
    return complain(1, "backup: cannot write " + target + ": " + error);
  }
  chmod(partial.c_str(), 0600);
  if (rename(partial.c_str(), target.c_str()) != 0) {
    error = std::strerror(errno);
    unlink(partial.c_str());
    return complain(1, "backup: cannot write " + target + ": " + error);
  }
  std::cout << "backed up " << source << " to " << target << "\n";
  return 0;
}

}  // namespace qlx::adm
