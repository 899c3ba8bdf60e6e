// qlxSPIInitialize, qlxClientInitialize and qlxTerminate.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "connection.h"
#include "dirguard.h"
#include "errors.h"
#include "log.h"
#include "settings.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// The name of an address record: at most 132 characters, the field need not be
// terminated. False when the record is missing or not a "BXAD" record.
bool addressName(const QLXADDR* addr, std::string& name) {
  if (!addr || std::memcmp(addr->Signature, "BXAD", 4) != 0) return false;
  name.assign(addr->Name, strnlen(addr->Name, sizeof addr->Name));
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

// The refusal of a name the directory lacks. A name that exists in another broker home is
// the usual cause (QLX_HOME unset or mistyped), so the broker looked in is named too while
// the text still fits the error record.
std::string unknownNameText(Kind kind, const std::string& name) {
  char text[sizeof(QLXERRDETAIL::Text)];
  std::snprintf(text, sizeof text,
                "%s ``%.80s'' is not in the directory: load a directory that defines it, or "
                "correct the name",
                kind == Kind::kElement ? "business element" : "client", name.c_str());
  return withBrokerInUse(text, sizeof text - 1);
}

// Opens the store, checks the directory and registers; the connection is not yet in the
// registry. Null with the last error set on failure.
std::unique_ptr<Connection> connect(int32_t call, Kind kind, const std::string& name,
                                    EntryFacts& entry) {
  auto c = std::make_unique<Connection>();
  c->kind = kind;
  c->name = name;
  c->queue = (kind == Kind::kElement ? "element:" : "client:") + name;
  c->pid = currentPid();
  c->store = makeBrokerStore();
  std::string error;
  if (!c->store->open(error) || !logWritable(error)) {
    const std::string action = homeAction(homePath());
    fail(call, kReasonHome, "%.200s", (action.empty() ? error : action).c_str());
    return nullptr;
  }
  int found = c->store->findEntry(kind == Kind::kElement, name, entry);
  int64_t handle = 0;
  if (found < 0 || (found > 0 && !c->store->attach(static_cast<int>(kind), name, handle))) {
    failSub(call, kReasonStorage, c->store->errorCode(), "broker database: %.180s",
            c->store->errorText().c_str());
    return nullptr;
  }
  if (found == 0) {
    fail(call, kReasonUnknownName, "%s", unknownNameText(kind, name).c_str());
    return nullptr;
  }
  c->handle = static_cast<QLXHANDLE>(handle);
  c->waiter = c->store->makeWait(c->queue);
  c->defaultActions = entry.defaultActions;
  if (kind == Kind::kElement)
    appendLog(kInfo, name, "connected: " + settingsSummary(homePath()));
  recoverDeadConnections(*c, true);
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
  EntryFacts entry;
  std::unique_ptr<Connection> c = connect(kQlxCallInitialize, Kind::kElement, name, entry);
  if (!c) return trace.result(0);
  c->directory = guardDirectory(c->store->directory(), *c);
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
  EntryFacts entry;
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
  // A registration that could not go (or whose unit could not be rolled back) ends with
  // the process, when the next connection that looks rolls back whatever it still holds.
  const bool ok = rollbackUnit(*c) && c->store->detach();
  if (!ok)
    failSub(kQlxCallTerminate, kReasonStorage, c->store->errorCode(),
            "qlxTerminate: broker database: %.180s", c->store->errorText().c_str());
  c->exit.stop();
  unregisterConnection(*handle);  // `c` and its query statements end here
  *handle = 0;
  return trace.result(ok ? 1 : 0);
}
