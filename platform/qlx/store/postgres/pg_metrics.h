// The counters of the PostgreSQL store. Counting in the database at every call would add a
// round trip to each get, put and commit, and a row every connection of a queue updates;
// instead each process adds its counts in memory and a thread of its own adds them to the
// table qlx_counter about once a second, and once more when the process exits, by one
// upsert into rows keyed by (writer, queue). The writer is the backend of that thread's
// session, so no two live processes ever update one row; readers sum the rows.
//
// What is lost: a process killed without exit (SIGKILL, a crash) loses the counts of its
// last second; a database that cannot be reached keeps the counts waiting in the process
// until it can, or until the process ends.
#ifndef QLX_PG_METRICS_H
#define QLX_PG_METRICS_H

#include <string>

#include "metrics.h"

namespace qlx::pg {

// The counters of the broker database at `uri`, owned by the process and kept until it
// ends. With QLX_METRICS=off a NoMetrics that says so. Reading them adds this process's
// own counts first, so a reader sees everything it counted itself.
Metrics& countersOf(const std::string& uri);

// Has the thread write the counts of `uri` now rather than at its next second, when this
// process counts there; returns at once. A connection that ends calls it, so that the
// write runs beside its own last round trip instead of after it in the exit.
void writeCountsSoon(const std::string& uri);

}  // namespace qlx::pg

#endif  // QLX_PG_METRICS_H
