// The plain queue on PostgreSQL.
#include "plain_pg_queue.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cycle_shape.h"

namespace bench {
namespace {

PGconn* plainConnect(int64_t full) {
  const char* address = std::getenv("QLX_BROKER");
  PGconn* conn = PQconnectdb(address ? address : "");
  if (PQstatus(conn) != CONNECTION_OK) std::abort();
  PQclear(PQexec(conn, full ? "SET synchronous_commit = on" : "SET synchronous_commit = off"));
  PQclear(PQexec(conn, "SET client_min_messages = warning"));
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
    std::abort();
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
    std::abort();
  return true;
}

}  // namespace

void makePlainPgQueue(int requests) {
  PGconn* conn = plainConnect(0);
  const std::string fill = "INSERT INTO plain_in (body) SELECT decode(repeat('72', " +
                           std::to_string(kBody) + "), 'hex') FROM generate_series(1, " +
                           std::to_string(requests) + ")";
  if (!plainRun(conn, "DROP TABLE IF EXISTS plain_in, plain_out") ||
      !plainRun(conn, "CREATE TABLE plain_in (id bigserial PRIMARY KEY, body bytea)") ||
      !plainRun(conn, "CREATE TABLE plain_out (id bigserial PRIMARY KEY, body bytea)") ||
      !plainRun(conn, fill.c_str()))
    std::abort();
  PQfinish(conn);
}

void dropPlainPgQueue() {
  PGconn* conn = plainConnect(0);
  plainRun(conn, "DROP TABLE IF EXISTS plain_in, plain_out");
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
