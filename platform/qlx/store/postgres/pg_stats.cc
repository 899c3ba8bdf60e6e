// The PostgreSQL store: its counters and the figures of the operator's view.
#include "pg_broker.h"
#include "pg_metrics.h"

namespace qlx {

// The counts are the process's (pg_metrics.h), chosen when first asked for, so that a store
// opened with QLX_METRICS=off keeps none. The depths, ages and live servers are read from
// the tables instead.
Metrics& PgBrokerStore::metrics() {
  if (!metrics_) metrics_ = &pg::countersOf(uri_);
  return *metrics_;
}

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
  pg::Result r = conn.run(
      "SELECT e.name, count(c.id), min(c.started) FROM element e "
      "LEFT JOIN connection c ON c.name = e.name AND c.kind = 1 "
      "GROUP BY e.name ORDER BY e.name COLLATE \"C\"");
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i)
    elements.push_back({r.text(i, 0), r.integer(i, 1), r.isNull(i, 2) ? 0 : r.integer(i, 2)});
  return true;
}

namespace {

// The queues' figures (kind 0: name, messages, ready ones, backed-out ones, the highest
// backout, the oldest put) and then the elements' (kind 1: name, servers, the first one's
// start), each by name. A message an open unit holds is locked, so the locking read
// skips it: it is counted in flight.
constexpr const char* kViewFigures =
    "SELECT * FROM (SELECT 0 AS kind, m.queue AS name, count(*) AS a, count(f.id) AS b, "
    "count(*) FILTER (WHERE m.backout > 0) AS c, max(m.backout) AS d, min(m.put_sec) AS e "
    "FROM message m LEFT JOIN (SELECT id FROM message FOR SHARE SKIP LOCKED) f "
    "ON f.id = m.id GROUP BY m.queue "
    "UNION ALL SELECT 1, e.name, count(c.id), min(c.started), 0, 0, 0 FROM element e "
    "LEFT JOIN connection c ON c.name = e.name AND c.kind = 1 GROUP BY e.name) v "
    "ORDER BY v.kind, v.name COLLATE \"C\"";

}  // namespace

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
