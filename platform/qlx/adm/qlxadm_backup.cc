// qlxadm backup FILE: a consistent copy of a live broker database, taken with SQLite's
// online backup while servers keep working on the home.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "broker_store.h"
#include "qlxadm.h"
#include "store.h"

namespace qlx::adm {
namespace {

// Copies every page of `from` into the new database `path` in one step, so the copy is
// one read snapshot of the broker: committed units of work whole, open ones not at all
// (their messages are still queued in it). Then makes the copy a self-contained file
// (no write-ahead log beside it) and syncs it.
bool copyDatabase(sqlite3* from, const std::string& path, std::string& error) {
  sqlite3* to = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (backup == nullptr) {
      rc = sqlite3_errcode(to);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      const int finished = sqlite3_backup_finish(backup);
      if (rc == SQLITE_DONE) rc = finished;
    }
  }
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(to, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) error = to ? sqlite3_errmsg(to) : sqlite3_errstr(rc);
  sqlite3_close_v2(to);
  if (rc != SQLITE_OK) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (!synced) error = std::strerror(errno);
  if (fd >= 0) close(fd);
  return synced;
}

}  // namespace

int backup(const Args& args) {
  if (args.size() != 1) return complain(2, "backup takes one FILE (see qlxadm --help)");
  const std::string& target = args[0];
  struct stat info {};
  // Never over an existing file: it may be the previous good backup.
  if (lstat(target.c_str(), &info) == 0)
    return complain(1, "backup: " + target + " exists; give a new file name");
  if (isPostgresAddress(brokerAddress()))
    return complain(1, "backup: the broker is on PostgreSQL: back it up with pg_dump");
  Store store;
  std::string error;
  if (!store.open(error)) return complain(1, error);
  // Written under a temporary name and renamed into place: a backup that stopped half-way
  // never carries the name of a finished one.
  const std::string partial = target + ".partial";
  unlink(partial.c_str());
  if (!copyDatabase(store.db(), partial, error)) {
    unlink(partial.c_str());
    return complain(1, "backup: cannot write " + target + ": " + error);
  }
  chmod(partial.c_str(), 0600);
  if (rename(partial.c_str(), target.c_str()) != 0) {
    error = std::strerror(errno);
    unlink(partial.c_str());
    return complain(1, "backup: cannot write " + target + ": " + error);
  }
  std::cout << "backed up " << store.home() << "/broker.db to " << target << "\n";
  return 0;
}

}  // namespace qlx::adm
