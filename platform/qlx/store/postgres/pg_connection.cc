// libpq connections and statements of the PostgreSQL store.
#include "pg_connection.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "settings.h"

namespace qlx::pg {
namespace {

constexpr unsigned kByteaOid = 17;
// Beyond this many texts a session runs statements unprepared: the store's texts are
// constants, so only a caller building texts from data would reach it.
constexpr size_t kMaxPrepared = 64;

// How long a session keeps its plans. The server keeps a statement's generic plan until
// the table's statistics change, and a plan made while the message table was nearly empty
// (a scan of the whole table and a sort) would be as wrong as it is lasting once a queue
// has grown: planned again every second, such a plan serves at most a second.
constexpr auto kPlanLifetime = std::chrono::seconds(1);
// Marks the result of the discarding of plans in a batch, which nobody reads.
const char kDiscardPlans[] = "DISCARD PLANS";

// Per thread, so that the counters' thread of a process does not add to a caller's count.
thread_local int64_t gRoundTrips = 0;
std::atomic<uint64_t> gSessions{0};

void countRoundTrip() { ++gRoundTrips; }

uint64_t bigEndian(const char* data, int length) {
  uint64_t value = 0;
  for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return value;
}

// The session's settings, sent in one round trip. FULL asks for durable commits; NORMAL
// lets the last commits be lost in a server crash (never corrupted). A misspelt mode was
// refused when the connection opened.
const char* sessionSettings() {
  return fullSyncSetting()
             ? "SET synchronous_commit = on; SET client_min_messages = warning"
             : "SET synchronous_commit = off; SET client_min_messages = warning";
}

}  // namespace

int64_t roundTrips() { return gRoundTrips; }

Params& Params::add(int64_t value) {
  values_.push_back(std::to_string(value));
  nulls_.push_back(false);
  lengths_.push_back(0);
  formats_.push_back(0);
  types_.push_back(0);
  return *this;
}

Params& Params::add(std::string_view text) {
  values_.emplace_back(text);
  nulls_.push_back(false);
  lengths_.push_back(0);
  formats_.push_back(0);
  types_.push_back(0);
  return *this;
}

Params& Params::bytes(std::string_view data) {
  values_.emplace_back(data);
  nulls_.push_back(false);
  lengths_.push_back(static_cast<int>(data.size()));
  formats_.push_back(1);
  types_.push_back(kByteaOid);
  return *this;
}

Params& Params::null() {
  values_.emplace_back();
  nulls_.push_back(true);
  lengths_.push_back(0);
  formats_.push_back(0);
  types_.push_back(0);
  return *this;
}

Params& Params::ids(const std::vector<int64_t>& ids) {
  std::string literal = "{";
  for (size_t i = 0; i < ids.size(); ++i) literal += (i ? "," : "") + std::to_string(ids[i]);
  return add(std::string_view(literal + "}"));
}

std::vector<const char*> Params::values() const {
  std::vector<const char*> out;
  for (size_t i = 0; i < values_.size(); ++i) out.push_back(nulls_[i] ? nullptr : values_[i].data());
  return out;
}

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = other.result_;
    other.result_ = nullptr;
  }
  return *this;
}

bool Result::ok() const {
  if (!result_) return false;
  const ExecStatusType status = PQresultStatus(result_);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int64_t Result::changed() const {
  const char* n = result_ ? PQcmdTuples(result_) : "";
  return *n ? std::strtoll(n, nullptr, 10) : 0;
}

std::string Result::state() const {
  const char* state = result_ ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

int64_t Result::integer(int row, int column) const {
  if (isNull(row, column)) return 0;
  const int length = PQgetlength(result_, row, column);
  const uint64_t raw = bigEndian(PQgetvalue(result_, row, column), length);
  if (length == 4) return static_cast<int32_t>(static_cast<uint32_t>(raw));
  return static_cast<int64_t>(raw);
}

std::string Result::text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<size_t>(PQgetlength(result_, row, column)));
}

namespace {

// A message of the server on one line, without the pointer into the statement.
std::string oneLine(std::string text) {
  // The first line is the message; what follows points into the statement.
  if (text.rfind("ERROR:  ", 0) == 0) text = text.substr(0, text.find('\n'));
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.rfind("ERROR:  ", 0) == 0) text.erase(0, 8);
  return text.empty() ? "the database server did not say why" : text;
}

}  // namespace

std::string serverMessage(PGconn* conn) {
  return oneLine(conn ? PQerrorMessage(conn) : "out of memory");
}

bool Connection::open(const std::string& uri, std::string& error) {
  close();
  SyncMode mode;
  if (!syncModeSetting(mode, error)) return false;
  uri_ = uri;
  if (!reconnect()) {
    error = "broker database: " + failText_;
    return false;
  }
  return true;
}

bool Connection::reconnect() {
  if (conn_) PQfinish(conn_);
  prepared_.clear();
  plannedSince_ = std::chrono::steady_clock::now();
  session_ = ++gSessions;
  conn_ = PQconnectdb(uri_.c_str());
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    noteFailure(ECONNREFUSED, "cannot connect to the database server: " + serverMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    return false;
  }
  // Notices (e.g. "relation already exists, skipping") are not the broker's output.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  return exec(sessionSettings());
}

void Connection::close() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
  prepared_.clear();
}

bool Connection::noteFailure(int code, std::string text) {
  failCode_ = code;
  failText_ = std::move(text);
  return false;
}

bool Connection::_noteResult(const Result& result) {
  if (result.ok()) return true;
  if (lost()) return noteFailure(ECONNRESET, "connection to the database server lost: " +
                                                 serverMessage(conn_));
  // The statement's own words: in a batch, reading the results after it (and leaving
  // pipeline mode) may have cleared the connection's.
  if (*result.message() != '\0') return noteFailure(EIO, oneLine(result.message()));
  return noteFailure(EIO, serverMessage(conn_));
}

const std::string* Connection::_prepared(const char* sql, const Params& params, bool pipelined,
                                         bool& sent) {
  sent = false;
  auto found = prepared_.find(sql);
  if (found != prepared_.end()) return &found->second;
  if (prepared_.size() >= kMaxPrepared) return nullptr;
  const std::string name = "qlx" + std::to_string(++named_);
  if (pipelined) {
    if (PQsendPrepare(conn_, name.c_str(), sql, params.count(), params.types()) != 1)
      return nullptr;
    sent = true;
  } else {
    countRoundTrip();
    Result made(PQprepare(conn_, name.c_str(), sql, params.count(), params.types()));
    if (!made.ok()) return nullptr;  // run unprepared: its failure is then the statement's
  }
  return &prepared_.emplace(sql, name).first->second;
}

bool Connection::_plansDue() const {
  return !prepared_.empty() && PQtransactionStatus(conn_) == PQTRANS_IDLE &&
         std::chrono::steady_clock::now() - plannedSince_ >= kPlanLifetime;
}

Result Connection::run(const char* sql, const Params& params) {
  if (!conn_) return (noteFailure(ECONNRESET, "no connection to the database server"), Result());
  if (_plansDue()) return std::move(runTogether({{sql, params}})[0]);
  const std::vector<const char*> values = params.values();
  bool sent = false;
  const std::string* name = _prepared(sql, params, false, sent);
  countRoundTrip();
  Result result(name ? PQexecPrepared(conn_, name->c_str(), params.count(), values.data(),
                                      params.lengths(), params.formats(), 1)
                     : PQexecParams(conn_, sql, params.count(), params.types(), values.data(),
                                    params.lengths(), params.formats(), 1));
  _noteResult(result);
  return result;
}

// Each statement's results end with a null; a preparation sent before its statement gives
// one result and a null of its own; the batch ends with the sync result. Two nulls in a row
// (a lost connection) end the reading too.
std::vector<Result> Connection::runTogether(const std::vector<Statement>& statements) {
  std::vector<Result> results(statements.size());
  if (!conn_) {
    noteFailure(ECONNRESET, "no connection to the database server");
    return results;
  }
  if (PQenterPipelineMode(conn_) != 1) {
    noteFailure(EIO, serverMessage(conn_));
    return results;
  }
  std::vector<const char*> preparation;  // per result awaited: the text prepared, or null
  // Outside a transaction only: in an aborted one it would fail, and the batch with it.
  if (_plansDue() && PQsendQueryParams(conn_, kDiscardPlans, 0, nullptr, nullptr, nullptr,
                                       nullptr, 1) == 1) {
    preparation.push_back(kDiscardPlans);
    plannedSince_ = std::chrono::steady_clock::now();
  }
  for (const Statement& s : statements) {
    bool sent = false;
    const std::string* name = _prepared(s.sql, s.params, true, sent);
    if (sent) preparation.push_back(s.sql);
    const std::vector<const char*> values = s.params.values();
    const int queued =
        name ? PQsendQueryPrepared(conn_, name->c_str(), s.params.count(), values.data(),
                                   s.params.lengths(), s.params.formats(), 1)
             : PQsendQueryParams(conn_, s.sql, s.params.count(), s.params.types(),
                                 values.data(), s.params.lengths(), s.params.formats(), 1);
    if (queued != 1) break;
    preparation.push_back(nullptr);
  }
  countRoundTrip();
  PQpipelineSync(conn_);
  _readTogether(preparation, results);
  PQexitPipelineMode(conn_);
  for (const Result& r : results)
    if (!_noteResult(r)) break;
  return results;
}

void Connection::_readTogether(const std::vector<const char*>& preparation,
                               std::vector<Result>& results) {
  size_t awaited = 0, statement = 0;
  bool lastWasNull = false;
  for (;;) {
    PGresult* raw = PQgetResult(conn_);
    if (!raw) {
      if (lastWasNull) break;
      lastWasNull = true;
      continue;
    }
    lastWasNull = false;
    if (PQresultStatus(raw) == PGRES_PIPELINE_SYNC) {
      PQclear(raw);
      break;
    }
    Result r(raw);
    if (awaited >= preparation.size()) continue;
    // A preparation that failed is not taken for made: the next run prepares again.
    if (const char* text = preparation[awaited++]) {
      if (!r.ok() && text != kDiscardPlans) prepared_.erase(text);
      continue;
    }
    if (statement < results.size()) results[statement++] = std::move(r);
  }
}

bool Connection::send(const char* sql, const Params& params) {
  if (!conn_) return noteFailure(ECONNRESET, "no connection to the database server");
  const std::vector<const char*> values = params.values();
  if (PQsendQueryParams(conn_, sql, params.count(), params.types(), values.data(),
                        params.lengths(), params.formats(), 1) == 1)
    return true;
  if (lost()) return noteFailure(ECONNRESET, "connection to the database server lost: " +
                                                 serverMessage(conn_));
  return noteFailure(EIO, serverMessage(conn_));
}

bool Connection::sentDone() {
  if (!conn_ || PQconsumeInput(conn_) != 1) return true;
  return PQisBusy(conn_) == 0;
}

bool Connection::cancelSent() {
  if (!conn_) return false;
  PGcancel* cancel = PQgetCancel(conn_);
  if (!cancel) return false;
  char reason[256] = {};
  const bool delivered = PQcancel(cancel, reason, sizeof reason) == 1;
  PQfreeCancel(cancel);
  return delivered;
}

// The first result is the statement's; the rest (none for a single statement) are read
// and dropped so that the connection is idle again.
Result Connection::takeSent() {
  if (!conn_) return (noteFailure(ECONNRESET, "no connection to the database server"), Result());
  countRoundTrip();
  Result result(PQgetResult(conn_));
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  _noteResult(result);
  return result;
}

bool Connection::exec(const char* sql) {
  if (!conn_) return noteFailure(ECONNRESET, "no connection to the database server");
  countRoundTrip();
  Result result(PQexec(conn_, sql));
  return _noteResult(result);
}

}  // namespace qlx::pg
