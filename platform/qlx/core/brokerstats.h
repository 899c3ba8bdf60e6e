// What an operator sees of a running broker at one moment: each queue's depth, messages in
// flight and oldest message read from the store, beside its counters (metrics.h), and which
// elements have live servers. qlxadm stats, health and serve show it; health() judges it.
#ifndef QLX_BROKERSTATS_H
#define QLX_BROKERSTATS_H

#include <cstdint>
#include <string>
#include <vector>

#include "broker_store.h"
#include "metrics.h"

namespace qlx {

struct QueueStats {
  std::string queue;  // "element:E", "client:C", "native:N" or "error:E"
  int64_t depth = 0;     // ready messages
  int64_t inFlight = 0;  // claimed by an open unit of work
  int64_t maxBackout = 0;
  int64_t oldestPut = 0;  // put time (seconds since the epoch) of the oldest message; 0: none
  QueueCounters counters;  // zero when nothing was counted
};

struct BrokerStats {
  int64_t takenAt = 0;  // seconds since the epoch
  std::vector<QueueStats> queues;  // every queue holding messages or counted, by name
  std::vector<ServerStats> elements;  // every element of the directory, by name
  std::string countersNote;  // why the counters are missing; empty when they are kept
};

// Reads the store (after rolling back the units of ended processes) and the counters.
// False with `error` set when the store cannot be read; missing counters are only noted.
bool collectStats(BrokerStore& store, BrokerStats& stats, std::string& error);

// Why the broker is not healthy, in one line; empty when it is: every element with
// requests waiting has a live server, and no queue but an error queue holds a message put
// more than `maxAge` seconds before the stats were taken. Error queues keep their entries
// until an operator acts, so their age says nothing about the flow.
std::string healthProblem(const BrokerStats& stats, int64_t maxAge);

}  // namespace qlx

#endif  // QLX_BROKERSTATS_H
