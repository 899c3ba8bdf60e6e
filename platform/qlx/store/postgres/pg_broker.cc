// The PostgreSQL store: opening, connections, units of work and messages.
#include "pg_broker.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "pg_message_fields.h"
#include "pg_metrics.h"
#include "pg_schema.h"
#include "pg_statements.h"
#include "pg_wait.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};
// Services whose hops a store keeps; beyond them it reads each put's hops.
constexpr size_t kMaxKeptServices = 256;
// Queues whose wake a store sends with its COMMIT; beyond them a wake costs a round trip.
constexpr size_t kMaxWaitedQueues = 64;

// The columns of kMessageColumns (pg_statements.h). A packed field the store cannot read
// (nobody but the store writes them) leaves the descriptor's defaults, or an error entry
// that says so, rather than a row read past its bytes.
void readRow(const pg::Result& r, int i, MessageRow& row) {
  row = MessageRow{};
  row.id = r.integer(i, 0);
  row.queue = r.text(i, 1);
  row.backout = r.integer(i, 2);
  pg::unpackDescriptor(r.text(i, 3), row);
  row.msgId = r.text(i, 4);
  row.correlId = r.text(i, 5);
  row.formatName = r.text(i, 6);
  row.putSec = r.integer(i, 7);
  const std::string id = r.text(i, 8);
  std::memcpy(row.theme.id.data(), id.data(), std::min(id.size(), row.theme.id.size()));
  row.theme.origin = r.text(i, 9);
  row.theme.service = r.text(i, 10);
  decodeHops(r.text(i, 11), row.theme.hops);
  row.body = r.text(i, 12);
  row.tag = r.text(i, 13);
  if (r.isNull(i, 14)) return;
  ErrorInfo info;
  if (!pg::unpackError(r.text(i, 14), info)) info.text = "(the stored error fields cannot be read)";
  row.error = std::move(info);
}

pg::Params insertParams(const MessageRow& row) {
  pg::Params p;
  p.add(row.queue).add(row.backout).bytes(pg::packDescriptor(row));
  p.bytes(row.msgId).bytes(row.correlId).bytes(row.formatName).add(row.putSec);
  p.bytes(std::string_view(reinterpret_cast<const char*>(row.theme.id.data()),
                           row.theme.id.size()));
  p.add(row.theme.origin).add(row.theme.service).bytes(encodeHops(row.theme.hops));
  p.bytes(row.body).bytes(row.tag);
  return row.error ? p.bytes(pg::packError(*row.error)) : p.null();
}

// Whether a take wants the first message of its queue, with nothing to match or skip.
bool takesFirst(const Match& match) {
  return !match.msgId && !match.correlId && !match.themeId &&
         (!match.held || match.held->empty());
}

// The parameters of a take: the queue alone for the first message, else those of
// QLX_PG_MATCH (pg_statements.h).
pg::Params matchParams(const std::string& queue, const Match& match) {
  auto id = [](const unsigned char* bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes), kQlxMsgIdLength);
  };
  pg::Params p;
  p.add(queue);
  if (takesFirst(match)) return p;
  for (const unsigned char* bytes : {match.msgId, match.correlId, match.themeId})
    if (bytes) p.bytes(id(bytes)); else p.null();
  std::vector<int64_t> held;
  if (match.held)
    for (const Claim& claim : *match.held) held.push_back(claim.id);
  return p.ids(held);
}

std::vector<int64_t> claimIds(const UnitOfWork& unit) {
  std::vector<int64_t> ids;
  for (const Claim& claim : unit.claims) ids.push_back(claim.id);
  return ids;
}

}  // namespace

PgBrokerStore::~PgBrokerStore() = default;

void PgBrokerStore::_readRow(const pg::Result& result, int row, MessageRow& message) {
  readRow(result, row, message);
}

// The schema is made under an advisory lock, so that processes starting together do not
// race to create it; a database of a later broker is refused rather than changed.
bool PgBrokerStore::open(std::string& error) {
  trc::Scope trace(kTrace);
  if (!isPostgresAddress(uri_)) {
    error = "QLX_BROKER is neither a postgresql:// nor a postgres:// address";
    return trace.result(false);
  }
  if (!unit_.open(uri_, error)) return trace.result(false);
  failure_ = &unit_;
  pg::Result exists = unit_.run("SELECT to_regclass('qlx_schema') IS NOT NULL");
  if (!exists.ok()) return trace.result(_fail(unit_, error));
  pg::Result version;
  if (exists.integer(0, 0) != 0)
    version = unit_.run("SELECT COALESCE(max(version), 0) FROM qlx_schema");
  if (version.rows() == 1 && version.integer(0, 0) == pg::kSchemaVersion) return true;
  if (version.rows() == 1 && version.integer(0, 0) > pg::kSchemaVersion) {
    error = "broker database: made by a later broker (schema version " +
            std::to_string(version.integer(0, 0)) + "); this broker knows version " +
            std::to_string(pg::kSchemaVersion);
    return trace.result(false);
  }
  const bool made = _inOneTransaction(unit_, [this] {
    return unit_.exec("SELECT pg_advisory_xact_lock(7170656)") && unit_.exec(pg::kSchema) &&
           unit_.exec("DELETE FROM qlx_schema") &&
           unit_.run("INSERT INTO qlx_schema VALUES ($1)",
                     pg::Params().add(static_cast<int64_t>(pg::kSchemaVersion)))
               .ok();
  });
  return trace.result(made || _fail(unit_, error));
}

bool PgBrokerStore::_fail(pg::Connection& conn, std::string& error) {
  failure_ = &conn;
  error = "broker database: " + conn.errorText();
  return false;
}

bool PgBrokerStore::_inOneTransaction(pg::Connection& conn, const std::function<bool()>& body) {
  if (!_ready(conn) || !conn.exec("BEGIN")) return false;
  if (body() && conn.exec("COMMIT")) return true;
  const int code = conn.errorCode();
  const std::string text = conn.errorText();
  conn.exec("ROLLBACK");
  conn.noteFailure(code, text);  // the rollback does not replace the cause
  failure_ = &conn;
  return false;
}

// A connection lost outside a unit is made again: the next call works once the server is
// back. A unit whose session was lost stays failed until the caller rolls it back.
bool PgBrokerStore::_ready(pg::Connection& conn) {
  failure_ = &conn;
  if (!conn.lost()) return true;
  if (&conn == &unit_ && inUnit_)
    return conn.noteFailure(ECONNRESET, "connection to the database server lost; the unit "
                                        "of work has ended and must be rolled back");
  return conn.reconnect();
}

pg::Connection& PgBrokerStore::_outside() {
  if (!inUnit_) return unit_;
  return _ensureSide() ? side_ : unit_;
}

bool PgBrokerStore::_ensureSide() {
  if (side_.isOpen() && !side_.lost()) return true;
  failure_ = &side_;
  if (side_.isOpen()) return side_.reconnect();
  std::string ignored;
  return side_.open(uri_, ignored);
}

int PgBrokerStore::findEntry(bool element, const std::string& name, EntryFacts& facts) {
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return -1;
  pg::Result r = conn.run(element ? "SELECT default_actions, exit_library FROM element "
                                    "WHERE name = $1"
                                  : "SELECT 1::bigint, NULL::text FROM client WHERE name = $1",
                          pg::Params().add(name));
  if (!r.ok()) return -1;
  if (r.rows() == 0) return 0;
  facts.defaultActions = static_cast<uint32_t>(r.integer(0, 0));
  facts.exitLibrary = r.isNull(0, 1) ? std::string() : r.text(0, 1);
  return 1;
}

bool PgBrokerStore::attach(int kind, const std::string& name, int64_t& handle) {
  pg::Result r = unit_.run(
      "INSERT INTO connection (name, kind, pid, started, backend) "
      "VALUES ($1, $2, $3, $4, pg_backend_pid()) RETURNING id",
      pg::Params().add(name).add(static_cast<int64_t>(kind)).add(static_cast<int64_t>(getpid()))
          .add(static_cast<int64_t>(time(nullptr))));
  failure_ = &unit_;
  if (!r.ok()) return false;
  handle = row_ = r.integer(0, 0);
  return true;
}

// The last work of a connection, in one round trip, and part of a server's end: the
// registration goes in a commit that does not wait for the disk (a crash of the database
// server that forgot it has ended the session too, and the recovery removes a row whose
// session is gone). An empty unit left open ends in that transaction; any other is rolled
// back first. The sessions end after it without a word more (see sideIfOpen).
bool PgBrokerStore::detach() {
  trc::Scope trace(kTrace);
  if (unit_.lost()) inUnit_ = false;
  if (!_ready(unit_)) return trace.result(false);
  std::vector<pg::Statement> batch;
  if (!inUnit_ || !_holdsNothing()) {
    if (inUnit_) batch.push_back({"ROLLBACK", {}});
    batch.push_back({"BEGIN", {}});
  }
  inUnit_ = false;
  released_.clear();
  batch.push_back({"SELECT set_config('synchronous_commit', 'off', true)", {}});
  batch.push_back({"DELETE FROM connection WHERE id = $1", pg::Params().add(row_)});
  batch.push_back({"COMMIT", {}});
  detached_ = true;
  pg::writeCountsSoon(uri_);
  return trace.result(unit_.runTogether(batch).back().ok());
}

// A unit whose transaction is open and sound, with no message locked: its end loses
// nothing and leaves no trace for the recovery, however it comes.
bool PgBrokerStore::_holdsNothing() const {
  return released_.empty() && !claimed_ && PQtransactionStatus(unit_.raw()) == PQTRANS_INTRANS;
}

// The parent's sessions are the parent's: a child must neither use nor end them.
void PgBrokerStore::abandonInChild() {
  unit_.abandon();
  side_.abandon();
  inUnit_ = false;
}

// An aborted transaction as a message's last locker (pg_statements.h) means a unit that
// took the message ended without its commit or rollback being carried out: its session
// died (or the server restarted) with the message claimed.
#define QLX_PG_ABORTED_LOCK                                                               \
  "FROM message m, " QLX_PG_SNAPSHOT_XMAX " WHERE " QLX_PG_UNIT_XMAX " AND "                \
  "pg_xact_status(" QLX_PG_XMAX8 ") = 'aborted' "
constexpr const char* kAbortedClaims =
    "SELECT m.id, m.queue " QLX_PG_ABORTED_LOCK "ORDER BY m.id DESC FOR UPDATE OF m SKIP LOCKED";

// Raises message $1 when its last lock is still an aborted one (see rollback).
constexpr const char* kRaiseAbortedClaim =
    "UPDATE message SET backout = backout + 1, seq = (SELECT min(seq) FROM message x WHERE "
    "x.queue = message.queue) - 1 WHERE id = (SELECT m.id " QLX_PG_ABORTED_LOCK
    "AND m.id = $1 FOR UPDATE OF m SKIP LOCKED)";

// Claim rows are what brokers of an earlier version wrote for every claim: one whose
// message can be locked now names a unit that ended without commit or rollback.
constexpr const char* kRecordedClaims =
    "SELECT m.id, m.queue FROM claim c JOIN message m ON m.id = c.id "
    "ORDER BY m.id DESC FOR UPDATE OF m, c SKIP LOCKED";

// The live sessions' server processes. Not pg_stat_activity: planning that view's joins
// took milliseconds, and the session's plans are dropped about once a second, as often as
// the sweep below runs.
#define QLX_PG_LIVE_BACKEND(pid)                                                         \
  "EXISTS (SELECT 1 FROM pg_stat_get_backend_idset() s WHERE pg_stat_get_backend_pid(s) = " \
  pid ")"
// Whether a registered connection's session has ended or a claim row is left: the sweep
// below has work only then.
constexpr const char* kAnythingEnded =
    "SELECT EXISTS (SELECT 1 FROM connection c WHERE NOT " QLX_PG_LIVE_BACKEND("c.backend")
    ") OR EXISTS (SELECT 1 FROM claim)";
constexpr const char* kForgetEnded =
    "DELETE FROM connection c WHERE NOT " QLX_PG_LIVE_BACKEND("c.backend");
#undef QLX_PG_LIVE_BACKEND

// The messages of units whose session ended are found once one of their connections has
// gone: the trace of a claim (see kAbortedClaims) costs the cycle nothing, and looking for
// it costs a read of the message table only when a connection ended. They go back to the
// front of their queue with the backout count raised.
int64_t PgBrokerStore::recoverEnded(std::vector<std::string>& returned) {
  trc::Scope trace(kTrace);
  returned.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return trace.result(-1);
  // Nearly always nothing has ended: one look instead of the transaction's five round trips.
  pg::Result anything = conn.run(kAnythingEnded);
  if (!anything.ok()) return trace.result(-1);
  if (anything.rows() == 1 && anything.integer(0, 0) == 0) return trace.result(0);
  int64_t recovered = 0;
  std::vector<std::pair<int64_t, std::string>> dead;
  const bool ok = _inOneTransaction(conn, [&] {
    dead.clear();
    pg::Result gone = conn.run(kForgetEnded);
    if (!gone.ok()) return false;
    for (const char* sql : {kRecordedClaims, kAbortedClaims}) {
      if (sql == kAbortedClaims && gone.changed() == 0) break;
      pg::Result found = conn.run(sql);
      if (!found.ok()) return false;
      for (int i = 0; i < found.rows(); ++i) dead.emplace_back(found.integer(i, 0), found.text(i, 1));
    }
    std::vector<int64_t> ids;
    for (const auto& [id, queue] : dead) {
      ids.push_back(id);
      if (!conn.run("UPDATE message SET backout = backout + 1, seq = (SELECT min(seq) FROM "
                    "message WHERE queue = $2) - 1 WHERE id = $1",
                    pg::Params().add(id).add(queue))
               .ok())
        return false;
    }
    recovered = std::max<int64_t>(gone.changed(), dead.empty() ? 0 : 1);
    return conn.run("DELETE FROM claim c WHERE NOT EXISTS (SELECT 1 FROM message m WHERE "
                    "m.id = c.id) OR c.id = ANY ($1::bigint[])",
                    pg::Params().ids(ids))
        .ok();
  });
  if (ok)
    for (const auto& entry : dead) returned.push_back(entry.second);
  return trace.result(ok ? recovered : -1);
}

std::unique_ptr<QueueWait> PgBrokerStore::makeWait(const std::string& queue) {
  return std::make_unique<pg::PgWait>(*this, queue);
}

int PgBrokerStore::take(const std::string& queue, const Match& match, Take take,
                        MessageRow& row) {
  trc::Scope trace(kTrace);
  const pg::Params params = matchParams(queue, match);
  const bool first = takesFirst(match);
  if (take == Take::kClaim) {
    const char* claim = first ? pg::kClaimFirst : pg::kClaimMatch;
    if (!_ready(unit_)) return trace.result(-1);
    pg::Result r;
    if (inUnit_) {
      r = unit_.run(claim, params);
    } else {
      std::vector<pg::Result> both = unit_.runTogether({{"BEGIN", {}}, {claim, params}});
      inUnit_ = both[0].ok();
      claimed_ = false;
      r = std::move(both[1]);
    }
    if (!r.ok()) return trace.result(-1);
    if (r.rows() == 1) readRow(r, 0, row);
    claimed_ = claimed_ || r.rows() == 1;
    return trace.result(r.rows() == 1 ? 1 : 0);
  }
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return trace.result(-1);
  const char* sql = take == Take::kDelete ? (first ? pg::kRemoveFirst : pg::kRemoveMatch)
                                          : (first ? pg::kBrowseFirst : pg::kBrowseMatch);
  pg::Result r = conn.run(sql, params);
  if (!r.ok()) return trace.result(-1);
  if (r.rows() == 1) readRow(r, 0, row);
  return trace.result(r.rows() == 1 ? 1 : 0);
}
// The unit's row lock is the claim's trace (see recoverEnded): nothing to write.
bool PgBrokerStore::keepClaim(size_t, int64_t) { return true; }

// A row lock cannot be let go alone: the message stays locked (but outside the unit) until
// the unit ends, and is then free without a backout raise (see rollback).
void PgBrokerStore::releaseClaim(int64_t id) { released_.push_back(id); }

bool PgBrokerStore::put(const MessageRow& row) {
  pg::Connection& conn = _outside();
  return _ready(conn) && conn.run(pg::kInsert, insertParams(row)).ok();
}

// The removal refuses (division by zero, SQLSTATE 22012) when a message of the unit is no
// longer there, so that the server aborts the transaction before the COMMIT sent with it.
// The unit looks for waiters of the queues it writes before its puts and wakes those
// that have one after its COMMIT (pg_wait.h): where nobody waits nothing follows it.
int PgBrokerStore::commit(const UnitOfWork& unit) {
  trc::Scope trace(kTrace);
  if (!_ready(unit_)) return trace.result(0);
  const std::vector<int64_t> ids = claimIds(unit);
  std::set<std::string> written;
  for (const MessageRow& row : unit.staged) written.insert(row.queue);
  std::vector<pg::Statement> batch;
  if (!inUnit_) batch.push_back({"BEGIN", {}});
  const size_t looks = batch.size();
  for (const std::string& queue : written)
    batch.push_back({pg::kWaitersOf, pg::Params().add(static_cast<int64_t>(pg::waiterKey(queue)))});
  const size_t removal = batch.size();
  if (ids.size() == 1)
    batch.push_back({pg::kRemoveGotOne, pg::Params().add(ids[0])});
  else if (!ids.empty())
    batch.push_back({pg::kRemoveGot, pg::Params().ids(ids).add(static_cast<int64_t>(ids.size()))});
  for (const MessageRow& row : unit.staged) batch.push_back({pg::kInsert, insertParams(row)});
  const size_t end = batch.size();
  batch.push_back({"COMMIT", {}});
  for (const std::string& queue : written)
    if (waited_.count(queue))
      batch.push_back({pg::kWakeIfWaited,
                       pg::Params().add(queue).add(static_cast<int64_t>(pg::waiterKey(queue)))});
  std::vector<pg::Result> done = unit_.runTogether(batch);
  inUnit_ = inUnit_ || done[0].ok();
  if (done[end].ok()) {
    inUnit_ = false;
    released_.clear();
    unsettled_.clear();
    _wakeWaited(written, done, looks);
    return trace.result(1);
  }
  if (!ids.empty() && done[removal].state() == "22012") {
    // Left aborted and open: the caller's rollback raises the counts of the rest.
    unit_.noteFailure(ENOENT, "a message of the unit is no longer held by it");
    return trace.result(-1);
  }
  _afterFailedEnd(done[end]);
  // A COMMIT that ran and failed (a deferred check) ended the transaction: the claims'
  // locks ended aborted, and the messages are free again but not yet counted.
  if (!inUnit_ && !unit_.lost()) unsettled_ = ids;
  return trace.result(0);
}

// A queue whose look found a waiter and that its COMMIT's batch did not wake is woken in
// a round trip of its own. Either way it is remembered, so that its next commit's wake
// goes with the COMMIT, as a served queue's does at every request. A wake that fails
// loses nothing: the waiter looks again within a second.
void PgBrokerStore::_wakeWaited(const std::set<std::string>& written,
                                const std::vector<pg::Result>& done, size_t looks) {
  std::vector<pg::Statement> wakes;
  size_t look = looks;
  for (const std::string& queue : written) {
    const pg::Result& found = done[look++];
    // A look that gave no answer counts as one that found a waiter.
    const bool waited = !found.ok() || found.rows() != 1 || found.integer(0, 0) != 0;
    if (waited && !waited_.count(queue)) wakes.push_back({pg::kWake, pg::Params().add(queue)});
    if (!waited) {
      waited_.erase(queue);
    } else if (waited_.size() < kMaxWaitedQueues) {
      waited_.insert(queue);
    }
  }
  if (!wakes.empty()) unit_.runTogether(wakes);
}

// Only messages let go after a failed get keep an empty unit's locks: until its
// transaction ends no other unit can take them. Nothing is written, so ending it the
// rollback's way is a commit too, and it relocks them in a committing transaction when a
// failed statement aborted this one (see rollback). A unit that locked nothing keeps its
// transaction for the next get rather than pay a round trip here.
bool PgBrokerStore::endEmptyUnit() {
  trc::Scope trace(kTrace);
  if (!inUnit_ || released_.empty()) return trace.result(true);
  return trace.result(rollback(UnitOfWork{}));
}

// A COMMIT that ran and failed ended the transaction with nothing written; one skipped
// after an earlier failure leaves it open (aborted), and a lost session leaves the unit
// for the caller to roll back.
void PgBrokerStore::_afterFailedEnd(const pg::Result& end) {
  if (!unit_.lost() && !end.skipped()) inUnit_ = false;
}

// The raises and the moves happen in the unit's own transaction, which then commits: the
// messages stay locked until they are back, so nobody takes them with the old count. A
// transaction that a failed statement aborted can do neither: it is rolled back and the
// raises run in a new one sent with the ROLLBACK, on the messages nobody took in between.
bool PgBrokerStore::rollback(const UnitOfWork& unit) {
  trc::Scope trace(kTrace);
  failure_ = &unit_;
  const std::vector<int64_t> released = std::move(released_);
  released_.clear();
  if (!inUnit_ && !unit_.lost() && !unsettled_.empty())
    return trace.result(_settleAborted(claimIds(unit), released));
  unsettled_.clear();
  if (!inUnit_ || unit_.lost()) {
    // The session ended with the unit: its locks are gone and their traces tell the
    // recovery which counts to raise.
    inUnit_ = false;
    return trace.result(true);
  }
  const std::vector<int64_t> ids = claimIds(unit);
  // As after a commit (endEmptyUnit), a unit that locked nothing keeps its transaction for
  // the next get, or for the registration's removal when the connection ends.
  if (ids.empty() && released.empty() && _holdsNothing()) return trace.result(true);
  if (ids.empty() && released.empty()) {
    if (!unit_.exec("ROLLBACK")) return trace.result(false);
    inUnit_ = false;
    return trace.result(true);
  }
  std::vector<pg::Statement> batch;
  const bool aborted = PQtransactionStatus(unit_.raw()) == PQTRANS_INERROR;
  if (aborted) {
    batch.push_back({"ROLLBACK", {}});
    batch.push_back({"BEGIN", {}});
    // The let-go messages' locks just ended aborted: lock them again in the committing
    // transaction, so that their last locker is a committed one.
    if (!released.empty())
      batch.push_back({"SELECT 1 FROM message WHERE id = ANY ($1::bigint[]) FOR UPDATE SKIP "
                       "LOCKED",
                       pg::Params().ids(released)});
  }
  for (auto it = ids.rbegin(); it != ids.rend(); ++it)
    batch.push_back({"UPDATE message SET backout = backout + 1, seq = (SELECT min(seq) FROM "
                     "message m WHERE m.queue = message.queue) - 1 WHERE id = (SELECT id FROM "
                     "message WHERE id = $1 FOR UPDATE SKIP LOCKED)",
                     pg::Params().add(*it)});
  batch.push_back({"DELETE FROM claim WHERE id = ANY ($1::bigint[])", pg::Params().ids(ids)});
  batch.push_back({"COMMIT", {}});
  std::vector<pg::Result> done = unit_.runTogether(batch);
  if (!done.back().ok()) {
    if (!aborted || done[0].ok()) _afterFailedEnd(done.back());
    if (inUnit_) released_ = released;
    return trace.result(false);
  }
  inUnit_ = false;
  return trace.result(true);
}

// The unit's transaction ended at a failed COMMIT, and the session lives: rather than
// leave the raises to the recovery, which runs only once some connection has ended, they
// are made now, each on a message whose last lock is still an aborted one. A message
// another unit took meanwhile, or that a recovery raised first, is thus not counted twice.
// The let-go messages' locks ended aborted too: they are locked again here, so that their
// last locker is a committed one.
bool PgBrokerStore::_settleAborted(const std::vector<int64_t>& ids,
                                   const std::vector<int64_t>& released) {
  std::vector<pg::Statement> batch{{"BEGIN", {}}};
  if (!released.empty())
    batch.push_back({"SELECT 1 FROM message WHERE id = ANY ($1::bigint[]) FOR UPDATE SKIP "
                     "LOCKED",
                     pg::Params().ids(released)});
  for (auto it = ids.rbegin(); it != ids.rend(); ++it)
    batch.push_back({kRaiseAbortedClaim, pg::Params().add(*it)});
  batch.push_back({"COMMIT", {}});
  std::vector<pg::Result> done = unit_.runTogether(batch);
  if (!done.back().ok()) {
    released_ = released;  // for the rollback tried again
    if (!done.back().skipped() || unit_.lost()) return false;
    // A raise failed and left the transaction open: end it, keeping the cause.
    const int code = unit_.errorCode();
    const std::string text = unit_.errorText();
    unit_.exec("ROLLBACK");
    return unit_.noteFailure(code, text);
  }
  unsettled_.clear();
  return true;
}

bool PgBrokerStore::serviceHops(std::string_view service, std::vector<Hop>& hops) {
  hops.clear();
  const bool listening = _listening();
  if (listening) {
    auto kept = keptHops_.find(service);
    if (kept != keptHops_.end()) return hops = kept->second, true;
  }
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return false;
  pg::Result r = conn.run("SELECT type, name FROM hop WHERE service = $1 ORDER BY position",
                          pg::Params().add(service));
  if (!r.ok()) return false;
  for (int i = 0; i < r.rows(); ++i)
    hops.push_back(Hop{static_cast<int32_t>(r.integer(i, 0)), r.text(i, 1)});
  if (listening && listener_ == side_.session() && keptHops_.size() < kMaxKeptServices)
    keptHops_.emplace(std::string(service), hops);
  return true;
}

}  // namespace qlx
