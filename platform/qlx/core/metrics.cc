// The counting points of the C interface: what each successful call adds to the counters
// of the store it runs on.
#include "metrics.h"

#include <time.h>

#include "broker_store.h"
#include "connection.h"

namespace qlx {
namespace {

uint64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

uint64_t QueueCounters::processed() const {
  uint64_t sum = 0;
  for (uint64_t n : buckets) sum += n;
  return sum;
}

size_t processingBucket(uint64_t micros) {
  size_t i = 0;
  while (i < kProcessingBounds.size() && micros > kProcessingBounds[i]) ++i;
  return i;
}

bool NoMetrics::read(std::vector<QueueCounters>& queues, std::string& error) {
  queues.clear();
  error = why_;
  return false;
}

void countGet(Connection& c) {
  c.store->metrics().add(c.queue, kCountGot, 1);
  if (c.work.claims.size() == 1 && c.work.startedMicros == 0)
    c.work.startedMicros = monotonicMicros();
}

void countPut(Connection& c, std::string_view queue) {
  c.store->metrics().add(queue, kCountPut, 1);
}

void countCommit(Connection& c) {
  if (c.work.empty()) return;
  Metrics& metrics = c.store->metrics();
  for (const MessageRow& row : c.work.staged) metrics.add(row.queue, kCountPut, 1);
  metrics.add(c.queue, kCountCommitted, 1);
  if (c.work.startedMicros != 0) metrics.observe(c.queue, monotonicMicros() - c.work.startedMicros);
}

void countRollback(Connection& c) {
  if (c.work.empty()) return;
  Metrics& metrics = c.store->metrics();
  metrics.add(c.queue, kCountRolledBack, 1);
  for (const Claim& claim : c.work.claims) metrics.add(claim.queue, kCountBackout, 1);
}

void countRecovered(BrokerStore& store, const std::vector<std::string>& returned) {
  if (returned.empty()) return;
  Metrics& metrics = store.metrics();
  for (const std::string& queue : returned) metrics.add(queue, kCountBackout, 1);
}

}  // namespace qlx
