// The operator's view of the broker: the store's queues and connections beside the counters.
#include "brokerstats.h"

#include <sys/time.h>

#include <algorithm>
#include <map>

#include "admin.h"
#include "connection.h"

namespace qlx {
namespace {

// The clock the put times are stamped with (queue.cc). time() reads a coarser copy that
// lags it by up to a scheduler tick at each second's start, so a message put in that tick
// would seem put a second after the stats were taken (an age of -1, or 99 for 100).
int64_t nowSeconds() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec);
}

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

}  // namespace

bool collectStats(BrokerStore& store, BrokerStats& stats, std::string& error) {
  stats = BrokerStats{};
  stats.takenAt = nowSeconds();
  std::vector<QueueInfo> held;
  std::map<std::string, int64_t> oldest;
  recoverDeadConnections(store);
  if (!store.viewFigures(held, oldest, stats.elements, error)) return false;
  std::vector<QueueCounters> counted;
  if (!store.metrics().read(counted, stats.countersNote)) counted.clear();
  std::map<std::string, QueueStats> queues;
  mergeQueues(held, counted, queues);
  for (const auto& [queue, putSec] : oldest) {
    auto found = queues.find(queue);
    if (found != queues.end()) found->second.oldestPut = putSec;
  }
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
