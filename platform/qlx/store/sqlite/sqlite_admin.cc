// The embedded store: what the operator sees and changes (queues, error queues, reset,
// the directory, backups).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "directory_cache.h"
#include "directory_sql.h"
#include "directory_store.h"
#include "messages.h"
#include "sqlite_broker.h"

namespace qlx {
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

// A read transaction for the length of a listing: every statement run meanwhile reads the
// one snapshot that the first of them starts, so that figures read by several statements
// agree (a message committed away between two reads is in all of them or in none). Inside
// a transaction already open (a view made of several listings) it reads that one's.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Store& store) : store_(store) {
    if (!sqlite3_get_autocommit(store_.db())) {
      nested_ = true;
      return;
    }
    Query begin(store_, "BEGIN");
    open_ = begin.run();
  }
  ~ReadSnapshot() {
    if (!open_) return;
    Query commit(store_, "COMMIT");
    if (commit.run()) return;
    commit.reset();
    Query rollback(store_, "ROLLBACK");  // never leave a reader holding the log
    rollback.run();
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

  bool ok() const { return open_ || nested_; }

 private:
  Store& store_;
  bool open_ = false;    // this object began the transaction and ends it
  bool nested_ = false;  // a transaction was open already
};

}  // namespace

// The ids of the messages that units of work hold now.
bool SqliteBrokerStore::_heldIn(std::vector<int64_t>& held, std::string& error) {
  held.clear();
  Query range(store_, "SELECT MIN(id), MAX(id) FROM message");
  if (range.step() != SQLITE_ROW) return store_.failureInto(error);
  if (range.isNull(0)) return true;
  if (store_.claims().heldIn(range.integer(0), range.integer(1), held)) return true;
  error = std::string("claims file: ") + std::strerror(errno);
  return false;
}

bool SqliteBrokerStore::listQueues(std::vector<QueueInfo>& queues, std::string& error) {
  queues.clear();
  ReadSnapshot snapshot(store_);
  if (!snapshot.ok()) return store_.failureInto(error);
  std::vector<int64_t> held;
  if (!_heldIn(held, error)) return false;
  Query q(store_,
          "SELECT queue, COUNT(*), SUM(backout > 0), MAX(backout) "
          "FROM message GROUP BY queue ORDER BY queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    queues.push_back({q.text(0), q.integer(1), 0, q.integer(2), q.integer(3)});
  if (rc != SQLITE_DONE) return store_.failureInto(error);
  q.reset();
  for (int64_t id : held) {
    Query where(store_, "SELECT queue FROM message WHERE id = ?1");
    if (where.bind(1, id).step() != SQLITE_ROW) continue;
    for (QueueInfo& info : queues)
      if (info.queue == where.text(0)) {
        --info.depth;
        ++info.inFlight;
      }
  }
  return true;
}

bool SqliteBrokerStore::viewFigures(std::vector<QueueInfo>& queues,
                                    std::map<std::string, int64_t>& oldest,
                                    std::vector<ServerStats>& elements, std::string& error) {
  ReadSnapshot snapshot(store_);
  if (!snapshot.ok()) return store_.failureInto(error);
  return listQueues(queues, error) && oldestMessages(oldest, error) &&
         elementServers(elements, error);
}

bool SqliteBrokerStore::browse(const std::string& queue, std::vector<BrowsedMessage>& rows,
                               std::string& error) {
  rows.clear();
  std::vector<int64_t> ids;
  std::vector<bool> claimed;
  {
    Query q(store_, "SELECT id FROM message WHERE queue = ?1 ORDER BY seq, id");
    q.bind(1, queue);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
      ids.push_back(q.integer(0));
      claimed.push_back(store_.claims().heldByOther(q.integer(0)) == 1);
    }
    if (rc != SQLITE_DONE) return store_.failureInto(error);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    BrowsedMessage m;
    if (sqlite::readMessage(store_, ids[i], m.row) != 1) continue;  // taken meanwhile
    m.claimed = claimed[i];
    rows.push_back(std::move(m));
  }
  return true;
}

bool SqliteBrokerStore::errorEntries(const std::string& element, std::vector<MessageRow>& rows,
                                     std::string& error) {
  rows.clear();
  std::vector<int64_t> ids;
  {
    Query q(store_,
            "SELECT id FROM message WHERE queue LIKE 'error:%' AND (?1 = '' OR queue = "
            "'error:' || ?1) ORDER BY queue, seq, id");
    q.bind(1, element);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) ids.push_back(q.integer(0));
    if (rc != SQLITE_DONE) return store_.failureInto(error);
  }
  for (int64_t id : ids) {
    MessageRow row;
    const int found = sqlite::readMessage(store_, id, row);
    if (found < 0) return store_.failureInto(error);
    if (found == 1) rows.push_back(std::move(row));  // else purged meanwhile
  }
  return true;
}

int64_t SqliteBrokerStore::settleErrors(const std::string& element,
                                        const std::vector<int64_t>& ids, bool remove,
                                        std::string& error) {
  Transaction tx(store_);
  if (!tx.ok()) return (store_.failureInto(error), -1);
  const char* sql =
      remove ? "DELETE FROM message WHERE id = ?1 AND queue = ?3"
             : "UPDATE message SET queue = ?2, seq = 0, backout = 0, reason = NULL, "
               "sub_reason = NULL, call_type = NULL, error_text = NULL, default_actions = "
               "NULL, performed_actions = NULL, reporter = NULL WHERE id = ?1 AND queue = ?3";
  for (int64_t id : ids) {
    // An entry that some unit of work holds (taken with a get of its error queue) is that
    // unit's to finish: changing it now could make it processed twice.
    const int held = store_.claims().heldByOther(id);
    if (held != 0) {
      error = held < 0 ? "cannot check the claims of entry " + std::to_string(id)
                       : "entry " + std::to_string(id) + " is held by a unit of work; try again";
      return -1;
    }
    Query q(store_, sql);
    q.bind(1, id).bind(3, "error:" + element);
    if (!remove) q.bind(2, "element:" + element);
    if (!q.run()) return (store_.failureInto(error), -1);
    if (q.changes() != 1) {
      error = "entry " + std::to_string(id) + " left the error queue meanwhile";
      return -1;
    }
  }
  if (!tx.commit()) return (store_.failureInto(error), -1);
  if (!remove) store_.notify("element:" + element);  // an element waiting for work looks now
  return static_cast<int64_t>(ids.size());
}

bool SqliteBrokerStore::resetRuntime(std::string& error) {
  Transaction tx(store_);
  if (!tx.ok() || !store_.exec("DELETE FROM message") || !store_.exec("DELETE FROM fault"))
    return store_.failureInto(error);
  if (!tx.commit()) return store_.failureInto(error);
  store_.setFaultsPending(false);
  return true;
}

bool SqliteBrokerStore::backup(const std::string& target, std::string& source,
                               std::string& error) {
  source = store_.home() + "/broker.db";
  return copyDatabase(store_.db(), target, error);
}

// The directory tables are created again when missing: a damaged or hand-edited database
// gets them back on the next edit.
bool SqliteBrokerStore::readDirectory(DirectoryModel& model, std::string& error) {
  return ensureDirectorySchema(store_.db(), error) &&
         qlx::readDirectory(store_.db(), model, error);
}

// Connections keep the entries they read while the generation word stays put, so an
// edit that cannot move it would go unseen: it is refused instead.
bool SqliteBrokerStore::editDirectory(const DirectoryEdit& edit, std::string& error) {
  sqlite3* db = store_.db();
  std::atomic<uint32_t>* generation = store_.directoryGeneration();
  if (!generation) {
    error = "cannot edit the directory: the control page " + store_.home() +
            "/control cannot be mapped";
    return false;
  }
  if (!ensureDirectorySchema(db, error)) return false;
  DirTransaction transaction(db);
  if (!transaction.begun()) {
    error = dirSqlError(db);
    return false;
  }
  // Marked only once the edit holds the write lock: an edit that began earlier and waits
  // for the lock must not see its last raise taken for this one's. The mark ends before a
  // failed transaction's rollback, which changes nothing.
  const DirectoryEditMark mark(*generation);
  DirectoryModel model;
  std::string why;
  if (!qlx::readDirectory(db, model, error) || !edit(model, error)) return false;
  if (!storeDirectory(db, model, why) || !transaction.commit()) {
    error = why.empty() ? dirSqlError(db) : why;
    return false;
  }
  return true;
}

}  // namespace qlx
