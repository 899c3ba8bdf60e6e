// Message rows: take, insert, commit and rollback.
#include "queue.h"

#include <sys/time.h>

#include <cstring>

#include "store.h"
#include "trc.h"

namespace qlx {
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

// The select of a get, for one combination of match fields (cached per combination).
std::string selectSql(const Match& match) {
  std::string sql = "SELECT " QLX_MESSAGE_COLUMNS
                    " FROM message WHERE queue = ?1 AND state = 0";
  if (match.msgId) sql += " AND msg_id = ?2";
  if (match.correlId) sql += " AND correl_id = ?3";
  if (match.themeId) sql += " AND theme_id = ?4";
  return sql + " ORDER BY seq, id LIMIT 1";
}

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

bool selectCandidate(Store& store, const std::string& queue, const Match& match,
                     MessageRow& row, int& found) {
  const std::string sql = selectSql(match);
  Query q(store, sql.c_str());
  if (!q.ok()) return false;
  q.bind(1, queue);
  if (match.msgId) q.bindBlob(2, match.msgId, kQlxMsgIdLength);
  if (match.correlId) q.bindBlob(3, match.correlId, kQlxMsgIdLength);
  if (match.themeId) q.bindBlob(4, match.themeId, kQlxMsgIdLength);
  int rc = q.step();
  if (rc == SQLITE_ROW) readRow(q, row);
  found = rc == SQLITE_ROW;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

}  // namespace

void stampNow(MessageRow& row) {
  timeval now{};
  gettimeofday(&now, nullptr);
  row.putSec = now.tv_sec;
  row.putMillis = now.tv_usec / 1000;
}

void takeDescriptorFields(const QLXMSG& msg, MessageRow& row) {
  row.msgType = msg.MsgType;
  row.priority = msg.Priority;
  row.persistence = msg.Persistence;
  row.format = msg.Format;
  row.feedback = msg.Feedback;
  row.expiry = msg.Expiry;
  row.codePage = msg.CodePage;
  row.encoding = msg.Encoding;
  row.formatName.assign(msg.FormatName, strnlen(msg.FormatName, sizeof msg.FormatName));
}

int takeMessage(Store& store, const std::string& queue, const Match& match, Take take,
                int64_t owner, MessageRow& row) {
  trc::Scope trace(kTrace);
  int found = 0;
  if (take == Take::kBrowse)
    return trace.result(selectCandidate(store, queue, match, row, found) ? found : -1);
  // A claim needs no sync of its own: lost in a crash, the message is simply unclaimed.
  store.relaxSync(take == Take::kClaim);
  Transaction tx(store);
  if (!tx.ok() || !selectCandidate(store, queue, match, row, found)) return trace.result(-1);
  if (!found) return trace.result(0);
  if (take == Take::kClaim) {
    Query claim(store, "UPDATE message SET state = 1, owner = ?2 WHERE id = ?1");
    if (!claim.bind(1, row.id).bind(2, owner).run()) return trace.result(-1);
  } else {
    Query drop(store, "DELETE FROM message WHERE id = ?1");
    if (!drop.bind(1, row.id).run()) return trace.result(-1);
  }
  return trace.result(tx.commit() ? 1 : -1);
}

int readMessage(Store& store, int64_t id, MessageRow& row) {
  Query q(store, "SELECT " QLX_MESSAGE_COLUMNS " FROM message WHERE id = ?1");
  q.bind(1, id);
  int rc = q.step();
  if (rc == SQLITE_ROW) readRow(q, row);
  return rc == SQLITE_ROW ? 1 : (rc == SQLITE_DONE ? 0 : -1);
}

bool insertMessage(Store& store, const MessageRow& row) {
  store.relaxSync(false);
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

bool commitUnit(Store& store, int64_t owner, const std::vector<MessageRow>& staged) {
  trc::Scope trace(kTrace);
  store.relaxSync(false);
  Transaction tx(store);
  if (!tx.ok()) return trace.result(false);
  Query drop(store, "DELETE FROM message WHERE owner = ?1 AND state = 1");
  if (!drop.bind(1, owner).run()) return trace.result(false);
  for (const MessageRow& row : staged)
    if (!insertMessage(store, row)) return trace.result(false);
  return trace.result(tx.commit());
}

bool rollbackClaims(Store& store, int64_t owner, bool inTransaction) {
  trc::Scope trace(kTrace);
  std::optional<Transaction> tx;
  if (!inTransaction) store.relaxSync(false);
  if (!inTransaction && !tx.emplace(store).ok()) return trace.result(false);
  std::vector<std::pair<int64_t, std::string>> claimed;
  {
    Query list(store,
               "SELECT id, queue FROM message WHERE owner = ?1 AND state = 1 "
               "ORDER BY seq DESC, id DESC");
    list.bind(1, owner);
    int rc;
    while ((rc = list.step()) == SQLITE_ROW) claimed.emplace_back(list.integer(0), list.text(1));
    if (rc != SQLITE_DONE) return trace.result(false);
  }
  // Last claimed first, each in front of the queue: the claims keep their order.
  for (const auto& [id, queue] : claimed) {
    Query back(store,
               "UPDATE message SET state = 0, owner = NULL, backout = backout + 1, seq = "
               "(SELECT MIN(seq) FROM message WHERE queue = ?2) - 1 WHERE id = ?1");
    if (!back.bind(1, id).bind(2, queue).run()) return trace.result(false);
  }
  return trace.result(tx ? tx->commit() : true);
}

}  // namespace qlx
