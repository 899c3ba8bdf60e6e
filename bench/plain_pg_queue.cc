// The plain queue on PostgreSQL.
#include "plain_pg_queue.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cycle_shape.h"

namespace bench {
namespace {

// The plain queue's tables live in a schema of this run's own, named after the process
// that makes them (its consumers are its children): under fixed names in the broker's
// schema, a second run on the same database dropped and made them again while the
// first's consumers worked on them ("relation plain_in does not exist").
const std::string& plainSchema() {
  static const std::string name = "qlxbench_plain_" + std::to_string(getpid());
  return name;
}

// Says what failed before the run is given up.
[[noreturn]] void plainFailed(PGconn* conn, const char* what) {
  std::fprintf(stderr, "plain queue: %s: %s", what, conn ? PQerrorMessage(conn) : "no memory");
  std::abort();
}

// The run's schema first, the broker's after it (for the readings of its tables).
PGconn* plainConnect(int64_t full) {
  const char* address = std::getenv("QLX_BROKER");
  PGconn* conn = PQconnectdb(address ? address : "");
  if (PQstatus(conn) != CONNECTION_OK) plainFailed(conn, "connect");
  PQclear(PQexec(conn, full ? "SET synchronous_commit = on" : "SET synchronous_commit = off"));
  PQclear(PQexec(conn, "SET client_min_messages = warning"));
  const std::string path = "SELECT set_config('search_path', '" + plainSchema() +
                           ", ' || current_setting('search_path'), false)";
  PGresult* r = PQexec(conn, path.c_str());
  if (PQresultStatus(r) != PGRES_TUPLES_OK) plainFailed(conn, "search_path");
  PQclear(r);
  return conn;
}

bool plainRun(PGconn* conn, const char* sql, int count = 0, const char* const* values = nullptr,
              const int* lengths = nullptr, const int* formats = nullptr,
              std::string* first = nullptr) {
  PGresult* r = PQexecParams(conn, sql, count, nullptr, values, lengths, formats, 1);
  const ExecStatusType status = PQresultStatus(r);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (first) *first = ok && PQntuples(r) == 1 ? std::string(PQgetvalue(r, 0, 0), 8) : "";
  PQclear(r);
  return ok;
}

// One cycle: take the oldest request, put a response, in one transaction. False when the
// queue was empty.
bool plainCycle(PGconn* conn) {
  static const std::string body(kBody, 'r');
  std::string id;
  if (!plainRun(conn, "BEGIN") ||
      !plainRun(conn, "SELECT id, body FROM plain_in ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED",
                0, nullptr, nullptr, nullptr, &id))
    plainFailed(conn, "take");
  if (id.empty()) {
    plainRun(conn, "ROLLBACK");
    return false;
  }
  const char* values[] = {body.data()};
  const int lengths[] = {static_cast<int>(body.size())};
  const int formats[] = {1};
  const char* idValue[] = {id.data()};
  const int idLength[] = {8};
  if (!plainRun(conn, "INSERT INTO plain_out (body) VALUES ($1::bytea)", 1, values, lengths,
                formats) ||
      !plainRun(conn, "DELETE FROM plain_in WHERE id = $1::bigint", 1, idValue, idLength,
                formats) ||
      !plainRun(conn, "COMMIT"))
    plainFailed(conn, "put and remove");
  return true;
}

// Fields 4 (parent) and 14-17 (user, system, children's user, children's system time in
// clock ticks) of /proc/PID/stat; false when unreadable.
bool procTimes(long pid, long& parent, double ticks[4]) {
  char path[64], line[1024];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  const char* after = read ? std::strrchr(line, ')') : nullptr;  // the name may hold spaces
  if (!after) return false;
  unsigned long t[4];
  return std::sscanf(after + 2, "%*c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %lu %lu",
                     &parent, &t[0], &t[1], &t[2], &t[3]) == 5 &&
         (ticks[0] = t[0], ticks[1] = t[1], ticks[2] = t[2], ticks[3] = t[3], true);
}

// The server's processes are the postmaster's children: their own times, and the
// postmaster's children's times for those that ended.
double serverCpuSeconds(long postmaster) {
  double total = 0, t[4];
  long parent = 0;
  if (!procTimes(postmaster, parent, t)) return -1;
  total += t[0] + t[1] + t[2] + t[3];
  DIR* dir = opendir("/proc");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir)) {
    const long pid = std::strtol(entry->d_name, nullptr, 10);
    if (pid > 0 && procTimes(pid, parent, t) && parent == postmaster) total += t[0] + t[1];
  }
  closedir(dir);
  return total / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

namespace {

// The figures on `conn`, with `extra` (a bigint) read in the same statement.
PgServerFigures readFigures(PGconn* conn, const char* extra, int64_t& extraValue) {
  PgServerFigures figures;
  const std::string sql =
      std::string("SELECT pg_backend_pid(), (SELECT wal_sync FROM pg_stat_wal), "
                  "(SELECT wal_bytes FROM pg_stat_wal)::bigint, (SELECT xact_commit FROM "
                  "pg_stat_database WHERE datname = current_database()), ") + extra;
  PGresult* r = PQexec(conn, sql.c_str());
  if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
    long parent = 0;
    double t[4];
    if (procTimes(std::strtol(PQgetvalue(r, 0, 0), nullptr, 10), parent, t)) {
      figures.cpuSeconds = serverCpuSeconds(parent);
      figures.walSyncs = std::strtoll(PQgetvalue(r, 0, 1), nullptr, 10);
      figures.walBytes = std::strtoll(PQgetvalue(r, 0, 2), nullptr, 10);
      figures.commits = std::strtoll(PQgetvalue(r, 0, 3), nullptr, 10);
      extraValue = std::strtoll(PQgetvalue(r, 0, 4), nullptr, 10);
      figures.ok = figures.cpuSeconds >= 0;
    }
  }
  PQclear(r);
  return figures;
}

}  // namespace

PgServerFigures pgServerFigures() {
  usleep(300000);  // ended sessions send their last statistics as they go
  PGconn* conn = plainConnect(0);
  int64_t ignored = 0;
  const PgServerFigures figures = readFigures(conn, "0", ignored);
  PQfinish(conn);
  return figures;
}

PGconn* pgReadingSession() { return plainConnect(0); }

PgSteadyReading pgSteadyReading(PGconn* session, bool plain) {
  PgSteadyReading reading;
  reading.server = readFigures(session,
                               plain ? "(SELECT count(*) FROM plain_out)"
                                     : "(SELECT count(*) FROM message WHERE queue = 'client:C')",
                               reading.responses);
  return reading;
}

void makePlainPgQueue(int requests) {
  PGconn* conn = plainConnect(0);
  const std::string fill = "INSERT INTO plain_in (body) SELECT decode(repeat('72', " +
                           std::to_string(kBody) + "), 'hex') FROM generate_series(1, " +
                           std::to_string(requests) + ")";
  const std::string schema = "CREATE SCHEMA " + plainSchema();
  if (!plainRun(conn, ("DROP SCHEMA IF EXISTS " + plainSchema() + " CASCADE").c_str()) ||
      !plainRun(conn, schema.c_str()) ||
      !plainRun(conn, "CREATE TABLE plain_in (id bigserial PRIMARY KEY, body bytea)") ||
      !plainRun(conn, "CREATE TABLE plain_out (id bigserial PRIMARY KEY, body bytea)") ||
      !plainRun(conn, fill.c_str()) || !plainRun(conn, "VACUUM ANALYZE plain_in, plain_out"))
    plainFailed(conn, "make the tables");
  PQfinish(conn);
}

void dropPlainPgQueue() {
  PGconn* conn = plainConnect(0);
  plainRun(conn, ("DROP SCHEMA IF EXISTS " + plainSchema() + " CASCADE").c_str());
  PQfinish(conn);
}

void plainPgConsumer(int64_t full, int start, int result, int64_t millis) {
  PGconn* conn = plainConnect(full);
  char byte = 0;
  if (read(start, &byte, 1) != 1) _exit(1);
  const auto end = Clock::now() + std::chrono::milliseconds(millis);
  int64_t count = 0;
  while (Clock::now() < end)
    if (plainCycle(conn)) ++count;
  if (write(result, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) _exit(1);
  PQfinish(conn);
  _exit(0);
}

}  // namespace bench
