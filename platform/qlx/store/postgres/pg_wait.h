// Waiting for a queue of the PostgreSQL store: LISTEN on the queue's channel (the side
// connection's session, which never stays inside a transaction) and ppoll on its socket
// with the caller's signal mask, so that a signal ends the wait at once. A wait wakes at
// least once a second to look again: a unit that died frees its messages without a notice
// until someone recovers them.
#ifndef QLX_PG_WAIT_H
#define QLX_PG_WAIT_H

#include <signal.h>

#include <cstdint>

#include <libpq-fe.h>

#include <string>

#include "broker_store.h"

namespace qlx {
class PgBrokerStore;
}

namespace qlx::pg {

class PgWait final : public QueueWait {
 public:
  PgWait(PgBrokerStore& store, std::string queue);
  ~PgWait() override;
  PgWait(const PgWait&) = delete;
  PgWait& operator=(const PgWait&) = delete;

  void block() override;
  void unblock() override;
  Outcome sleep(int64_t millis) override;

 private:
  bool _listen();
  void _drain();

  PgBrokerStore& store_;
  std::string queue_;
  uint64_t listened_ = 0;  // the side session that listens (Connection::session()), or 0
  bool blocked_ = false;
  sigset_t saved_;
};

}  // namespace qlx::pg

#endif  // QLX_PG_WAIT_H
