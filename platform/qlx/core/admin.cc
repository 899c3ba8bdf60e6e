// Administration of the broker home.
#include "admin.h"

#include <cerrno>
#include <cstring>

#include "connection.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

bool exists(Store& store, const char* sql, const std::string& name) {
  Query q(store, sql);
  q.bind(1, name);
  return q.step() == SQLITE_ROW;
}

// The ids of the messages that units of work hold now.
bool heldMessages(Store& store, std::vector<int64_t>& held, std::string& error) {
  held.clear();
  Query range(store, "SELECT MIN(id), MAX(id) FROM message");
  if (range.step() != SQLITE_ROW) return store.failureInto(error);
  if (range.isNull(0)) return true;
  if (store.claims().heldIn(range.integer(0), range.integer(1), held)) return true;
  error = std::string("claims file: ") + std::strerror(errno);
  return false;
}

}  // namespace

bool listQueues(Store& store, std::vector<QueueInfo>& queues, std::string& error) {
  trc::Scope trace(kTrace);
  recoverDeadConnections(store);
  queues.clear();
  std::vector<int64_t> held;
  if (!heldMessages(store, held, error)) return false;
  Query q(store,
          "SELECT queue, COUNT(*), SUM(backout > 0), MAX(backout) "
          "FROM message GROUP BY queue ORDER BY queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    queues.push_back({q.text(0), q.integer(1), 0, q.integer(2), q.integer(3)});
  if (rc != SQLITE_DONE) return store.failureInto(error);
  q.reset();
  for (int64_t id : held) {
    Query where(store, "SELECT queue FROM message WHERE id = ?1");
    if (where.bind(1, id).step() != SQLITE_ROW) continue;
    for (QueueInfo& info : queues)
      if (info.queue == where.text(0)) {
        --info.depth;
        ++info.inFlight;
      }
  }
  return true;
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
    Query q(store, "SELECT id FROM message WHERE queue = ?1 ORDER BY seq, id");
    q.bind(1, queue);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
      ids.push_back(q.integer(0));
      claimed.push_back(store.claims().heldByOther(q.integer(0)) == 1);
    }
    if (rc != SQLITE_DONE) return store.failureInto(error);
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
  int found = takeMessage(store, queue, Match{}, Take::kDelete, row);
  if (found < 0) store.failureInto(error);
  return found;
}

bool resetRuntime(Store& store, std::string& error) {
  recoverDeadConnections(store);
  Transaction tx(store);
  if (!tx.ok() || !store.exec("DELETE FROM message") || !store.exec("DELETE FROM fault"))
    return store.failureInto(error);
  if (!tx.commit()) return store.failureInto(error);
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
