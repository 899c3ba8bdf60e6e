// The embedded store: the broker's state in the SQLite database of the home folder
// (store.h), claims as locks in the home's claims file (claims.h), a connection's life and
// its unit's claims in its lease file (lease.h), waits on wake files (wait.h). A claim
// costs no database write; a unit of work is one database transaction at commit or
// rollback.
#ifndef QLX_SQLITE_BROKER_H
#define QLX_SQLITE_BROKER_H

#include "broker_store.h"
#include "lease.h"
#include "store.h"

namespace qlx {

class SqliteBrokerStore final : public BrokerStore {
 public:
  SqliteBrokerStore() = default;
  ~SqliteBrokerStore() override;

  bool open(std::string& error) override;
  int errorCode() const override { return store_.errorCode(); }
  std::string errorText() const override { return store_.errorText(); }

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
  bool commitInDoubt() const override { return store_.commitInDoubt(); }
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
  bool backup(const std::string& target, std::string& source, std::string& error) override;

  Metrics& metrics() override;
  bool oldestMessages(std::map<std::string, int64_t>& oldest, std::string& error) override;
  bool elementServers(std::vector<ServerStats>& elements, std::string& error) override;
  // The three above in one read transaction.
  bool viewFigures(std::vector<QueueInfo>& queues, std::map<std::string, int64_t>& oldest,
                   std::vector<ServerStats>& elements, std::string& error) override;

  // The database connection itself, for what only this store has (its tests, the
  // directory editor of qlxadm).
  Store& sql() { return store_; }

 private:
  bool _heldIn(std::vector<int64_t>& held, std::string& error);

  Store store_;
  Lease lease_;
  int64_t row_ = 0;  // this connection's row, once attached
};

}  // namespace qlx

#endif  // QLX_SQLITE_BROKER_H
