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
#include "metrics.h"
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

// In a child after fork: the parent's connections keep their leases and claims.
void abandonInChild();

std::atomic<pid_t> gPid{0};

void refreshPid() { gPid = getpid(); }

void lockRegistry() { gMutex.lock(); }
void unlockRegistry() { gMutex.unlock(); }

void abandonInChild() {
  refreshPid();
  for (auto& entry : registry()) {
    entry.second->store->abandonInChild();
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

void recoverDeadConnections(BrokerStore& store) {
  trc::Scope trace(kTrace);
  std::vector<std::string> returned;
  const int64_t ended = store.recoverEnded(returned);
  countRecovered(store, returned);
  if (ended <= 0) return;
  appendLog(kWarning, processConnectionName(),
            "rolled back the open units of work of " + std::to_string(ended) +
                " ended connection(s)");
}

void recoverDeadConnections(Connection& connection, bool now) {
  const int64_t clock = nowMillis();
  if (!now && clock < connection.nextRecovery) return;
  connection.nextRecovery = clock + kRecoveryIntervalMillis;
  recoverDeadConnections(*connection.store);
}

// The store hears of every unit that ends, an empty one too: its side of the unit (a
// transaction begun by a get that found nothing) ends with it.
bool rollbackUnit(Connection& c) {
  if (!c.store->rollback(c.work)) return false;
  countRollback(c);
  c.work = UnitOfWork{};
  return true;
}

namespace {

// The store of calls without a connection, opened on first need and closed when the
// process's last connection ends (closing the last store lets the WAL keeper checkpoint).
std::mutex gProcessStoreMutex;
BrokerStore* gProcessStore = nullptr;
pid_t gProcessStoreOwner = 0;
std::string gProcessStoreHome;

void closeProcessStore() {
  std::lock_guard<std::mutex> lock(gProcessStoreMutex);
  if (gProcessStore && gProcessStoreOwner == getpid()) delete gProcessStore;
  gProcessStore = nullptr;
}

}  // namespace

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
  std::unique_ptr<Connection> connection;
  bool last = true;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    auto found = registry().find(handle);
    if (found == registry().end()) return nullptr;
    connection = std::move(found->second);
    registry().erase(found);
    for (const auto& entry : registry())
      if (entry.second->pid == currentPid()) last = false;
  }
  if (last) closeProcessStore();
  return connection;
}

std::string processConnectionName() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto it = registry().rbegin(); it != registry().rend(); ++it)
    if (it->second->pid == currentPid()) return it->second->name;
  return "-";
}

BrokerStore* processStore() {
  std::lock_guard<std::mutex> lock(gProcessStoreMutex);
  // A child after fork opens its own (a database connection never crosses a fork), and a
  // changed broker address gets a store of its own.
  if (gProcessStore && gProcessStoreOwner == getpid() && gProcessStoreHome == brokerAddress())
    return gProcessStore;
  BrokerStore* fresh = makeBrokerStore().release();
  std::string error;
  if (!fresh->open(error)) {
    delete fresh;
    return nullptr;
  }
  if (gProcessStoreOwner == getpid()) delete gProcessStore;  // never the parent's in a child
  gProcessStore = fresh;
  gProcessStoreOwner = getpid();
  gProcessStoreHome = brokerAddress();
  return gProcessStore;
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
  BrokerStore* store = own ? own->store.get() : (brokerExists() ? processStore() : nullptr);
  if (!call || !store) return false;
  const std::string who = name ? name : (own ? own->name : processConnectionName());
  Fault fault;
  if (!store->takeFault(call, who, fault)) return false;
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
