// The PostgreSQL store: its counters and the figures of the operator's view.
#include "pg_broker.h"
#include "pg_metrics.h"
#include "pg_statements.h"

namespace qlx {

// The counts are the process's (pg_metrics.h), chosen when first asked for, so that a store
// opened with QLX_METRICS=off keeps none. The depths, ages and live servers are read from
// the tables instead.
Metrics& PgBrokerStore::metrics() {
  if (!metrics_) metrics_ = &pg::countersOf(uri_);
  return *metrics_;
}

namespace {

// The figures of each queue: name, messages, ready ones (a message an open unit holds is
// counted in flight, QLX_PG_HELD), backed-out ones and the highest backout. They are one
// statement, so they see one moment of a busy broker: a message put or taken in between
// cannot make a queue's counts disagree (a negative in-flight count).
#define QLX_PG_QUEUE_FIGURES                                                                 \
  "m.queue, count(*), count(*) FILTER (WHERE NOT " QLX_PG_HELD "), "                         \
  "count(*) FILTER (WHERE m.backout > 0), max(m.backout)"
#define QLX_PG_QUEUE_FIGURES_FROM \
  " FROM message m, " QLX_PG_SNAPSHOT_XMAX " GROUP BY m.queue"
// The live servers of each element: name, how many, the first one's start.
#define QLX_PG_ELEMENT_SERVERS "e.name, count(c.id), min(c.started)"
#define QLX_PG_ELEMENT_SERVERS_FROM                                                          \
  " FROM element e LEFT JOIN connection c ON c.name = e.name AND c.kind = 1 GROUP BY e.name"

constexpr const char* kListQueues =
    "SELECT " QLX_PG_QUEUE_FIGURES QLX_PG_QUEUE_FIGURES_FROM " ORDER BY m.queue COLLATE \"C\"";

constexpr const char* kElementServers = "SELECT " QLX_PG_ELEMENT_SERVERS
    QLX_PG_ELEMENT_SERVERS_FROM " ORDER BY e.name COLLATE \"C\"";

// Both in one statement, one snapshot: the queues (kind 0, with the oldest put last) and
// then the elements (kind 1), each by name.
constexpr const char* kViewFigures =
    "SELECT * FROM (SELECT 0 AS kind, " QLX_PG_QUEUE_FIGURES ", min(m.put_sec)"
    QLX_PG_QUEUE_FIGURES_FROM " UNION ALL SELECT 1, " QLX_PG_ELEMENT_SERVERS ", 0, 0, 0"
    QLX_PG_ELEMENT_SERVERS_FROM ") v ORDER BY v.kind, v.queue COLLATE \"C\"";

}  // namespace

bool PgBrokerStore::oldestMessages(std::map<std::string, int64_t>& oldest, std::string& error) {
  oldest.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run("SELECT queue, min(put_sec) FROM message GROUP BY queue");
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i) oldest[r.text(i, 0)] = r.isNull(i, 1) ? 0 : r.integer(i, 1);
  return true;
}

bool PgBrokerStore::elementServers(std::vector<ServerStats>& elements, std::string& error) {
  elements.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run(kElementServers);
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i)
    elements.push_back({r.text(i, 0), r.integer(i, 1), r.isNull(i, 2) ? 0 : r.integer(i, 2)});
  return true;
}

bool PgBrokerStore::listQueues(std::vector<QueueInfo>& queues, std::string& error) {
  queues.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run(kListQueues);
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i) {
    const int64_t ready = r.integer(i, 2);
    queues.push_back({r.text(i, 0), ready, r.integer(i, 1) - ready, r.integer(i, 3),
                      r.integer(i, 4)});
  }
  return true;
}

bool PgBrokerStore::viewFigures(std::vector<QueueInfo>& queues,
                                std::map<std::string, int64_t>& oldest,
                                std::vector<ServerStats>& elements, std::string& error) {
  queues.clear();
  oldest.clear();
  elements.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run(kViewFigures);
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i) {
    const std::string name = r.text(i, 1);
    if (r.integer(i, 0) == 1) {
      elements.push_back({name, r.integer(i, 2), r.isNull(i, 3) ? 0 : r.integer(i, 3)});
      continue;
    }
    const int64_t ready = r.integer(i, 3);
    queues.push_back({name, ready, r.integer(i, 2) - ready, r.integer(i, 4), r.integer(i, 5)});
    oldest[name] = r.isNull(i, 6) ? 0 : r.integer(i, 6);
  }
  return true;
}

}  // namespace qlx
