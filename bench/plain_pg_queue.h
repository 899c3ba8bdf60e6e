// The plain queue on PostgreSQL: the best a hand-written SKIP LOCKED queue does through
// libpq, to set the broker's figures on the same database beside. A consumer's cycle is
// one transaction of five statements, each its own round trip: BEGIN, SELECT the oldest
// request FOR UPDATE SKIP LOCKED, INSERT the response, DELETE the request, COMMIT. The
// requests are put before the consumers start. Every process connects to $QLX_BROKER
// and aborts when it cannot.
#ifndef ZVR_BENCH_PLAIN_PG_QUEUE_H
#define ZVR_BENCH_PLAIN_PG_QUEUE_H

#include <libpq-fe.h>

#include <cstdint>

namespace bench {

// What the database server did, cluster-wide, read at one moment: counts that the
// machine's load does not change, to set beside a rate that it does. `ok` is false when
// they could not be read (no server, or its processes not visible from here).
struct PgServerFigures {
  bool ok = false;
  double cpuSeconds = 0;  // user + system time of the server's processes, ended ones too
  int64_t walSyncs = 0;   // WAL flushes to disk (pg_stat_wal)
  int64_t walBytes = 0;
  int64_t commits = 0;    // transactions committed in the database
};
// Waits briefly for the ended sessions' statistics to reach the server, then reads.
PgServerFigures pgServerFigures();

// The server's figures and the responses committed so far (`responses`, a table or the
// broker's queue client:C), read at one moment on a session kept open for the readings:
// two readings while the consumers cycle give what a cycle costs the server with the
// sessions' starts and ends left out (the broker's processes start two more sessions than
// the plain queue's, a cost of their lifetime, not of their cycles).
struct PgSteadyReading {
  PgServerFigures server;
  int64_t responses = 0;
};
// A session for the readings (synchronous_commit off); aborts when it cannot connect.
PGconn* pgReadingSession();
PgSteadyReading pgSteadyReading(PGconn* session, bool plain);

// Makes the queue's tables afresh (requests plain_in, responses plain_out) with
// `requests` requests of 1 KiB waiting, vacuumed (as the broker's tables are after their
// filling, so that the server's autovacuum comes by during neither's timed span).
void makePlainPgQueue(int requests);
void dropPlainPgQueue();
// A consumer process (synchronous_commit on when `full`): reads a byte from `start`,
// cycles for `millis`, writes its count of cycles (int64_t) to `result` and exits.
[[noreturn]] void plainPgConsumer(int64_t full, int start, int result, int64_t millis);

}  // namespace bench

#endif  // ZVR_BENCH_PLAIN_PG_QUEUE_H
