// Connections of this process: a business element or client registered with the broker,
// with its own store connection, theme handles, open unit of work and (for an element)
// the error-action exit. Every C call runs inside a CallScope, which finds the connection,
// applies injected faults and shows a failed call to the element's exit.
#ifndef QLX_CONNECTION_H
#define QLX_CONNECTION_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "broker_store.h"
#include "exit.h"
#include "qlx.h"
#include "qlxdir.h"
#include "queue.h"
#include "theme.h"

namespace qlx {

enum class Kind : int { kElement = 1, kClient = 2 };

struct Connection {
  QLXHANDLE handle = 0;  // also the connection's row id
  Kind kind = Kind::kClient;
  std::string name;
  std::string queue;  // "element:NAME" or "client:NAME"
  pid_t pid = 0;
  std::unique_ptr<BrokerStore> store;
  ThemeTable themes;
  UnitOfWork work;
  std::unique_ptr<QueueWait> waiter;
  std::unique_ptr<qlxDirInterface> directory;
  ExitSession exit;
  uint32_t defaultActions = kQlxActionStore;
  int64_t nextRecovery = 0;  // monotonic ms of the next look for dead processes
};

// This process's id, without a system call per use (refreshed in a child after fork).
pid_t currentPid();

// The connection of `handle` made by this process, or null.
Connection* findConnection(QLXHANDLE handle);
// Adds a connection made by this process; takes one out (null when unknown).
void registerConnection(std::unique_ptr<Connection> connection);
std::unique_ptr<Connection> unregisterConnection(QLXHANDLE handle);
// The name of this process's newest connection, or "-" (for calls without a handle).
std::string processConnectionName();
// A store for calls without a connection; null when the broker cannot be opened.
BrokerStore* processStore();

// Rolls back the open units of work of connections whose lease has ended (their process
// is gone) and forgets those connections, at most once a second per connection unless
// `now`. Costs one look at each connection's lease when nobody ended, whatever the depth
// of the queues.
void recoverDeadConnections(Connection& connection, bool now);
void recoverDeadConnections(BrokerStore& store);

// Rolls back the open unit of work: its claimed messages go back to the front of their
// queues with the backout count raised by one, its puts are dropped. False (noted on the
// store) when the store fails; the unit then stays open.
bool rollbackUnit(Connection& connection);

class CallScope {
 public:
  CallScope(int32_t callType, QLXHANDLE handle);
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // The call's connection; null (with the last error set) when the handle is unknown or
  // belongs to another process.
  Connection* connection();
  // True when a fault was injected for this call: the last error holds it and the exit was
  // consulted. `name` is the connection name for calls made before there is a connection.
  bool injected(const char* faultName = nullptr, const char* name = nullptr);
  // Passes the call's result through; a failure is shown to the element's exit.
  int done(int result);

 private:
  int32_t callType_;
  QLXHANDLE handle_;
  Connection* connection_ = nullptr;
};

// The exception record's text: TextLength bytes of the text buffer at most (and no more
// than the buffer's own length when it gives one), up to a NUL.
std::string exceptionText(const QLXEXCEPTION& exception);

// Asks the element's exit which actions to perform for `exception` (borrowed), logs the
// decision with `what` ("qlxGetRequest failed with reason 20"), and carries out the log
// and alert actions. Returns the performed actions (the default ones without an exit).
uint32_t consultExit(Connection& connection, QLXEXCEPTION* exception, uint32_t defaultActions,
                     uint32_t detailFlags, const std::string& what);

}  // namespace qlx

#endif  // QLX_CONNECTION_H
