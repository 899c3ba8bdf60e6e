// Message rows of the SQLite store: take, insert, commit and rollback. A claim is a lock
// in the home's claims file (claims.h); the row changes only at commit or rollback.
#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "trc.h"

namespace qlx::sqlite {
namespace {

static trc::Module kTrace{"qlx"};

#define QLX_MESSAGE_COLUMNS                                                               \
  "id, queue, backout, msg_type, priority, persistence, format, feedback, expiry, "      \
  "code_page, encoding, msg_id, correl_id, format_name, put_sec, put_ms, theme_id, "     \
  "origin, service, hops, position, body, tag, reason, sub_reason, call_type, "          \
  "error_text, default_actions, performed_actions, reporter"

constexpr const char* kInsert =
    "INSERT INTO message (queue, backout, msg_type, priority, persistence, format, "
    "feedback, expiry, code_page, encoding, msg_id, correl_id, format_name, put_sec, "
    "put_ms, theme_id, origin, service, hops, position, body, tag, reason, sub_reason, "
    "call_type, error_text, default_actions, performed_actions, reporter) VALUES "
    "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, "
    "?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26, ?27, ?28, ?29)";

int32_t int32At(const Query& q, int column) { return static_cast<int32_t>(q.integer(column)); }

void readTheme(const Query& q, Theme& theme) {
  std::string id = q.blob(16);
  std::memcpy(theme.id.data(), id.data(), std::min(id.size(), theme.id.size()));
  theme.origin = q.text(17);
  theme.service = q.text(18);
  decodeHops(q.blob(19), theme.hops);
  theme.position = int32At(q, 20);
}

void readError(const Query& q, MessageRow& row) {
  if (q.isNull(23)) return;
  ErrorInfo info;
  info.reason = int32At(q, 23);
  info.subReason = int32At(q, 24);
  info.callType = int32At(q, 25);
  info.text = q.text(26);
  info.defaultActions = static_cast<uint32_t>(q.integer(27));
  info.performedActions = static_cast<uint32_t>(q.integer(28));
  info.reporter = q.text(29);
  row.error = std::move(info);
}

void readRow(const Query& q, MessageRow& row) {
  row = MessageRow{};
  row.id = q.integer(0);
  row.queue = q.text(1);
  row.backout = q.integer(2);
  int32_t* fields[] = {&row.msgType, &row.priority, &row.persistence, &row.format,
                       &row.feedback, &row.expiry,  &row.codePage,    &row.encoding};
  for (int i = 0; i < 8; ++i) *fields[i] = int32At(q, 3 + i);
  row.msgId = q.blob(11);
  row.correlId = q.blob(12);
  row.formatName = q.blob(13);
  row.putSec = q.integer(14);
  row.putMillis = q.integer(15);
  readTheme(q, row.theme);
  row.body = q.blob(21);
  row.tag = q.blob(22);
  readError(q, row);
}

void bindError(Query& q, const std::optional<ErrorInfo>& error) {
  if (!error) {
    for (int i = 23; i <= 29; ++i) q.bindNull(i);
    return;
  }
  q.bind(23, error->reason).bind(24, error->subReason).bind(25, error->callType);
  q.bind(26, error->text).bind(27, error->defaultActions).bind(28, error->performedActions);
  q.bind(29, error->reporter);
}

constexpr size_t kCandidates = 8;

// The next candidates of a get after (afterSeq, afterId) in delivery order.
std::string candidateSql(const Match& match) {
  std::string sql = "SELECT id, seq FROM message WHERE queue = ?1 AND (seq, id) > (?5, ?6)";
  if (match.msgId) sql += " AND msg_id = ?2";
  if (match.correlId) sql += " AND correl_id = ?3";
  if (match.themeId) sql += " AND theme_id = ?4";
  return sql + " ORDER BY seq, id LIMIT ?7";
}

bool candidates(Store& store, const std::string& queue, const Match& match,
                std::pair<int64_t, int64_t> after, size_t limit,
                std::vector<std::pair<int64_t, int64_t>>& found) {
  found.clear();
  const std::string sql = candidateSql(match);
  Query q(store, sql.c_str());
  if (!q.ok()) return false;
  q.bind(1, queue).bind(5, after.second).bind(6, after.first);
  q.bind(7, static_cast<int64_t>(limit));
  if (match.msgId) q.bindBlob(2, match.msgId, kQlxMsgIdLength);
  if (match.correlId) q.bindBlob(3, match.correlId, kQlxMsgIdLength);
  if (match.themeId) q.bindBlob(4, match.themeId, kQlxMsgIdLength);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) found.emplace_back(q.integer(0), q.integer(1));
  return rc == SQLITE_DONE;
}

bool claimFailed(Store& store) {
  return store.noteFailure(SQLITE_IOERR, std::string("claims file: ") + std::strerror(errno));
}

int deleteTaken(Store& store, int64_t id) {
  Transaction tx(store);
  if (!tx.ok()) return -1;
  Query drop(store, "DELETE FROM message WHERE id = ?1");
  if (!drop.bind(1, id).run()) return -1;
  if (drop.changes() != 1) return 0;
  drop.reset();
  return tx.commit() ? 1 : -1;
}

// The ids the getting unit holds, sorted for lookup.
std::vector<int64_t> heldIds(const Match& match) {
  std::vector<int64_t> ids;
  if (match.held)
    for (const Claim& claim : *match.held) ids.push_back(claim.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The read transaction of a claim: the candidates and the row of the message locked come
// from one snapshot, which saves a get the second transaction's start and end (two lock
// calls on the log's shared index, a look at the log's header, and with other consumers
// committing meanwhile a dropped page cache). A row read in the snapshot is only used while
// no broker connection ended a write since just before the snapshot began: a unit that
// held the message commits (or gives it back) and raises that count before it lets the
// claim go, so a message locked after its holder let go is read again, in a transaction
// of its own, and then seen gone or changed. Without the count (no control page) every
// row is read that way.
class ClaimSnapshot {
 public:
  ClaimSnapshot(Store& store, bool wanted) : store_(store) {
    if (!wanted) return;
    writes_ = store.writesEnded();
    if (!writes_) return;
    Query begin(store, "BEGIN");
    open_ = begin.run();
  }
  ~ClaimSnapshot() { end(); }
  ClaimSnapshot(const ClaimSnapshot&) = delete;
  ClaimSnapshot& operator=(const ClaimSnapshot&) = delete;

  // Whether rows read now in the snapshot are as current as a new transaction's for a
  // message locked before the call. Ends the snapshot when not.
  bool current() {
    if (open_ && store_.writesEnded() == writes_) return true;
    end();
    return false;
  }

 private:
  void end() {
    if (!open_) return;
    Query commit(store_, "COMMIT");
    open_ = !commit.run();
    if (open_) {  // a read transaction that cannot end: roll it back, never keep it open
      Query rollback(store_, "ROLLBACK");
      rollback.run();
      open_ = false;
    }
  }

  Store& store_;
  std::optional<uint32_t> writes_;
  bool open_ = false;
};

// One candidate: 1 taken (or read, for a browse), 0 held by someone or gone, -1 failure.
int takeCandidate(Store& store, const std::string& queue, int64_t id, Take take,
                  ClaimSnapshot& snapshot, MessageRow& row) {
  if (take == Take::kBrowse) {
    const int held = store.claims().heldByOther(id);
    if (held != 0) return held < 0 ? (claimFailed(store), -1) : 0;
    const int found = readMessage(store, id, row);
    return found == 1 && row.queue != queue ? 0 : found;
  }
  const int locked = store.claims().tryLock(id);
  if (locked <= 0) return locked < 0 ? (claimFailed(store), -1) : 0;
  snapshot.current();  // ends it unless its rows still hold
  int found = readMessage(store, id, row);
  if (found == 1 && row.queue != queue) found = 0;
  if (found == 1 && take == Take::kDelete) found = deleteTaken(store, id);
  if (found != 1 || take == Take::kDelete) store.claims().unlock(id);
  return found;
}

}  // namespace

int takeMessage(Store& store, const std::string& queue, const Match& match, Take take,
                MessageRow& row) {
  trc::Scope trace(kTrace);
  std::pair<int64_t, int64_t> after{0, INT64_MIN};  // (id, seq) of the last candidate
  std::vector<std::pair<int64_t, int64_t>> batch;
  // A unit that takes many messages finds its own still on the queue: read past them.
  const std::vector<int64_t> held = heldIds(match);
  const size_t limit = kCandidates + held.size();
  // A delete writes in a transaction of its own, and a browse locks nothing.
  ClaimSnapshot snapshot(store, take == Take::kClaim);
  for (;;) {
    if (!candidates(store, queue, match, after, limit, batch)) return trace.result(-1);
    for (const auto& [id, seq] : batch)
      if (!std::binary_search(held.begin(), held.end(), id))
        if (int taken = takeCandidate(store, queue, id, take, snapshot, row))
          return trace.result(taken);
    if (batch.size() < limit) return trace.result(0);
    after = batch.back();
  }
}

int readMessage(Store& store, int64_t id, MessageRow& row) {
  Query q(store, "SELECT " QLX_MESSAGE_COLUMNS " FROM message WHERE id = ?1");
  q.bind(1, id);
  int rc = q.step();
  if (rc == SQLITE_ROW) readRow(q, row);
  return rc == SQLITE_ROW ? 1 : (rc == SQLITE_DONE ? 0 : -1);
}

bool insertMessage(Store& store, const MessageRow& row) {
  Query q(store, kInsert);
  q.bind(1, row.queue).bind(2, row.backout);
  const int32_t fields[] = {row.msgType, row.priority, row.persistence, row.format,
                            row.feedback, row.expiry,  row.codePage,    row.encoding};
  for (int i = 0; i < 8; ++i) q.bind(3 + i, fields[i]);
  q.bindBlob(11, row.msgId.data(), row.msgId.size());
  q.bindBlob(12, row.correlId.data(), row.correlId.size());
  q.bindBlob(13, row.formatName.data(), row.formatName.size());
  q.bind(14, row.putSec).bind(15, row.putMillis);
  q.bindBlob(16, row.theme.id.data(), row.theme.id.size());
  q.bind(17, row.theme.origin).bind(18, row.theme.service);
  const std::string hops = encodeHops(row.theme.hops);
  q.bindBlob(19, hops.data(), hops.size());
  q.bind(20, row.theme.position);
  q.bindBlob(21, row.body.data(), row.body.size());
  q.bindBlob(22, row.tag.data(), row.tag.size());
  bindError(q, row.error);
  return q.run();
}

int commitUnit(Store& store, const UnitOfWork& unit) {
  trc::Scope trace(kTrace);
  Transaction tx(store);
  if (!tx.ok()) return trace.result(0);
  for (const Claim& claim : unit.claims) {
    Query drop(store, "DELETE FROM message WHERE id = ?1");
    if (!drop.bind(1, claim.id).run()) return trace.result(0);
    if (drop.changes() != 1) {
      store.noteFailure(SQLITE_NOTFOUND, "message " + std::to_string(claim.id) + " of queue " +
                                             claim.queue + " is no longer held by this unit");
      return trace.result(-1);
    }
  }
  for (const MessageRow& row : unit.staged)
    if (!insertMessage(store, row)) return trace.result(0);
  return trace.result(tx.commit() ? 1 : 0);
}

bool returnClaims(Store& store, const std::vector<int64_t>& ids, bool inTransaction,
                  std::vector<std::string>& queues) {
  trc::Scope trace(kTrace);
  std::optional<Transaction> tx;
  if (!inTransaction && !tx.emplace(store).ok()) return trace.result(false);
  // Last claimed first, each in front of its queue: the claims keep their order.
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
    std::string queue;
    {
      Query find(store, "SELECT queue FROM message WHERE id = ?1");
      const int rc = find.bind(1, *it).step();
      if (rc == SQLITE_DONE) continue;  // committed, or removed by an operator
      if (rc != SQLITE_ROW) return trace.result(false);
      queue = find.text(0);
    }
    Query back(store,
               "UPDATE message SET backout = backout + 1, seq = "
               "(SELECT MIN(seq) FROM message WHERE queue = ?2) - 1 WHERE id = ?1");
    if (!back.bind(1, *it).bind(2, queue).run()) return trace.result(false);
    queues.push_back(std::move(queue));
  }
  return trace.result(tx ? tx->commit() : true);
}

void notifyQueues(Store& store, const std::vector<std::string>& queues) {
  std::vector<std::string> done;
  for (const std::string& queue : queues) {
    if (std::find(done.begin(), done.end(), queue) != done.end()) continue;
    store.notify(queue);
    done.push_back(queue);
  }
}

}  // namespace qlx::sqlite
