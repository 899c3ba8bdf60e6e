// The broker home's database: schema, pragmas and the prepared-statement cache.
#include "store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "directory_schema.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// Runtime tables. A message row is a request or response on a queue ("element:E",
// "client:C", "native:N") or a reported request on an error queue ("error:E"). `seq`
// orders a queue before `id`: new messages get 0, a message rolled back goes in front of
// all others with a seq below the queue's lowest. The theme travels with every message:
// its 24-byte id, the originating client, the encoded hop list and the position of the
// hop whose queue holds the message.
constexpr const char* kRuntimeSchema = R"sql(
CREATE TABLE IF NOT EXISTS connection (
  id        INTEGER PRIMARY KEY AUTOINCREMENT,
  name      TEXT NOT NULL,
  kind      INTEGER NOT NULL,
  pid       INTEGER NOT NULL,
  pid_start INTEGER NOT NULL,
  started   INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS message (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  queue       TEXT NOT NULL,
  seq         INTEGER NOT NULL DEFAULT 0,
  state       INTEGER NOT NULL DEFAULT 0,
  owner       INTEGER,
  backout     INTEGER NOT NULL DEFAULT 0,
  msg_type    INTEGER, priority INTEGER, persistence INTEGER, format INTEGER,
  feedback    INTEGER, expiry INTEGER, code_page INTEGER, encoding INTEGER,
  msg_id      BLOB, correl_id BLOB, format_name BLOB,
  put_sec     INTEGER, put_ms INTEGER,
  theme_id    BLOB, origin TEXT, service TEXT, hops BLOB, position INTEGER,
  body        BLOB, tag BLOB,
  reason      INTEGER, sub_reason INTEGER, call_type INTEGER, error_text TEXT,
  default_actions INTEGER, performed_actions INTEGER, reporter TEXT
);
CREATE INDEX IF NOT EXISTS message_order ON message(queue, state, seq, id);
CREATE INDEX IF NOT EXISTS message_owner ON message(owner);
CREATE TABLE IF NOT EXISTS fault (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  call       TEXT NOT NULL,
  reason     INTEGER NOT NULL,
  sub_reason INTEGER,
  remaining  INTEGER NOT NULL,
  name       TEXT
);
)sql";

bool makeHome(const std::string& home, std::string& error) {
  if (mkdir(home.c_str(), 0777) == 0 || errno == EEXIST) return true;
  error = "cannot create the broker home " + home + ": " + std::strerror(errno);
  return false;
}

// FULL syncs the WAL at every commit; NORMAL (the default) only at checkpoints.
bool fullSync() {
  const char* mode = std::getenv("QLX_SYNC");
  return mode && std::strcmp(mode, "FULL") == 0;
}

}  // namespace

std::string homePath() {
  const char* home = std::getenv("QLX_HOME");
  return home && *home ? std::string(home) : std::string("./.qlx");
}

std::string databasePath() { return homePath() + "/broker.db"; }
std::string logPath() { return homePath() + "/log"; }

Store::~Store() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  if (db_) sqlite3_close_v2(db_);
}

bool Store::open(std::string& error) {
  trc::Scope trace(kTrace);
  home_ = homePath();
  if (!makeHome(home_, error)) return trace.result(false);
  const std::string path = home_ + "/broker.db";
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           nullptr);
  if (rc != SQLITE_OK) {
    error = "cannot open the broker database " + path + ": " +
            (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    return trace.result(false);
  }
  return trace.result(_configure(error));
}

bool Store::_configure(std::string& error) {
  sqlite3_busy_timeout(db_, 30000);
  sqlite3_extended_result_codes(db_, 1);
  full_ = fullSync();
  const bool ok = exec("PRAGMA journal_mode=WAL") &&
                  exec(full_ ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
                  exec("PRAGMA foreign_keys=ON") && exec(kRuntimeSchema) &&
                  exec(kDirectorySchema);
  if (!ok) error = "cannot prepare the broker database " + databasePath() + ": " + errorText();
  return ok;
}

sqlite3_stmt* Store::statement(const char* sql) {
  auto found = statements_.find(std::string_view(sql));
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
    return nullptr;
  statements_.emplace(sql, stmt);
  return stmt;
}

void Store::relaxSync(bool relax) {
  if (!full_ || relax == relaxed_) return;
  // The WAL is written in order: the next full commit syncs the relaxed frames as well.
  relaxed_ = relax;
  exec(relax ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
}

bool Store::exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int Store::errorCode() const { return db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN; }

std::string Store::errorText() const {
  return db_ ? sqlite3_errmsg(db_) : "database not open";
}

Query::~Query() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

Query& Query::bind(int index, int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Query& Query::bind(int index, std::string_view text) {
  if (stmt_)
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bindBlob(int index, const void* data, size_t length) {
  if (!stmt_) return *this;
  if (length == 0)
    sqlite3_bind_zeroblob(stmt_, index, 0);
  else
    sqlite3_bind_blob64(stmt_, index, data, length, SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bindNull(int index) {
  if (stmt_) sqlite3_bind_null(stmt_, index);
  return *this;
}

int Query::step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

bool Query::run() {
  int rc;
  while ((rc = step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE;
}

int64_t Query::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Query::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string Query::text(int column) const {
  const unsigned char* data = sqlite3_column_text(stmt_, column);
  int length = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length))
              : std::string();
}

std::string Query::blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int length = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(length))
              : std::string();
}

Transaction::Transaction(Store& store) : store_(store) {
  begun_ = store_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (begun_ && !done_) store_.exec("ROLLBACK");
}

bool Transaction::commit() {
  if (!begun_ || done_) return false;
  done_ = store_.exec("COMMIT");
  return done_;
}

}  // namespace qlx
