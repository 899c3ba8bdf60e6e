// The embedded store: connections, units of work, waits and faults.
#include "sqlite_broker.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "directory_store.h"
#include "leasesweep.h"
#include "log.h"
#include "messages.h"
#include "trc.h"
#include "wait.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

class SqliteWait final : public QueueWait {
 public:
  SqliteWait(std::string path, std::atomic<uint32_t>* waiters, std::string leaseFolder) {
    waiter_.watch(std::move(path), waiters);
    waiter_.watchEndings(std::move(leaseFolder));
  }
  bool takeEnding() override { return waiter_.takeEnding(); }
  void block() override { waiter_.block(); }
  void unblock() override { waiter_.unblock(); }
  Outcome sleep(int64_t millis) override {
    switch (waiter_.sleep(millis)) {
      case Waiter::kChanged: return kChanged;
      case Waiter::kTimedOut: return kTimedOut;
      default: return kInterrupted;
    }
  }

 private:
  Waiter waiter_;
};

struct Ended {
  int64_t id;
  std::string token;
};

std::vector<Ended> endedConnections(Store& store) {
  std::vector<Ended> ended;
  Query list(store, "SELECT id, token FROM connection");
  while (list.step() == SQLITE_ROW) {
    std::string token = list.text(1);
    if (!leaseHeld(store.home(), token)) ended.push_back({list.integer(0), std::move(token)});
  }
  return ended;
}

// Within the recovery transaction: the connection's row is still there (no other process
// recovered it meanwhile), its claims go back, the row goes.
// Within the recovery transaction: the connection's row is still there (no other process
// recovered it meanwhile), its claims go back, the row goes. `recovered` tells whether this
// process did it: every process that noticed the ended connection gets here, one does it.
bool recoverOne(Store& store, const Ended& ended, std::vector<std::string>& queues,
                bool& recovered) {
  recovered = false;
  {
    Query still(store, "SELECT 1 FROM connection WHERE id = ?1");
    const int rc = still.bind(1, ended.id).step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
  }
  recovered = true;
  if (!sqlite::returnClaims(store, leaseClaims(store.home(), ended.token), true, queues))
    return false;
  Query drop(store, "DELETE FROM connection WHERE id = ?1");
  return drop.bind(1, ended.id).run();
}

constexpr const char* kFindFault =
    "SELECT id, reason, sub_reason FROM fault WHERE call = ?1 AND remaining > 0 AND "
    "(name IS NULL OR name = ?2) ORDER BY id LIMIT 1";

}  // namespace

SqliteBrokerStore::~SqliteBrokerStore() = default;

bool SqliteBrokerStore::open(std::string& error) { return store_.open(error); }

int SqliteBrokerStore::findEntry(bool element, const std::string& name, EntryFacts& facts) {
  const char* sql = element
                        ? "SELECT default_actions, exit_library FROM element WHERE name = ?1"
                        : "SELECT 1, NULL FROM client WHERE name = ?1";
  Query q(store_, sql);
  q.bind(1, name);
  int rc = q.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  facts.defaultActions = static_cast<uint32_t>(q.integer(0));
  facts.exitLibrary = q.isNull(1) ? std::string() : q.text(1);
  return 1;
}

bool SqliteBrokerStore::attach(int kind, const std::string& name, int64_t& handle) {
  // The lease is taken before the row exists: a row without a held lease is an ended
  // connection.
  std::string error;
  if (!lease_.open(store_.home(), error)) return store_.noteFailure(SQLITE_CANTOPEN, error);
  Query add(store_,
            "INSERT INTO connection (name, kind, token, pid, started) "
            "VALUES (?1, ?2, ?3, ?4, ?5)");
  add.bind(1, name).bind(2, kind).bind(3, lease_.token());
  add.bind(4, static_cast<int64_t>(getpid())).bind(5, static_cast<int64_t>(time(nullptr)));
  if (!add.run()) {
    lease_.end();
    return false;
  }
  row_ = sqlite3_last_insert_rowid(store_.db());
  handle = row_;
  if (const int removed = reclaimOrphanLeases(store_, time(nullptr)))
    appendLog(kInfo, name, "removed " + std::to_string(removed) +
                               " lease file(s) of processes that ended before connecting");
  return true;
}

bool SqliteBrokerStore::detach() {
  Query drop(store_, "DELETE FROM connection WHERE id = ?1");
  if (!drop.bind(1, row_).run()) return false;
  // A lease whose row could not go stays held until the process ends, when the next
  // connection that looks rolls back whatever it still lists.
  lease_.end();
  return true;
}

void SqliteBrokerStore::abandonInChild() {
  lease_.abandon();
  store_.claims().abandon();
}

int64_t SqliteBrokerStore::recoverEnded(std::vector<std::string>& returned) {
  trc::Scope trace(kTrace);
  returned.clear();
  const std::vector<Ended> ended = endedConnections(store_);
  if (ended.empty()) return trace.result(0);
  std::vector<std::string> queues;
  int64_t recovered = 0;
  {
    Transaction tx(store_);
    if (!tx.ok()) return trace.result(-1);
    for (const Ended& one : ended) {
      bool mine = false;
      if (!recoverOne(store_, one, queues, mine)) return trace.result(-1);
      recovered += mine ? 1 : 0;
    }
    if (!tx.commit()) return trace.result(-1);
  }
  for (const Ended& one : ended) removeLease(store_.home(), one.token);
  sqlite::notifyQueues(store_, queues);
  returned = std::move(queues);
  return trace.result(recovered);
}

std::unique_ptr<QueueWait> SqliteBrokerStore::makeWait(const std::string& queue) {
  return std::make_unique<SqliteWait>(wakePath(store_.home(), queue), store_.waiters(queue),
                                      store_.home() + "/lease");
}

int SqliteBrokerStore::take(const std::string& queue, const Match& match, Take take,
                            MessageRow& row) {
  return sqlite::takeMessage(store_, queue, match, take, row);
}

bool SqliteBrokerStore::keepClaim(size_t slot, int64_t id) {
  if (lease_.record(slot, id)) return true;
  const int error = errno;
  return store_.noteFailure(error, std::string("cannot record the claim in the lease: ") +
                                       std::strerror(error));
}

void SqliteBrokerStore::releaseClaim(int64_t id) { store_.claims().unlock(id); }

bool SqliteBrokerStore::put(const MessageRow& row) {
  if (!sqlite::insertMessage(store_, row)) return false;
  store_.notify(row.queue);
  return true;
}

int SqliteBrokerStore::commit(const UnitOfWork& unit) {
  const int done = sqlite::commitUnit(store_, unit);
  if (done < 0 || (done == 0 && !store_.commitInDoubt())) return done;
  // A commit deleted every listed message, and ids are never reused, so the lease's list
  // names nothing any more and is left for the next get to overwrite.
  if (!unit.claims.empty()) store_.claims().unlockAll();
  std::vector<std::string> queues;
  for (const MessageRow& row : unit.staged) queues.push_back(row.queue);
  sqlite::notifyQueues(store_, queues);
  return done;
}

bool SqliteBrokerStore::rollback(const UnitOfWork& unit) {
  std::vector<int64_t> ids;
  for (const Claim& claim : unit.claims) ids.push_back(claim.id);
  std::vector<std::string> queues;
  if (!ids.empty()) {
    if (!sqlite::returnClaims(store_, ids, false, queues)) return false;
    // First: a claim released but still listed would be counted twice.
    lease_.clear();
    store_.claims().unlockAll();
  }
  sqlite::notifyQueues(store_, queues);
  return true;
}

bool SqliteBrokerStore::serviceHops(std::string_view service, std::vector<Hop>& hops) {
  hops.clear();
  Query query(store_, "SELECT type, name FROM hop WHERE service = ?1 ORDER BY position");
  query.bind(1, service);
  int rc;
  while ((rc = query.step()) == SQLITE_ROW)
    hops.push_back(Hop{static_cast<int32_t>(query.integer(0)), query.text(1)});
  return rc == SQLITE_DONE;
}

std::unique_ptr<qlxDirInterface> SqliteBrokerStore::directory() {
  return makeDirectory(store_.db(), store_.directoryGeneration());
}

// Whether faults may be pending is a word of the home's shared control page: set by
// addFault, cleared only when the table is emptied, so a fault is never missed; the calls
// of the broker read the word (no system call) before they read the fault table. After
// the last fault was used the table is read until `qlxadm fault clear` or `reset`.
bool SqliteBrokerStore::takeFault(const char* call, std::string_view name, Fault& fault) {
  if (!store_.faultsMayBePending()) return false;
  {
    // The common case (no fault pending) costs one indexed read and no write.
    Query probe(store_, kFindFault);
    probe.bind(1, call).bind(2, name);
    if (probe.step() != SQLITE_ROW) return false;
  }
  trc::Scope trace(kTrace);
  Transaction tx(store_);
  Query find(store_, kFindFault);
  find.bind(1, call).bind(2, name);
  if (!tx.ok() || find.step() != SQLITE_ROW) return trace.result(false);
  fault.id = find.integer(0);
  fault.call = call;
  fault.reason = static_cast<int32_t>(find.integer(1));
  fault.subReason.reset();
  if (!find.isNull(2)) fault.subReason = static_cast<int32_t>(find.integer(2));
  Query use(store_, "UPDATE fault SET remaining = remaining - 1 WHERE id = ?1");
  Query drop(store_, "DELETE FROM fault WHERE remaining <= 0");
  if (!use.bind(1, fault.id).run() || !drop.run()) return trace.result(false);
  return trace.result(tx.commit());
}

bool SqliteBrokerStore::addFault(const Fault& fault, std::string& error) {
  Query add(store_,
            "INSERT INTO fault (call, reason, sub_reason, remaining, name) "
            "VALUES (?1, ?2, ?3, ?4, ?5)");
  add.bind(1, fault.call).bind(2, fault.reason).bind(4, fault.remaining);
  if (fault.subReason) add.bind(3, *fault.subReason); else add.bindNull(3);
  if (fault.name) add.bind(5, *fault.name); else add.bindNull(5);
  if (!add.run()) {
    error = store_.errorText();
    return false;
  }
  store_.setFaultsPending(true);
  return true;
}

bool SqliteBrokerStore::listFaults(std::vector<Fault>& faults, std::string& error) {
  faults.clear();
  Query list(store_,
             "SELECT id, call, reason, sub_reason, remaining, name FROM fault ORDER BY id");
  int rc;
  while ((rc = list.step()) == SQLITE_ROW) {
    Fault f;
    f.id = list.integer(0);
    f.call = list.text(1);
    f.reason = static_cast<int32_t>(list.integer(2));
    if (!list.isNull(3)) f.subReason = static_cast<int32_t>(list.integer(3));
    f.remaining = list.integer(4);
    if (!list.isNull(5)) f.name = list.text(5);
    faults.push_back(std::move(f));
  }
  if (rc == SQLITE_DONE) return true;
  error = store_.errorText();
  return false;
}

bool SqliteBrokerStore::clearFaults(std::string& error) {
  if (store_.exec("DELETE FROM fault")) {
    store_.setFaultsPending(false);
    return true;
  }
  error = store_.errorText();
  return false;
}

}  // namespace qlx
