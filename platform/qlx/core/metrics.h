// The broker's counters: per queue, the requests put, got, committed and rolled back, the
// backouts, and a histogram of the time from a unit's first get to its commit (the
// component's processing time). The calls of the C interface count as they succeed; qlxadm
// stats, health and serve read the counts. Depths, ages and live servers are not counted
// here: they are read from the store when asked, so they never drift.
//
// Metrics is the interface a store provides (BrokerStore::metrics()); the counting points
// below are the store's neighbours' business, so every store counts the same events. The
// embedded store keeps the counts in a file of the broker home that every process maps
// (mapped_metrics.h); a store that keeps none gives a NoMetrics saying so.
#ifndef QLX_METRICS_H
#define QLX_METRICS_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlx {

class BrokerStore;
struct Connection;

enum Counter : unsigned {
  kCountPut,         // messages made visible on the queue (a commit's puts, or unsynced puts)
  kCountGot,         // messages taken off the queue by a connection serving it
  kCountCommitted,   // units of work committed by the queue's connections
  kCountRolledBack,  // units of work rolled back by the queue's connections
  kCountBackout,     // messages returned to the queue by a rollback (or a dead process's)
  kCounters
};

// Upper bounds (microseconds) of the processing-time buckets; one more bucket holds the
// rest.
constexpr std::array<uint64_t, 16> kProcessingBounds = {
    100,    250,    500,     1000,    2500,    5000,    10000,   25000,
    50000,  100000, 250000,  500000,  1000000, 2500000, 5000000, 10000000};
constexpr size_t kProcessingBuckets = kProcessingBounds.size() + 1;

struct QueueCounters {
  std::string queue;
  std::array<uint64_t, kCounters> counts{};
  std::array<uint64_t, kProcessingBuckets> buckets{};  // not cumulative
  uint64_t processingMicros = 0;                       // sum of the observed times
  uint64_t processed() const;                          // sum of the buckets
};

class Metrics {
 public:
  virtual ~Metrics() = default;
  // Adds `n` to a counter of `queue`. Never fails: a count that cannot be kept (no room
  // for another queue) is dropped.
  virtual void add(std::string_view queue, Counter counter, uint64_t n) = 0;
  // Counts one processing time of `queue`'s connection.
  virtual void observe(std::string_view queue, uint64_t micros) = 0;
  // Every queue counted so far, by name. False with `error` set when the counts cannot be
  // read (`error` then says why: counters off, file unusable).
  virtual bool read(std::vector<QueueCounters>& queues, std::string& error) = 0;
};

// Counters that keep nothing: every read fails with the reason given at construction.
class NoMetrics final : public Metrics {
 public:
  explicit NoMetrics(std::string why) : why_(std::move(why)) {}
  void add(std::string_view, Counter, uint64_t) override {}
  void observe(std::string_view, uint64_t) override {}
  bool read(std::vector<QueueCounters>& queues, std::string& error) override;

 private:
  const std::string why_;
};

// Which of the kProcessingBuckets buckets a processing time falls in.
size_t processingBucket(uint64_t micros);

// The counting points of the C interface, each a line at the place that succeeded.
// A get of the connection's queue (starts the processing clock of a unit's first claim).
void countGet(Connection& c);
// A put made visible at once (no unit of work).
void countPut(Connection& c, std::string_view queue);
// A commit of the connection's unit, before the unit is ended: its puts, the commit and
// the processing time.
void countCommit(Connection& c);
// A rollback of the connection's unit, before the unit is ended: every claimed message
// counts as a backout of its queue.
void countRollback(Connection& c);
// Messages of ended processes returned to their queues (one entry per message).
void countRecovered(BrokerStore& store, const std::vector<std::string>& returned);

}  // namespace qlx

#endif  // QLX_METRICS_H
