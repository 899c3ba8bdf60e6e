// libpq connections and statements of the PostgreSQL store.
#include "pg_connection.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "settings.h"

namespace qlx::pg {
namespace {

constexpr unsigned kByteaOid = 17;

uint64_t bigEndian(const char* data, int length) {
  uint64_t value = 0;
  for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return value;
}

// FULL asks for durable commits; NORMAL lets the last commits be lost in a server crash
// (never corrupted). A misspelt mode was refused when the connection opened.
const char* syncSetting() {
  return fullSyncSetting() ? "SET synchronous_commit = on" : "SET synchronous_commit = off";
}

}  // namespace

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

std::string serverMessage(PGconn* conn) {
  std::string text = conn ? PQerrorMessage(conn) : "out of memory";
  // The first line is the message; what follows points into the statement.
  if (text.rfind("ERROR:  ", 0) == 0) text = text.substr(0, text.find('\n'));
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.rfind("ERROR:  ", 0) == 0) text.erase(0, 8);
  return text.empty() ? "the database server did not say why" : text;
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
  conn_ = PQconnectdb(uri_.c_str());
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    noteFailure(ECONNREFUSED, "cannot connect to the database server: " + serverMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    return false;
  }
  // Notices (e.g. "relation already exists, skipping") are not the broker's output.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  return exec(syncSetting()) && exec("SET client_min_messages = warning");
}

void Connection::close() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
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
  return noteFailure(EIO, serverMessage(conn_));
}

Result Connection::run(const char* sql, const Params& params) {
  if (!conn_) return (noteFailure(ECONNRESET, "no connection to the database server"), Result());
  const std::vector<const char*> values = params.values();
  Result result(PQexecParams(conn_, sql, params.count(), params.types(), values.data(),
                             params.lengths(), params.formats(), 1));
  _noteResult(result);
  return result;
}

bool Connection::exec(const char* sql) {
  if (!conn_) return noteFailure(ECONNRESET, "no connection to the database server");
  Result result(PQexec(conn_, sql));
  return _noteResult(result);
}

}  // namespace qlx::pg
