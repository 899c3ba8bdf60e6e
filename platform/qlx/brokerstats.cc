// The operator's view of the broker: the store's queues and connections beside the counters.
#include "brokerstats.h"

#include <algorithm>
#include <ctime>
#include <map>

#include "admin.h"

namespace qlx {
namespace {

// The queues by name: those holding messages, then those only counted.
void mergeQueues(const std::vector<QueueInfo>& held, std::vector<QueueCounters>& counted,
                 std::map<std::string, QueueStats>& queues) {
  for (const QueueInfo& info : held) {
    QueueStats& q = queues[info.queue];
    q.queue = info.queue;
    q.depth = info.depth;
    q.inFlight = info.inFlight;
    q.maxBackout = info.maxBackout;
  }
  for (QueueCounters& c : counted) {
    QueueStats& q = queues[c.queue];
    q.queue = c.queue;
    q.counters = std::move(c);
  }
}

bool readOldest(Store& store, std::map<std::string, QueueStats>& queues) {
  Query q(store, "SELECT queue, MIN(put_sec) FROM message GROUP BY queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    auto found = queues.find(q.text(0));
    if (found != queues.end()) found->second.oldestPut = q.integer(1);
  }
  return rc == SQLITE_DONE;
}

// Every element of the directory with its live connections (ended ones were forgotten by
// the recovery that listQueues ran).
bool readServers(Store& store, std::vector<ServerStats>& elements) {
  Query q(store,
          "SELECT e.name, COUNT(c.id), MIN(c.started) FROM element e "
          "LEFT JOIN connection c ON c.name = e.name AND c.kind = 1 "
          "GROUP BY e.name ORDER BY e.name");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    elements.push_back({q.text(0), q.integer(1), q.isNull(2) ? 0 : q.integer(2)});
  return rc == SQLITE_DONE;
}

}  // namespace

bool collectStats(Store& store, BrokerStats& stats, std::string& error) {
  stats = BrokerStats{};
  stats.takenAt = static_cast<int64_t>(time(nullptr));
  std::vector<QueueInfo> held;
  if (!listQueues(store, held, error)) return false;
  std::vector<QueueCounters> counted;
  if (!metricsOf(store.home()).read(counted, stats.countersNote)) counted.clear();
  std::map<std::string, QueueStats> queues;
  mergeQueues(held, counted, queues);
  if (!readOldest(store, queues) || !readServers(store, stats.elements))
    return store.failureInto(error);
  for (auto& entry : queues) stats.queues.push_back(std::move(entry.second));
  return true;
}

std::string healthProblem(const BrokerStats& stats, int64_t maxAge) {
  for (const ServerStats& e : stats.elements) {
    if (e.servers > 0) continue;
    for (const QueueStats& q : stats.queues)
      if (q.queue == "element:" + e.element && q.depth > 0)
        return "element " + e.element + " has " + std::to_string(q.depth) +
               " request(s) waiting and no live server";
  }
  for (const QueueStats& q : stats.queues) {
    if (q.oldestPut == 0 || q.queue.rfind("error:", 0) == 0) continue;
    const int64_t age = stats.takenAt - q.oldestPut;
    if (age > maxAge)
      return "the oldest message on " + q.queue + " is " + std::to_string(age) +
             " s old (limit " + std::to_string(maxAge) + " s)";
  }
  return std::string();
}

}  // namespace qlx
