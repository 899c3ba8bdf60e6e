// Listing, resubmitting and purging the entries of the error queues. Each change is one
// transaction of the store, so an entry is either still on its error queue or on its
// element's queue, never on both and never on neither.
#include "errorqueue.h"

#include "metrics.h"
#include "theme.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// The selected entries in queue order; false with `error` set on a store failure or when
// the selection finds nothing.
bool selected(BrokerStore& store, const ErrorSelection& which, std::vector<MessageRow>& rows,
              std::string& error) {
  if (!store.errorEntries(which.element, rows, error)) return false;
  if (which.id)
    std::erase_if(rows, [&](const MessageRow& row) { return row.id != *which.id; });
  if (!rows.empty()) return true;
  error = which.id ? "the error queue of " + which.element + " holds no entry " +
                         std::to_string(*which.id)
                   : "the error queue of " + which.element + " is empty";
  return false;
}

bool elementExists(BrokerStore& store, const std::string& element, std::string& error) {
  EntryFacts facts;
  const int found = store.findEntry(true, element, facts);
  if (found > 0) return true;
  if (found < 0) return store.failureInto(error);
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

std::vector<int64_t> idsOf(const std::vector<MessageRow>& rows) {
  std::vector<int64_t> ids;
  for (const MessageRow& row : rows) ids.push_back(row.id);
  return ids;
}

}  // namespace

bool listErrorEntries(BrokerStore& store, const std::string& element,
                      std::vector<MessageRow>& rows, std::string& error) {
  trc::Scope trace(kTrace);
  return trace.result(store.errorEntries(element, rows, error));
}

// The entries are checked before the store moves them; an entry on an error queue never
// changes but by being moved or removed, which the move then refuses.
int64_t resubmitErrors(BrokerStore& store, const ErrorSelection& which, std::string& error) {
  trc::Scope trace(kTrace);
  std::vector<MessageRow> rows;
  if (!elementExists(store, which.element, error) || !selected(store, which, rows, error))
    return trace.result(-1);
  for (const MessageRow& row : rows)
    if (!standsAtElement(row, which.element, error)) return trace.result(-1);
  const int64_t moved = store.settleErrors(which.element, idsOf(rows), false, error);
  if (moved > 0) store.metrics().add("element:" + which.element, kCountPut, moved);
  return trace.result(moved);
}

int64_t purgeErrors(BrokerStore& store, const ErrorSelection& which, std::string& error) {
  trc::Scope trace(kTrace);
  std::vector<MessageRow> rows;
  if (!selected(store, which, rows, error)) return trace.result(-1);
  return trace.result(store.settleErrors(which.element, idsOf(rows), true, error));
}

}  // namespace qlx
