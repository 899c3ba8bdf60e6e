// The PostgreSQL store's counters: counts gathered in the process under one short lock and
// added to the database by a thread of their own.
#include "pg_metrics.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "pg_connection.h"

namespace qlx::pg {
namespace {

constexpr auto kFlushInterval = std::chrono::seconds(1);
// Rows per upsert: 27 parameters a row stay far below the protocol's 65535.
constexpr size_t kRowsPerUpsert = 500;

constexpr const char* kCountColumns[kCounters] = {"put", "got", "committed", "rolled_back",
                                                  "backout"};
constexpr size_t kValueColumns = kCounters + 1 + kProcessingBuckets;

// The value columns of the counter table: the counts in the order of Counter, the
// processing time, the buckets.
std::string valueColumn(size_t i) {
  if (i < kCounters) return kCountColumns[i];
  if (i == kCounters) return "processing_us";
  return "bucket_" + std::to_string(i - kCounters - 1);
}

std::string columnList(const char* prefix, const char* suffix) {
  std::string list;
  for (size_t i = 0; i < kValueColumns; ++i)
    list += (i ? ", " : "") + std::string(prefix) + valueColumn(i) + suffix;
  return list;
}

std::string addOnConflict() {
  std::string set = " ON CONFLICT (writer, queue) DO UPDATE SET ";
  for (size_t i = 0; i < kValueColumns; ++i)
    set += (i ? ", " : "") + valueColumn(i) + " = counter." + valueColumn(i) + " + EXCLUDED." +
           valueColumn(i);
  return set;
}

// One upsert of `rows` queues into the rows of this session's backend.
std::string upsertSql(size_t rows) {
  std::string sql = "INSERT INTO counter (writer, queue, " + columnList("", "") + ") VALUES ";
  int param = 0;
  for (size_t r = 0; r < rows; ++r) {
    sql += r ? ", (pg_backend_pid()" : "(pg_backend_pid()";
    for (size_t c = 0; c <= kValueColumns; ++c) sql += ", $" + std::to_string(++param);
    sql += ")";
  }
  return sql + addOnConflict();
}

// Rows of backends that are gone are folded into writer 0, so that the table grows with
// the queues rather than with every process that ever counted. Only readers fold, and
// rarely, so writer 0 never becomes a row every cycle waits for.
std::string foldSql() {
  return "WITH gone AS (DELETE FROM counter c WHERE writer <> 0 AND NOT EXISTS (SELECT 1 "
         "FROM pg_stat_activity a WHERE a.pid = c.writer) RETURNING *) "
         "INSERT INTO counter (writer, queue, " + columnList("", "") + ") SELECT 0, queue, " +
         columnList("sum(", ")") + " FROM gone GROUP BY queue" + addOnConflict();
}

std::string sumSql() {
  return "SELECT queue, " + columnList("sum(", ")::bigint") +
         " FROM counter GROUP BY queue ORDER BY queue COLLATE \"C\"";
}

// The address of the counters' session: a fork waits for a write in progress
// (PgMetrics::lockForFork), so an attempt to reach a server that does not answer gives up
// after a while unless the address says otherwise (libpq waits without end by default).
std::string withConnectTimeout(const std::string& uri) {
  if (uri.find("connect_timeout=") != std::string::npos) return uri;
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=10";
}

void merge(QueueCounters& into, const QueueCounters& from) {
  for (size_t i = 0; i < kCounters; ++i) into.counts[i] += from.counts[i];
  for (size_t i = 0; i < kProcessingBuckets; ++i) into.buckets[i] += from.buckets[i];
  into.processingMicros += from.processingMicros;
}

using Pending = std::map<std::string, QueueCounters, std::less<>>;

// What belongs to the flushing: a fork child leaks its parent's (the thread is not there,
// the condition variables may count its waits, the session is the parent's) and starts
// its own.
struct Sink {
  std::mutex db;  // guards the session; taken before PgMetrics::mutex_ when both are
  Connection session;
  std::condition_variable wake;
  std::condition_variable arrived;  // the thread has come out of its start
  bool inLoop = false;              // guarded by PgMetrics::mutex_
  std::thread thread;
};

class PgMetrics final : public Metrics {
 public:
  explicit PgMetrics(const std::string& uri) : uri_(withConnectTimeout(uri)), sink_(new Sink) {}
  PgMetrics(const PgMetrics&) = delete;
  PgMetrics& operator=(const PgMetrics&) = delete;

  void add(std::string_view queue, Counter counter, uint64_t n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (QueueCounters* q = _pending(queue)) q->counts[counter] += n;
  }

  void observe(std::string_view queue, uint64_t micros) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (QueueCounters* q = _pending(queue)) {
      q->buckets[processingBucket(micros)] += 1;
      q->processingMicros += micros;
    }
  }

  bool read(std::vector<QueueCounters>& queues, std::string& error) override;

  void hurry() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || pending_.empty()) return;
    hurry_ = true;
    sink_->wake.notify_all();
  }
  // At exit: the thread ends and what it had not written yet is written.
  void stop();
  // Before fork: waits until the thread is parked outside libpq and its own start, and
  // keeps it there. A child must find no lock held by that thread, which it does not
  // have: neither ours nor one inside libpq, OpenSSL, Kerberos or the allocator that
  // its connecting or writing may hold (the child connects through the same libraries).
  // The cost: a fork waits for a write of the counters in progress.
  void lockForFork();
  void unlockAfterFork();
  // In a fork child (the locks held since lockForFork): the parent's counts are the
  // parent's to write.
  void forgetInChild();

 private:
  QueueCounters* _pending(std::string_view queue);
  void _start();
  void _run(Sink* sink);
  bool _session(Connection& session, std::string& error);
  bool _flush(Connection& session, std::string& error);
  bool _write(Connection& session, Pending& batch);

  const std::string uri_;
  std::mutex mutex_;  // guards what follows
  Pending pending_;
  bool running_ = false;
  bool stopping_ = false;
  bool hurry_ = false;  // write without waiting for the second to pass
  Sink* sink_;  // never freed: the process keeps the counters to its end
  std::vector<Sink*> parents_;  // a fork child's parents' sinks, kept but never used
};

QueueCounters* PgMetrics::_pending(std::string_view queue) {
  if (!running_ && !stopping_) _start();
  auto found = pending_.find(queue);
  if (found != pending_.end()) return &found->second;
  try {
    QueueCounters& q = pending_[std::string(queue)];
    q.queue = std::string(queue);
    return &q;
  } catch (const std::bad_alloc&) {
    return nullptr;  // counting never fails a call
  }
}

// The thread starts with every signal blocked: a signal meant to end a wait of the broker
// must reach the thread that waits.
void PgMetrics::_start() {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    sink_->thread = std::thread(&PgMetrics::_run, this, sink_);
    running_ = true;
  } catch (const std::system_error&) {
    // The counts wait for the exit's write, or for the next count to try again.
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The first write (and the session with it) is made at once rather than a second later:
// a process that ends before then (a server stopped soon after its start, any short-lived
// tool) would otherwise pay for making the session in its exit. The thread is in its loop
// before it takes the session's lock, which a fork holds while it waits for that.
void PgMetrics::_run(Sink* sink) {
  std::unique_lock<std::mutex> lock(mutex_);
  sink->inLoop = true;
  sink->arrived.notify_all();
  bool first = true;
  while (!stopping_) {
    if (!first) sink->wake.wait_for(lock, kFlushInterval, [this] { return stopping_ || hurry_; });
    first = false;
    hurry_ = false;
    lock.unlock();
    {
      std::lock_guard<std::mutex> db(sink->db);
      std::string ignored;  // a database away now is tried again in a second
      if (_session(sink->session, ignored)) _flush(sink->session, ignored);
    }
    lock.lock();
  }
}

void PgMetrics::stop() {
  Sink* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    sink = sink_;
  }
  sink->wake.notify_all();
  if (sink->thread.joinable()) sink->thread.join();
  std::lock_guard<std::mutex> db(sink->db);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return;  // the thread wrote everything: no session to make
  }
  std::string ignored;
  if (_session(sink->session, ignored)) _flush(sink->session, ignored);
}

void PgMetrics::lockForFork() {
  sink_->db.lock();
  std::unique_lock<std::mutex> lock(mutex_);
  sink_->arrived.wait(lock, [this] { return !running_ || sink_->inLoop; });
  lock.release();
}

void PgMetrics::unlockAfterFork() {
  mutex_.unlock();
  sink_->db.unlock();
}

void PgMetrics::forgetInChild() {
  pending_.clear();
  hurry_ = false;
  running_ = false;
  stopping_ = false;
  sink_->db.unlock();
  parents_.push_back(sink_);
  sink_ = new Sink;
  mutex_.unlock();
}

// Counting needs no durable commit: a server crash may forget the last counts, never
// corrupt them.
bool PgMetrics::_session(Connection& session, std::string& error) {
  if (session.isOpen() && !session.lost()) return true;
  const bool ok = session.isOpen() ? session.reconnect() : session.open(uri_, error);
  if (ok && session.exec("SET synchronous_commit = off")) return true;
  error = "cannot reach the counters: " + session.errorText();
  return false;
}

// Writes the pending counts; what could not be written waits for the next time.
bool PgMetrics::_flush(Connection& session, std::string& error) {
  Pending batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(pending_);
  }
  if (_write(session, batch)) return true;
  error = "cannot write the counters: " + session.errorText();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [queue, counts] : batch) {
    auto found = pending_.find(queue);
    if (found == pending_.end())
      pending_.emplace(queue, std::move(counts));
    else
      merge(found->second, counts);
  }
  return false;
}

// Each upsert is written whole or not at all; those written leave `batch`.
bool PgMetrics::_write(Connection& session, Pending& batch) {
  while (!batch.empty()) {
    const size_t rows = std::min(batch.size(), kRowsPerUpsert);
    Params params;
    auto it = batch.begin();
    for (size_t r = 0; r < rows; ++r, ++it) {
      const QueueCounters& q = it->second;
      params.add(q.queue);
      for (uint64_t n : q.counts) params.add(static_cast<int64_t>(n));
      params.add(static_cast<int64_t>(q.processingMicros));
      for (uint64_t n : q.buckets) params.add(static_cast<int64_t>(n));
    }
    // Its preparation and run in one round trip: the last write is part of a process's end.
    if (!session.runTogether({{upsertSql(rows).c_str(), params}})[0].ok()) return false;
    batch.erase(batch.begin(), it);
  }
  return true;
}

bool PgMetrics::read(std::vector<QueueCounters>& queues, std::string& error) {
  queues.clear();
  Sink* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
  }
  std::lock_guard<std::mutex> db(sink->db);
  Connection& session = sink->session;
  if (!_session(session, error) || !_flush(session, error)) return false;
  // Folding is housekeeping: a reader whose role may not write still gets the sums.
  session.run(foldSql().c_str());
  Result sums = session.run(sumSql().c_str());
  if (!sums.ok()) {
    error = "cannot read the counters: " + session.errorText();
    return false;
  }
  for (int row = 0; row < sums.rows(); ++row) {
    QueueCounters q;
    q.queue = sums.text(row, 0);
    for (size_t i = 0; i < kCounters; ++i)
      q.counts[i] = static_cast<uint64_t>(sums.integer(row, 1 + i));
    q.processingMicros = static_cast<uint64_t>(sums.integer(row, 1 + kCounters));
    for (size_t i = 0; i < kProcessingBuckets; ++i)
      q.buckets[i] = static_cast<uint64_t>(sums.integer(row, 2 + kCounters + i));
    queues.push_back(std::move(q));
  }
  return true;
}

// The counters of every database this process counted for, never freed.
std::mutex gRegistryMutex;
std::map<std::string, PgMetrics*>& registry() {
  static auto* all = new std::map<std::string, PgMetrics*>;
  return *all;
}

void stopAll() {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  for (auto& entry : registry()) entry.second->stop();
}

void lockAllForFork() {
  gRegistryMutex.lock();
  for (auto& entry : registry()) entry.second->lockForFork();
}

void unlockAllInParent() {
  for (auto& entry : registry()) entry.second->unlockAfterFork();
  gRegistryMutex.unlock();
}

void forgetAllInChild() {
  for (auto& entry : registry()) entry.second->forgetInChild();
  gRegistryMutex.unlock();
}

}  // namespace

void writeCountsSoon(const std::string& uri) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = registry().find(uri);
  if (found != registry().end()) found->second->hurry();
}

Metrics& countersOf(const std::string& uri) {
  const char* mode = std::getenv("QLX_METRICS");
  if (mode && std::strcmp(mode, "off") == 0) {
    static NoMetrics off("the counters are off (QLX_METRICS=off)");
    return off;
  }
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  auto found = registry().find(uri);
  if (found != registry().end()) return *found->second;
  if (registry().empty()) {
    // Registered after the first database session opened (libpq's own exit handlers
    // then run after this one).
    atexit(stopAll);
    pthread_atfork(lockAllForFork, unlockAllInParent, forgetAllInChild);
  }
  return *registry().emplace(uri, new PgMetrics(uri)).first->second;
}

}  // namespace qlx::pg
