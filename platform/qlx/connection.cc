// The connection registry of this process, call scopes, recovery of dead processes'
// units of work, and the exit consultation of failed calls.
#include "connection.h"

#include <signal.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "errors.h"
#include "faults.h"
#include "log.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

std::mutex gMutex;
std::map<QLXHANDLE, std::unique_ptr<Connection>>& registry() {
  static auto* map = new std::map<QLXHANDLE, std::unique_ptr<Connection>>;
  return *map;
}

constexpr int64_t kRecoveryIntervalMillis = 1000;

struct Ended {
  int64_t id;
  std::string token;
};

std::vector<Ended> endedConnections(Store& store) {
  std::vector<Ended> ended;
  Query list(store, "SELECT id, token FROM connection");
  while (list.step() == SQLITE_ROW) {
    std::string token = list.text(1);
    if (!leaseHeld(store.home(), token)) ended.push_back({list.integer(0), std::move(token)});
  }
  return ended;
}

// Within the recovery transaction: the connection's row is still there (no other process
// recovered it meanwhile), its claims go back, the row goes. `recovered` tells whether this
// process did it: every process that noticed the ended connection gets here, one does it.
bool recoverOne(Store& store, const Ended& ended, std::vector<std::string>& queues,
                bool& recovered) {
  recovered = false;
  {
    Query still(store, "SELECT 1 FROM connection WHERE id = ?1");
    const int rc = still.bind(1, ended.id).step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
  }
  recovered = true;
  if (!returnClaims(store, leaseClaims(store.home(), ended.token), true, queues)) return false;
  Query drop(store, "DELETE FROM connection WHERE id = ?1");
  return drop.bind(1, ended.id).run();
}

// In a child after fork: the parent's connections keep their leases and claims.
void abandonInChild();

std::atomic<pid_t> gPid{0};

void refreshPid() { gPid = getpid(); }

void lockRegistry() { gMutex.lock(); }
void unlockRegistry() { gMutex.unlock(); }

void abandonInChild() {
  refreshPid();
  for (auto& entry : registry()) {
    entry.second->lease.abandon();
    entry.second->store.claims().abandon();
  }
  gMutex.unlock();
}

}  // namespace

pid_t currentPid() {
  pid_t pid = gPid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(lockRegistry, unlockRegistry, abandonInChild); });
  refreshPid();
  return gPid;
}

void recoverDeadConnections(Store& store) {
  trc::Scope trace(kTrace);
  const std::vector<Ended> ended = endedConnections(store);
  if (ended.empty()) return;
  std::vector<std::string> queues;
  size_t recovered = 0;
  {
    Transaction tx(store);
    if (!tx.ok()) return;
    for (const Ended& one : ended) {
      bool mine = false;
      if (!recoverOne(store, one, queues, mine)) return;
      recovered += mine ? 1 : 0;
    }
    if (!tx.commit()) return;
  }
  for (const Ended& one : ended) removeLease(store.home(), one.token);
  notifyQueues(store, queues);
  if (recovered == 0) return;
  appendLog(kWarning, processConnectionName(),
            "rolled back the open units of work of " + std::to_string(recovered) +
                " ended connection(s)");
}

void recoverDeadConnections(Connection& connection, bool now) {
  const int64_t clock = nowMillis();
  if (!now && clock < connection.nextRecovery) return;
  connection.nextRecovery = clock + kRecoveryIntervalMillis;
  recoverDeadConnections(connection.store);
}

void endUnit(Connection& c, bool committed) {
  if (!c.work.claims.empty()) {
    // First: a claim released but still listed would be counted twice. A commit deleted
    // every listed message, and ids are never reused, so its list names nothing any more
    // and is left for the next get to overwrite.
    if (!committed) c.lease.clear();
    c.store.claims().unlockAll();
  }
  c.work = UnitOfWork{};
}

bool rollbackUnit(Connection& c) {
  std::vector<int64_t> ids;
  for (const Claim& claim : c.work.claims) ids.push_back(claim.id);
  std::vector<std::string> queues;
  if (!ids.empty() && !returnClaims(c.store, ids, false, queues)) return false;
  endUnit(c, false);
  notifyQueues(c.store, queues);
  return true;
}

Connection* findConnection(QLXHANDLE handle) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto found = registry().find(handle);
  return found == registry().end() ? nullptr : found->second.get();
}

void registerConnection(std::unique_ptr<Connection> connection) {
  std::lock_guard<std::mutex> lock(gMutex);
  QLXHANDLE handle = connection->handle;
  registry()[handle] = std::move(connection);
}

std::unique_ptr<Connection> unregisterConnection(QLXHANDLE handle) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto found = registry().find(handle);
  if (found == registry().end()) return nullptr;
  std::unique_ptr<Connection> connection = std::move(found->second);
  registry().erase(found);
  return connection;
}

std::string processConnectionName() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto it = registry().rbegin(); it != registry().rend(); ++it)
    if (it->second->pid == currentPid()) return it->second->name;
  return "-";
}

Store* processStore() {
  static std::mutex mutex;
  static Store* store = nullptr;
  static pid_t owner = 0;
  static std::string home;
  std::lock_guard<std::mutex> lock(mutex);
  // A child after fork opens its own (a database connection never crosses a fork), and a
  // changed QLX_HOME gets a store on the new home.
  if (store && owner == getpid() && home == homePath()) return store;
  auto* fresh = new Store;
  std::string error;
  if (!fresh->open(error)) {
    delete fresh;
    return nullptr;
  }
  if (owner == getpid()) delete store;  // never close the parent's copy in a child
  store = fresh;
  owner = getpid();
  home = homePath();
  return store;
}

CallScope::CallScope(int32_t callType, QLXHANDLE handle)
    : callType_(callType), handle_(handle) {
  if (handle_ != 0) connection_ = findConnection(handle_);
}

Connection* CallScope::connection() {
  if (!connection_) {
    fail(callType_, kReasonInvalidHandle, "%s: connection handle %u is not open",
         callName(callType_), handle_);
    return nullptr;
  }
  if (connection_->pid != currentPid()) {
    fail(callType_, kReasonForeignProcess,
         "%s: connection handle %u belongs to process %d (handles do not cross fork)",
         callName(callType_), handle_, static_cast<int>(connection_->pid));
    return nullptr;
  }
  return connection_;
}

bool CallScope::injected(const char* faultName, const char* name) {
  const char* call = faultName;
  for (const FaultKind& kind : faultKinds())
    if (!call && kind.callType == callType_) call = kind.name;
  Connection* own = connection_ && connection_->pid == currentPid() ? connection_ : nullptr;
  // Without a connection a call looks only at a home that exists: a program that merely
  // releases a buffer or writes a line does not create a broker database.
  Store* store = own ? &own->store
                     : (access(databasePath().c_str(), F_OK) == 0 ? processStore() : nullptr);
  if (!call || !store) return false;
  const std::string who = name ? name : (own ? own->name : processConnectionName());
  Fault fault;
  if (!takeFault(*store, call, who, fault)) return false;
  if (fault.subReason)
    failSub(callType_, fault.reason, *fault.subReason, "%s: injected fault (reason %d)",
            callName(callType_), fault.reason);
  else
    fail(callType_, fault.reason, "%s: injected fault (reason %d)", callName(callType_),
         fault.reason);
  done(0);
  return true;
}

int CallScope::done(int result) {
  if (result != 0 || !connection_ || connection_->pid != currentPid()) return result;
  if (connection_->kind != Kind::kElement || !connection_->exit.active()) return result;
  QLXEXCEPTION exception = kQlxExceptionDefault;
  exception.Flags = kQlxExcError | kQlxExcText;
  std::memcpy(&exception.Error, &lastError(), sizeof exception.Error);
  exception.CallType = callType_;
  char text[sizeof exception.Error.Reason.Text + 1] = {};
  std::memcpy(text, exception.Error.Reason.Text, sizeof exception.Error.Reason.Text);
  exception.TextBuffer = QLXBUFFER{0, static_cast<uint32_t>(strlen(text)), text};
  exception.TextLength = exception.TextBuffer.Length;
  consultExit(*connection_, &exception, connection_->defaultActions, 0,
              std::string(callName(callType_)) + " failed with reason " +
                  std::to_string(exception.Error.Reason.Code));
  return result;
}

std::string exceptionText(const QLXEXCEPTION& exception) {
  const auto* data = static_cast<const char*>(exception.TextBuffer.Data);
  if (!data) return std::string();
  size_t length = exception.TextLength;
  if (exception.TextBuffer.Length != 0 && exception.TextBuffer.Length < length)
    length = exception.TextBuffer.Length;
  return std::string(data, strnlen(data, length));
}

uint32_t consultExit(Connection& connection, QLXEXCEPTION* exception, uint32_t defaultActions,
                     uint32_t detailFlags, const std::string& what) {
  trc::Scope trace(kTrace);
  const QLXERROR saved = lastError();  // the exit must not disturb the caller's error
  bool decided = false;
  uint32_t performed = defaultActions;
  if (connection.exit.active())
    performed = connection.exit.analyse(exception, defaultActions, detailFlags, decided);
  char line[768];
  std::snprintf(line, sizeof line, "exit %.300s: %.200s: actions requested 0x%x, performed 0x%x%s",
                connection.exit.active() ? connection.exit.path().c_str() : "(none)",
                what.c_str(), defaultActions, performed,
                decided ? "" : " (exit left the profile unchanged)");
  if (connection.exit.active()) appendLog(kInfo, connection.name, line);
  if (performed != kQlxActionNone && (performed & kQlxActionLog))
    appendLog(kError, connection.name, exceptionText(*exception));
  if (performed != kQlxActionNone && (performed & kQlxActionAlert))
    appendLog(kSevere, connection.name, std::string("ALERT: ") + line);
  if (performed != kQlxActionNone && (performed & kQlxActionTrace) && kTrace.printfs())
    TRC1_Printf(kTrace.name, "%s", line);
  restoreLastError(saved);
  return trace.result(performed);
}

}  // namespace qlx
