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

}  // namespace qlx
