// Administration of the broker home.
#include "admin.h"

#include "connection.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

bool storeFailed(Store& store, std::string& error) {
  error = "broker database: " + store.errorText();
  return false;
}

bool exists(Store& store, const char* sql, const std::string& name) {
  Query q(store, sql);
  q.bind(1, name);
  return q.step() == SQLITE_ROW;
}

}  // namespace

bool listQueues(Store& store, std::vector<QueueInfo>& queues, std::string& error) {
  trc::Scope trace(kTrace);
  recoverDeadConnections(store);
  queues.clear();
  Query q(store,
          "SELECT queue, SUM(state = 0), SUM(state = 1), SUM(backout > 0), MAX(backout) "
          "FROM message GROUP BY queue ORDER BY queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    queues.push_back({q.text(0), q.integer(1), q.integer(2), q.integer(3), q.integer(4)});
  return rc == SQLITE_DONE || storeFailed(store, error);
}

std::string resolveQueue(Store& store, const std::string& name, std::string& error) {
  if (name.find(':') != std::string::npos) return name;
  std::vector<std::string> candidates;
  if (exists(store, "SELECT 1 FROM element WHERE name = ?1", name))
    candidates.push_back("element:" + name);
  if (exists(store, "SELECT 1 FROM client WHERE name = ?1", name))
    candidates.push_back("client:" + name);
  if (candidates.empty() &&
      exists(store, "SELECT 1 FROM message WHERE queue = 'native:' || ?1", name))
    candidates.push_back("native:" + name);
  if (candidates.size() == 1) return candidates[0];
  error = candidates.empty()
              ? "no queue named " + name + " (give KIND:NAME, e.g. element:" + name + ")"
              : "the name " + name + " is both an element and a client: give element:" +
                    name + " or client:" + name;
  return std::string();
}

bool browseQueue(Store& store, const std::string& queue, std::vector<BrowsedMessage>& rows,
                 std::string& error) {
  rows.clear();
  std::vector<int64_t> ids;
  std::vector<bool> claimed;
  {
    Query q(store, "SELECT id, state FROM message WHERE queue = ?1 ORDER BY seq, id");
    q.bind(1, queue);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
      ids.push_back(q.integer(0));
      claimed.push_back(q.integer(1) == kClaimed);
    }
    if (rc != SQLITE_DONE) return storeFailed(store, error);
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    BrowsedMessage m;
    if (readMessage(store, ids[i], m.row) != 1) continue;  // taken meanwhile
    m.claimed = claimed[i];
    rows.push_back(std::move(m));
  }
  return true;
}

int takeFirst(Store& store, const std::string& queue, MessageRow& row, std::string& error) {
  int found = takeMessage(store, queue, Match{}, Take::kDelete, 0, row);
  if (found < 0) storeFailed(store, error);
  return found;
}

bool listErrors(Store& store, const std::string& element, std::vector<MessageRow>& rows,
                std::string& error) {
  rows.clear();
  std::vector<int64_t> ids;
  {
    Query q(store,
            "SELECT id FROM message WHERE queue LIKE 'error:%' AND (?1 = '' OR queue = "
            "'error:' || ?1) ORDER BY queue, seq, id");
    q.bind(1, element);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) ids.push_back(q.integer(0));
    if (rc != SQLITE_DONE) return storeFailed(store, error);
  }
  for (int64_t id : ids) {
    MessageRow row;
    if (readMessage(store, id, row) == 1) rows.push_back(std::move(row));
  }
  return true;
}

bool resetRuntime(Store& store, std::string& error) {
  recoverDeadConnections(store);
  Transaction tx(store);
  if (!tx.ok() || !store.exec("DELETE FROM message") || !store.exec("DELETE FROM fault"))
    return storeFailed(store, error);
  if (!tx.commit()) return storeFailed(store, error);
  forgetFaultMarker(store);
  return true;
}

std::string hexText(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace qlx
