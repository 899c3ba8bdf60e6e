// Listing, resubmitting and purging the entries of the error queues. Each change is one
// database transaction, so an entry is either still on its error queue or on its
// element's queue, never on both and never on neither.
#include "errorqueue.h"

#include "metrics.h"
#include "theme.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

int64_t failedCount(Store& store, std::string& error) {
  store.failureInto(error);
  return -1;
}

// The ids of the selected entries in queue order; false with `error` set on a database
// failure or when the selection finds nothing.
bool selectedIds(Store& store, const ErrorSelection& which, std::vector<int64_t>& ids,
                 std::string& error) {
  ids.clear();
  Query q(store,
          "SELECT id FROM message WHERE queue = ?1 AND (?2 IS NULL OR id = ?2) "
          "ORDER BY seq, id");
  q.bind(1, "error:" + which.element);
  if (which.id)
    q.bind(2, *which.id);
  else
    q.bindNull(2);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) ids.push_back(q.integer(0));
  if (rc != SQLITE_DONE) return store.failureInto(error);
  if (!ids.empty()) return true;
  error = which.id ? "the error queue of " + which.element + " holds no entry " +
                         std::to_string(*which.id)
                   : "the error queue of " + which.element + " is empty";
  return false;
}

bool elementExists(Store& store, const std::string& element, std::string& error) {
  Query q(store, "SELECT 1 FROM element WHERE name = ?1");
  q.bind(1, element);
  const int rc = q.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) return store.failureInto(error);
  error = "no element named " + element + " in the directory: its requests could not be served";
  return false;
}

// A resubmitted request must stand at the element in its workflow, or the element could
// not pass it on: an entry reported without its theme has no workflow to go on with.
bool standsAtElement(const MessageRow& row, const std::string& element, std::string& error) {
  const Theme& theme = row.theme;
  const auto position = static_cast<size_t>(theme.position);
  if (theme.position >= 0 && position < theme.hops.size() &&
      queueOfHop(theme.hops[position]) == "element:" + element)
    return true;
  error = "entry " + std::to_string(row.id) + " has no workflow standing at element " +
          element + "; it cannot be resubmitted (purge it, or take it with get)";
  return false;
}

// An entry that some unit of work holds (taken with a get of its error queue) is that
// unit's to finish: moving it now could make it processed twice.
bool heldByNobody(Store& store, int64_t id, std::string& error) {
  const int held = store.claims().heldByOther(id);
  if (held == 0) return true;
  error = held < 0 ? "cannot check the claims of entry " + std::to_string(id)
                   : "entry " + std::to_string(id) + " is held by a unit of work; try again";
  return false;
}

// Moves one entry within the caller's transaction.
bool moveBack(Store& store, int64_t id, const std::string& element, std::string& error) {
  Query q(store,
          "UPDATE message SET queue = ?2, seq = 0, backout = 0, reason = NULL, "
          "sub_reason = NULL, call_type = NULL, error_text = NULL, default_actions = NULL, "
          "performed_actions = NULL, reporter = NULL WHERE id = ?1 AND queue = ?3");
  q.bind(1, id).bind(2, "element:" + element).bind(3, "error:" + element);
  if (!q.run()) return store.failureInto(error);
  if (sqlite3_changes(store.db()) == 1) return true;
  error = "entry " + std::to_string(id) + " left the error queue meanwhile";
  return false;
}

}  // namespace

bool listErrorEntries(Store& store, const std::string& element, std::vector<MessageRow>& rows,
                      std::string& error) {
  trc::Scope trace(kTrace);
  rows.clear();
  std::vector<int64_t> ids;
  {
    Query q(store,
            "SELECT id FROM message WHERE queue LIKE 'error:%' AND (?1 = '' OR queue = "
            "'error:' || ?1) ORDER BY queue, seq, id");
    q.bind(1, element);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) ids.push_back(q.integer(0));
    if (rc != SQLITE_DONE) return trace.result(store.failureInto(error));
  }
  for (int64_t id : ids) {
    MessageRow row;
    const int found = readMessage(store, id, row);
    if (found < 0) return trace.result(store.failureInto(error));
    if (found == 1) rows.push_back(std::move(row));  // else purged meanwhile
  }
  return trace.result(true);
}

int64_t resubmitErrors(Store& store, const ErrorSelection& which, std::string& error) {
  trc::Scope trace(kTrace);
  Transaction tx(store);
  std::vector<int64_t> ids;
  if (!tx.ok()) return trace.result(failedCount(store, error));
  if (!elementExists(store, which.element, error) || !selectedIds(store, which, ids, error))
    return trace.result(-1);
  for (int64_t id : ids) {
    MessageRow row;
    const int found = readMessage(store, id, row);
    if (found < 0) return trace.result(failedCount(store, error));
    if (!standsAtElement(row, which.element, error) || !heldByNobody(store, id, error) ||
        !moveBack(store, id, which.element, error))
      return trace.result(-1);
  }
  if (!tx.commit()) return trace.result(failedCount(store, error));
  store.notify("element:" + which.element);  // an element waiting for work looks now
  metricsOf(store.home()).add("element:" + which.element, kCountPut, ids.size());
  return trace.result(static_cast<int64_t>(ids.size()));
}

int64_t purgeErrors(Store& store, const ErrorSelection& which, std::string& error) {
  trc::Scope trace(kTrace);
  Transaction tx(store);
  std::vector<int64_t> ids;
  if (!tx.ok()) return trace.result(failedCount(store, error));
  if (!selectedIds(store, which, ids, error)) return trace.result(-1);
  for (int64_t id : ids) {
    if (!heldByNobody(store, id, error)) return trace.result(-1);
  }
  Query q(store, "DELETE FROM message WHERE queue = ?1 AND (?2 IS NULL OR id = ?2)");
  q.bind(1, "error:" + which.element);
  if (which.id)
    q.bind(2, *which.id);
  else
    q.bindNull(2);
  if (!q.run()) return trace.result(failedCount(store, error));
  const int64_t removed = sqlite3_changes(store.db());
  if (!tx.commit()) return trace.result(failedCount(store, error));
  return trace.result(removed);
}

}  // namespace qlx
