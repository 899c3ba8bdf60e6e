// Administration of the broker home.
#include "admin.h"

#include <cerrno>
#include <cstring>

#include "connection.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// Whether `queue` holds messages (a native queue exists only while it does).
bool holdsMessages(BrokerStore& store, const std::string& queue) {
  std::vector<QueueInfo> queues;
  std::string ignored;
  if (!store.listQueues(queues, ignored)) return false;
  for (const QueueInfo& info : queues)
    if (info.queue == queue) return true;
  return false;
}

// The queues of another kind named `name` that hold messages (an entry deleted from the
// directory leaves its queue, and an element's failed requests wait on its error queue),
// in the words of a suggestion; "" when there are none, so that no queue is suggested
// that is not there.
std::string queuesOfName(BrokerStore& store, const std::string& name) {
  std::vector<QueueInfo> queues;
  std::string ignored;
  if (!store.listQueues(queues, ignored)) return "";
  std::string found;
  for (const QueueInfo& info : queues) {
    const size_t colon = info.queue.find(':');
    if (colon == std::string::npos || info.queue.compare(colon + 1, std::string::npos, name) != 0)
      continue;
    found += (found.empty() ? "" : " or ") + info.queue;
  }
  return found;
}

}  // namespace

bool listQueues(BrokerStore& store, std::vector<QueueInfo>& queues, std::string& error) {
  trc::Scope trace(kTrace);
  recoverDeadConnections(store);
  return store.listQueues(queues, error);
}

std::string resolveQueue(BrokerStore& store, const std::string& name, std::string& error) {
  if (name.find(':') != std::string::npos) return name;
  std::vector<std::string> candidates;
  EntryFacts facts;
  if (store.findEntry(true, name, facts) > 0) candidates.push_back("element:" + name);
  if (store.findEntry(false, name, facts) > 0) candidates.push_back("client:" + name);
  if (candidates.empty() && holdsMessages(store, "native:" + name))
    candidates.push_back("native:" + name);
  if (candidates.size() == 1) return candidates[0];
  if (candidates.size() > 1) {
    error = "the name " + name + " is both an element and a client: give element:" + name +
            " or client:" + name;
    return std::string();
  }
  const std::string existing = queuesOfName(store, name);
  error = existing.empty()
              ? "no queue named " + name + ": no element or client " + name +
                    " in the directory and no queue of that name holds messages"
              : "no queue named " + name + " (give KIND:NAME: " + existing +
                    " holds messages)";
  return std::string();
}

bool browseQueue(BrokerStore& store, const std::string& queue, std::vector<BrowsedMessage>& rows,
                 std::string& error) {
  return store.browse(queue, rows, error);
}

int takeFirst(BrokerStore& store, const std::string& queue, MessageRow& row, std::string& error) {
  int found = store.take(queue, Match{}, Take::kDelete, row);
  if (found < 0) store.failureInto(error);
  return found;
}

bool resetRuntime(BrokerStore& store, std::string& error) {
  recoverDeadConnections(store);
  return store.resetRuntime(error);
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
