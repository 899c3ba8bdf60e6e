// SQLite helpers of the directory code.
#include "directory_sql.h"

namespace qlx {

DirStatement::DirStatement(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

DirStatement::DirStatement(DirStatementCache& cache, const char* sql)
    : db_(cache.db()), stmt_(cache.get(sql)), cached_(true) {}

DirStatement::~DirStatement() {
  if (cached_) {
    reset();
  } else {
    sqlite3_finalize(stmt_);
  }
}

DirStatementCache::~DirStatementCache() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
}

sqlite3_stmt* DirStatementCache::get(const char* sql) {
  for (auto& [known, stmt] : statements_) {
    if (known == sql) return stmt;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  statements_.emplace_back(sql, stmt);
  return stmt;
}

std::string DirStatement::error() const { return dirSqlError(db_); }

int DirStatement::code() const { return sqlite3_errcode(db_); }

DirStatement& DirStatement::bind(int index, std::string_view text) {
  // SQLITE_TRANSIENT: the statement keeps its own copy, the caller's text may go away.
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

DirStatement& DirStatement::bind(int index, long long value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

DirStatement& DirStatement::bindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

int DirStatement::step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

bool DirStatement::run() {
  int rc = step();
  reset();
  return rc == SQLITE_DONE;
}

void DirStatement::reset() {
  if (!stmt_) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::string DirStatement::text(int column) const {
  const unsigned char* p = sqlite3_column_text(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

long long DirStatement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

bool DirStatement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

DirTransaction::DirTransaction(sqlite3* db) : db_(db) {
  begun_ = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

DirTransaction::~DirTransaction() {
  if (begun_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool DirTransaction::commit() {
  if (!begun_ || done_) return false;
  done_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  return done_;
}

std::string dirSqlError(sqlite3* db) {
  const char* message = sqlite3_errmsg(db);
  return message ? message : "unknown database error";
}

}  // namespace qlx
