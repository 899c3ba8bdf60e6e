// The embedded store: its counters and the figures of the operator's view.
#include "mapped_metrics.h"
#include "sqlite_broker.h"

namespace qlx {

Metrics& SqliteBrokerStore::metrics() { return metricsOf(store_.home()); }

bool SqliteBrokerStore::oldestMessages(std::map<std::string, int64_t>& oldest,
                                       std::string& error) {
  oldest.clear();
  Query q(store_, "SELECT queue, MIN(put_sec) FROM message GROUP BY queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) oldest[q.text(0)] = q.integer(1);
  return rc == SQLITE_DONE || store_.failureInto(error);
}

bool SqliteBrokerStore::elementServers(std::vector<ServerStats>& elements, std::string& error) {
  elements.clear();
  Query q(store_,
          "SELECT e.name, COUNT(c.id), MIN(c.started) FROM element e "
          "LEFT JOIN connection c ON c.name = e.name AND c.kind = 1 "
          "GROUP BY e.name ORDER BY e.name");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    elements.push_back({q.text(0), q.integer(1), q.isNull(2) ? 0 : q.integer(2)});
  return rc == SQLITE_DONE || store_.failureInto(error);
}

}  // namespace qlx
