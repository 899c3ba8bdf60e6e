// qlxSPIInitialize, qlxClientInitialize and qlxTerminate.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "connection.h"
#include "directory.h"
#include "dirguard.h"
#include "errors.h"
#include "leasesweep.h"
#include "log.h"
#include "settings.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

struct DirectoryEntry {
  uint32_t defaultActions = kQlxActionStore;
  std::string exitLibrary;
};

// The name of an address record: at most 132 characters, the field need not be
// terminated. False when the record is missing or not a "BXAD" record.
bool addressName(const QLXADDR* addr, std::string& name) {
  if (!addr || std::memcmp(addr->Signature, "BXAD", 4) != 0) return false;
  name.assign(addr->Name, strnlen(addr->Name, sizeof addr->Name));
  return true;
}

// 1 found, 0 not in the directory, -1 database failure.
int lookUp(Store& store, Kind kind, const std::string& name, DirectoryEntry& entry) {
  const char* sql = kind == Kind::kElement
                        ? "SELECT default_actions, exit_library FROM element WHERE name = ?1"
                        : "SELECT 1, NULL FROM client WHERE name = ?1";
  Query q(store, sql);
  q.bind(1, name);
  int rc = q.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  entry.defaultActions = static_cast<uint32_t>(q.integer(0));
  if (!q.isNull(1)) entry.exitLibrary = q.text(1);
  return 1;
}

bool registerRow(Connection& c) {
  Query add(c.store,
            "INSERT INTO connection (name, kind, token, pid, started) "
            "VALUES (?1, ?2, ?3, ?4, ?5)");
  add.bind(1, c.name).bind(2, static_cast<int>(c.kind)).bind(3, c.lease.token());
  add.bind(4, c.pid).bind(5, static_cast<int64_t>(time(nullptr)));
  if (!add.run()) return false;
  c.handle = static_cast<QLXHANDLE>(sqlite3_last_insert_rowid(c.store.db()));
  return true;
}

void startExit(Connection& c, const std::string& path) {
  if (path.empty()) return;
  std::string error;
  if (!c.exit.start(path, error)) {
    error += "; the element's default actions apply";
    appendLog(kSevere, c.name, error);
    // The log may be read only later: the server's operator sees it at start-up.
    std::fprintf(stderr, "qlx: business element %s: %s\n", c.name.c_str(), error.c_str());
  }
}

// Opens the store, checks the directory and registers; the connection is not yet in the
// registry. Null with the last error set on failure.
std::unique_ptr<Connection> connect(int32_t call, Kind kind, const std::string& name,
                                    DirectoryEntry& entry) {
  auto c = std::make_unique<Connection>();
  c->kind = kind;
  c->name = name;
  c->queue = (kind == Kind::kElement ? "element:" : "client:") + name;
  c->pid = currentPid();
  std::string error;
  // The lease is taken before the row exists: a row without a held lease is an ended
  // connection.
  if (!c->store.open(error) || !c->lease.open(c->store.home(), error)) {
    const std::string action = homeAction(homePath());
    fail(call, kReasonHome, "%.200s", (action.empty() ? error : action).c_str());
    c->lease.end();
    return nullptr;
  }
  int found = lookUp(c->store, kind, name, entry);
  if (found < 0 || (found > 0 && !registerRow(*c))) {
    failSub(call, kReasonStorage, c->store.errorCode(), "broker database: %.180s",
            c->store.errorText().c_str());
    c->lease.end();
    return nullptr;
  }
  if (found == 0) {
    fail(call, kReasonUnknownName,
         "%s ``%.80s'' is not in the directory: load a directory that defines it, or "
         "correct the name",
         kind == Kind::kElement ? "business element" : "client", name.c_str());
    c->lease.end();
    return nullptr;
  }
  c->waiter.watch(wakePath(c->store.home(), c->queue), c->store.waiters(c->queue));
  c->defaultActions = entry.defaultActions;
  if (kind == Kind::kElement)
    appendLog(kInfo, name, "connected: " + settingsSummary(c->store.home()));
  recoverDeadConnections(*c, true);
  if (const int removed = reclaimOrphanLeases(c->store, time(nullptr)))
    appendLog(kInfo, name, "removed " + std::to_string(removed) +
                               " lease file(s) of processes that ended before connecting");
  return c;
}

}  // namespace
}  // namespace qlx

using namespace qlx;

extern "C" int qlxSPIInitialize(const QLXADDR* addr, int32_t, QLXHANDLE* handle,
                                void** directory, void*) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallInitialize, 0);
  std::string name;
  if (!addressName(addr, name) || !handle)
    return trace.result(failSub(kQlxCallInitialize, kReasonInvalidArgument, addr ? 3 : 1,
                                "qlxSPIInitialize: no \"BXAD\" address record or no handle"));
  if (call.injected("spiinitialize", name.c_str())) return trace.result(0);
  DirectoryEntry entry;
  std::unique_ptr<Connection> c = connect(kQlxCallInitialize, Kind::kElement, name, entry);
  if (!c) return trace.result(0);
  c->directory = guardDirectory(makeDirectory(c->store.db()), *c);
  startExit(*c, entry.exitLibrary);
  *handle = c->handle;
  if (directory) *directory = c->directory.get();
  registerConnection(std::move(c));
  return trace.result(1);
}

extern "C" int qlxClientInitialize(const QLXADDR* addr, QLXHANDLE* handle) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallInitialize, 0);
  std::string name;
  if (!addressName(addr, name) || !handle)
    return trace.result(failSub(kQlxCallInitialize, kReasonInvalidArgument, addr ? 2 : 1,
                                "qlxClientInitialize: no \"BXAD\" address record or no handle"));
  if (call.injected("clientinitialize", name.c_str())) return trace.result(0);
  DirectoryEntry entry;
  std::unique_ptr<Connection> c = connect(kQlxCallInitialize, Kind::kClient, name, entry);
  if (!c) return trace.result(0);
  *handle = c->handle;
  registerConnection(std::move(c));
  return trace.result(1);
}

extern "C" int qlxTerminate(QLXHANDLE* handle) {
  trc::Scope trace(kTrace);
  if (!handle)
    return trace.result(failSub(kQlxCallTerminate, kReasonInvalidArgument, 1,
                                "qlxTerminate: no handle"));
  CallScope call(kQlxCallTerminate, *handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  bool ok = rollbackUnit(*c);
  {
    Query drop(c->store, "DELETE FROM connection WHERE id = ?1");
    ok = drop.bind(1, c->handle).run() && ok;
  }
  // A lease whose row could not go stays held until the process ends, when the next
  // connection that looks rolls back whatever it still lists.
  if (ok) c->lease.end();
  if (!ok)
    failSub(kQlxCallTerminate, kReasonStorage, c->store.errorCode(),
            "qlxTerminate: broker database: %.180s", c->store.errorText().c_str());
  c->exit.stop();
  unregisterConnection(*handle);  // `c` and its query statements end here
  *handle = 0;
  return trace.result(ok ? 1 : 0);
}
