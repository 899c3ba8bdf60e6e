// One libpq connection of the PostgreSQL store and the small statement helpers it runs
// its SQL through: parameters in text (integers, text) or binary (bytes) form, results in
// binary form, every integer column a bigint.
#ifndef QLX_PG_CONNECTION_H
#define QLX_PG_CONNECTION_H

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qlx::pg {

// The parameters of one statement, $1 first.
class Params {
 public:
  Params& add(int64_t value);
  Params& add(std::string_view text);
  Params& add(const char* text) { return add(std::string_view(text)); }
  Params& bytes(std::string_view data);
  Params& null();
  Params& ids(const std::vector<int64_t>& ids);  // a bigint[] literal
  template <typename T>
  Params& maybe(const std::optional<T>& value) {
    return value ? add(*value) : null();
  }

  int count() const { return static_cast<int>(values_.size()); }
  std::vector<const char*> values() const;
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }
  const unsigned* types() const { return types_.data(); }

 private:
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
  std::vector<int> lengths_, formats_;
  std::vector<unsigned> types_;
};

// A result; owns the PGresult.
class Result {
 public:
  explicit Result(PGresult* result = nullptr) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  Result& operator=(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  bool ok() const;
  int rows() const { return result_ ? PQntuples(result_) : 0; }
  int64_t changed() const;  // rows a write changed
  // Whether the statement never ran: an earlier one of its batch failed, or no result came.
  bool skipped() const { return !result_ || PQresultStatus(result_) == PGRES_PIPELINE_ABORTED; }
  // The SQLSTATE of a failed statement ("" when it did not fail or none came).
  std::string state() const;
  // The server's words on a failed statement ("" when none came with it); owned by this.
  const char* message() const { return result_ ? PQresultErrorMessage(result_) : ""; }
  bool isNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  int64_t integer(int row, int column) const;
  std::string text(int row, int column) const;  // text or bytes

 private:
  PGresult* result_;
};

// One statement of a batch sent together (Connection::runTogether); the text outlives it.
struct Statement {
  const char* sql;
  Params params;
};

// Round trips to the server made by the calling thread's connections (statements,
// batches, preparations): what the benchmarks and tests count a broker cycle in. The
// counters' thread, which writes once a second beside the caller's work, is not in it.
int64_t roundTrips();

class Connection {
 public:
  Connection() = default;
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects to `uri` and sets the session (synchronous_commit from QLX_SYNC). False with
  // `error` set: the server's words, never the address or its password.
  bool open(const std::string& uri, std::string& error);
  void close();
  // In a child after fork: forgets the parent's session without ending it (a goodbye on
  // the shared socket would end the parent's session too).
  void abandon() {
    conn_ = nullptr;
    prepared_.clear();
  }
  bool isOpen() const { return conn_ != nullptr; }
  // A number naming the current session, never reused in this process (0: none): a
  // reconnect's session has a new one even when libpq reuses the address of its PGconn.
  uint64_t session() const { return conn_ ? session_ : 0; }
  PGconn* raw() const { return conn_; }
  // Whether the server went away (the next call reconnects when outside a transaction).
  bool lost() const { return conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD; }
  // Reconnects after a loss; false (noted) while the server is still away.
  bool reconnect();

  // Runs one statement; the result (check ok()), with a failure noted. A statement text is
  // prepared on its first run in a session and reused after (the texts of the store are
  // constants; a bounded number of them are kept); the server's plans of them are dropped
  // about once a second, by a statement sent with the next one outside a transaction.
  Result run(const char* sql, const Params& params = Params());
  // Runs `statements` in order in one round trip (libpq's pipeline mode). One result per
  // statement; once one fails the later ones are not run (their results are not ok) and
  // the first failure is the one noted. Inside a transaction a failure leaves it aborted.
  std::vector<Result> runTogether(const std::vector<Statement>& statements);
  // Runs statements without parameters (schema, BEGIN, COMMIT). False on failure, noted.
  bool exec(const char* sql);

  // A statement that may wait long on the server (a lock), sent without waiting for it so
  // that the caller can poll the socket (raw()) beside other events. send() sends it
  // unprepared (a preparation would cost a round trip of its own); false, noted, when it
  // could not be sent. Once it returned true the caller must end it with takeSent() before
  // anything else runs on the connection.
  bool send(const char* sql, const Params& params);
  // Reads what has arrived, without blocking: true once the sent statement's result is
  // complete, or the connection failed (takeSent() then does not block).
  bool sentDone();
  // Asks the server to cancel the sent statement; one that already ended is not touched.
  // Blocks for the delivery of the request only. False when it could not be delivered.
  bool cancelSent();
  // The sent statement's result (check ok()), waiting for it while it runs, a failure
  // noted; the connection is then free for the next statement.
  Result takeSent();

  int errorCode() const { return failCode_; }
  const std::string& errorText() const { return failText_; }
  bool noteFailure(int code, std::string text);

 private:
  bool _noteResult(const Result& result);
  // The name of `sql` prepared in this session; sends the preparation when it is new
  // (`sent` then true; in pipeline mode its result is the caller's to read). Null when
  // the statement is run unprepared.
  const std::string* _prepared(const char* sql, const Params& params, bool pipelined,
                               bool& sent);

  // Whether the session's plans have served their time (see kPlanLifetime in the source)
  // and may be dropped now, outside any transaction.
  bool _plansDue() const;
  void _readTogether(const std::vector<const char*>& preparation, std::vector<Result>& results);

  PGconn* conn_ = nullptr;
  uint64_t session_ = 0;
  uint64_t named_ = 0;  // prepared statements named so far (names are never reused)
  std::map<std::string, std::string> prepared_;  // statement text -> name, this session
  std::chrono::steady_clock::time_point plannedSince_;  // when the plans were last dropped
  std::string uri_;
  int failCode_ = 0;
  std::string failText_ = "no failure";
};

// The message of a failed connection attempt or statement, on one line, without anything
// of the connection string.
std::string serverMessage(PGconn* conn);

}  // namespace qlx::pg

#endif  // QLX_PG_CONNECTION_H
