// The PostgreSQL store: the broker's state in a database named by a postgresql:// URI, so
// that processes on several hosts share one broker.
//
// A unit of work is one transaction of the store's unit connection: a claimed get locks its
// message row (SELECT ... FOR UPDATE SKIP LOCKED), so two units never hold one message and
// a dead process's claims end with its session; commit deletes the claimed rows and
// inserts the staged puts; rollback raises the backout counts of the claimed rows and
// moves them to the front of their queues, in the same transaction, then commits.
//
// A process that dies with messages claimed cannot raise their counts itself. Its unit's
// row locks leave the trace: a locked row keeps the id of the locking transaction (xmax),
// and that transaction is aborted once the session has ended. When recoverEnded() finds a
// connection whose session has gone it looks for messages whose last locker aborted and
// raises their counts. A claim thus costs no write and no round trip of its own; a crash of
// the database server may forget the last locks (their messages then come back without the
// raise), and may count a message once more than due that was being removed or moved
// outside a unit at the moment of the crash.
//
// The side connection runs what happens outside a unit while a unit is open (puts and
// gets without syncpoint), and listens for the queues' wake notices: a trigger on the
// message table notifies channel qlx_<md5 of the queue> on every insert or move (a unit's
// commit only while someone waits, pg_wait.h), and a session inside a transaction would
// not receive them. It listens too on qlx_fault, which
// addFault notifies in the transaction that adds the fault: whether faults are pending is
// read once and then again only after such a notice (or a new session), so that the calls
// of the C interface cost no read while none are. A fault reaches a running process when
// its notice does: a call that starts within that delivery time (normally well under a
// millisecond; longer on a loaded server) after `qlxadm fault` returned may not see it.
//
// The hops of a service are kept once read, until a directory edit: editDirectory notifies
// qlx_directory in its transaction, so a put costs no read of them; an edit reaches a
// running process as a fault does.
//
// A claimed get is BEGIN and the locking read in one round trip; a commit is the look for
// waiters of the queues it writes, the removal of what was got, the puts and COMMIT in one
// (and a wake after it only when a waiter was found); a rollback the raises and COMMIT in
// one.
// Statements are prepared once per session.
#ifndef QLX_PG_BROKER_H
#define QLX_PG_BROKER_H

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "broker_store.h"
#include "pg_connection.h"

namespace qlx {

class PgBrokerStore final : public BrokerStore {
 public:
  explicit PgBrokerStore(std::string uri) : uri_(std::move(uri)) {}
  ~PgBrokerStore() override;

  bool open(std::string& error) override;
  int errorCode() const override { return failure_->errorCode(); }
  std::string errorText() const override { return failure_->errorText(); }

  int findEntry(bool element, const std::string& name, EntryFacts& facts) override;
  bool attach(int kind, const std::string& name, int64_t& handle) override;
  bool detach() override;
  void abandonInChild() override;
  int64_t recoverEnded(std::vector<std::string>& returned) override;
  std::unique_ptr<QueueWait> makeWait(const std::string& queue) override;

  int take(const std::string& queue, const Match& match, Take take, MessageRow& row) override;
  bool keepClaim(size_t slot, int64_t id) override;
  void releaseClaim(int64_t id) override;
  bool put(const MessageRow& row) override;
  int commit(const UnitOfWork& unit) override;
  bool endEmptyUnit() override;
  bool rollback(const UnitOfWork& unit) override;

  bool serviceHops(std::string_view service, std::vector<Hop>& hops) override;
  std::unique_ptr<qlxDirInterface> directory() override;
  bool readDirectory(DirectoryModel& model, std::string& error) override;
  bool editDirectory(const DirectoryEdit& edit, std::string& error) override;

  bool takeFault(const char* call, std::string_view name, Fault& fault) override;
  bool addFault(const Fault& fault, std::string& error) override;
  bool listFaults(std::vector<Fault>& faults, std::string& error) override;
  bool clearFaults(std::string& error) override;

  bool listQueues(std::vector<QueueInfo>& queues, std::string& error) override;
  bool browse(const std::string& queue, std::vector<BrowsedMessage>& rows,
              std::string& error) override;
  bool errorEntries(const std::string& element, std::vector<MessageRow>& rows,
                    std::string& error) override;
  int64_t settleErrors(const std::string& element, const std::vector<int64_t>& ids,
                       bool remove, std::string& error) override;
  bool resetRuntime(std::string& error) override;

  Metrics& metrics() override;
  bool oldestMessages(std::map<std::string, int64_t>& oldest, std::string& error) override;
  bool elementServers(std::vector<ServerStats>& elements, std::string& error) override;
  // One statement, so one snapshot of the tables.
  bool viewFigures(std::vector<QueueInfo>& queues, std::map<std::string, int64_t>& oldest,
                   std::vector<ServerStats>& elements, std::string& error) override;

  // The side connection, opened or made again as needed (for the wait object); null while
  // the server is away.
  pg::Connection* side() { return _ensureSide() ? &side_ : nullptr; }
  // The side connection when open and not lost, without reconnecting (else null). Null
  // too once the connection is detached: what its session holds (a waiter's lock) ends
  // with it, so nothing more is said on it.
  pg::Connection* sideIfOpen() {
    return side_.isOpen() && !side_.lost() && !detached_ ? &side_ : nullptr;
  }
  // The side connection's session as it is now, without reconnecting (may be null).
  PGconn* sideSession() const { return side_.raw(); }
  uint64_t sideSessionId() const { return side_.session(); }
  // Reads the notices that came on the side connection (none arrive elsewhere) and notes
  // a fault notice. Whether any came. Costs no round trip.
  bool takeNotices();

 private:
  pg::Connection& _outside();
  bool _ready(pg::Connection& conn);
  bool _ensureSide();
  bool _inOneTransaction(pg::Connection& conn, const std::function<bool()>& body);
  bool _listening();
  bool _faultsMayBePending();
  void _afterFailedEnd(const pg::Result& end);
  void _wakeWaited(const std::set<std::string>& written, const std::vector<pg::Result>& done,
                   size_t looks);
  bool _settleAborted(const std::vector<int64_t>& ids, const std::vector<int64_t>& released);
  bool _fail(pg::Connection& conn, std::string& error);
  bool _holdsNothing() const;
  static void _readRow(const pg::Result& result, int row, MessageRow& message);

  std::string uri_;
  pg::Connection unit_;  // units of work, and everything else while no unit is open
  pg::Connection side_;  // wake notices, work outside an open unit
  pg::Connection* failure_ = &unit_;  // where the last failure was noted
  bool inUnit_ = false;
  bool claimed_ = false;  // whether the unit's transaction has locked a message it took
  bool detached_ = false;
  // Messages the open unit locked but let go (releaseClaim): a rollback must not leave
  // them with an aborted lock, which the recovery would take for a dead holder's claim.
  std::vector<int64_t> released_;
  // The claims of a unit whose COMMIT ran and failed, until its rollback raises them.
  std::vector<int64_t> unsettled_;
  // The queues whose last commit here found a waiter: the next one's wake goes with its
  // COMMIT.
  std::set<std::string, std::less<>> waited_;
  int64_t row_ = 0;  // this connection's row, once attached
  // What is known of pending faults: nothing (read them), none, or some (read per call).
  enum class Faults { kUnknown, kNone, kSome } faults_ = Faults::kUnknown;
  uint64_t listener_ = 0;     // the side session listening on qlx_fault and qlx_directory
  uint64_t faultsSeen_ = 0;   // faults this process had added when last looked at
  uint64_t editsSeen_ = 0;    // directory edits this process had made when last looked at
  // The hops of the services read since the directory last changed, as stored.
  std::map<std::string, std::vector<Hop>, std::less<>> keptHops_;
  Metrics* metrics_ = nullptr;  // the process's counters, once asked for
};

}  // namespace qlx

#endif  // QLX_PG_BROKER_H
