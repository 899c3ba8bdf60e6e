// The fault table.
#include "faults.h"

#include "qlx.h"
#include "store.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

constexpr const char* kFindFault =
    "SELECT id, reason, sub_reason FROM fault WHERE call = ?1 AND remaining > 0 AND "
    "(name IS NULL OR name = ?2) ORDER BY id LIMIT 1";

// Whether faults may be pending is a word of the home's shared control page: set by
// addFault, cleared only when the table is emptied, so a fault is never missed; the calls
// of the broker read the word (no system call) before they read the fault table. After
// the last fault was used the table is read until `qlxadm fault clear` or `reset`.
}  // namespace

void forgetFaultMarker(Store& store) { store.setFaultsPending(false); }

const std::vector<FaultKind>& faultKinds() {
  static const std::vector<FaultKind> kinds = {
      {"getrequest", kQlxCallGetRequest},     {"getresponse", kQlxCallGetResponse},
      // A get's copy of the message it took fails: the failure after a claim.
      {"getcopy", kQlxCallGetRequest},
      {"putrequest", kQlxCallPutRequest},     {"putresponse", kQlxCallPutResponse},
      {"commit", kQlxCallCommit},             {"rollback", kQlxCallRollback},
      {"querytheme", kQlxCallQueryTheme},     {"buildtheme", kQlxCallBuildTheme},
      {"closehandle", kQlxCallCloseHandle},   {"freebuffer", kQlxCallFreeBuffer},
      {"reporterror", kQlxCallReportError},   {"spiinitialize", kQlxCallInitialize},
      {"clientinitialize", kQlxCallInitialize}, {"terminate", kQlxCallTerminate},
      {"writelog", kQlxCallWriteLog},         {"directory", kQlxCallDirectory},
  };
  return kinds;
}

const FaultKind* findFaultKind(std::string_view name) {
  for (const FaultKind& kind : faultKinds())
    if (name == kind.name) return &kind;
  return nullptr;
}

bool takeFault(Store& store, const char* call, std::string_view name, Fault& fault) {
  if (!store.faultsMayBePending()) return false;
  {
    // The common case (no fault pending) costs one indexed read and no write.
    Query probe(store, kFindFault);
    probe.bind(1, call).bind(2, name);
    if (probe.step() != SQLITE_ROW) return false;
  }
  trc::Scope trace(kTrace);
  Transaction tx(store);
  Query find(store, kFindFault);
  find.bind(1, call).bind(2, name);
  if (!tx.ok() || find.step() != SQLITE_ROW) return trace.result(false);
  fault.id = find.integer(0);
  fault.call = call;
  fault.reason = static_cast<int32_t>(find.integer(1));
  fault.subReason.reset();
  if (!find.isNull(2)) fault.subReason = static_cast<int32_t>(find.integer(2));
  Query use(store, "UPDATE fault SET remaining = remaining - 1 WHERE id = ?1");
  Query drop(store, "DELETE FROM fault WHERE remaining <= 0");
  if (!use.bind(1, fault.id).run() || !drop.run()) return trace.result(false);
  return trace.result(tx.commit());
}

bool addFault(Store& store, const Fault& fault, std::string& error) {
  Query add(store,
            "INSERT INTO fault (call, reason, sub_reason, remaining, name) "
            "VALUES (?1, ?2, ?3, ?4, ?5)");
  add.bind(1, fault.call).bind(2, fault.reason).bind(4, fault.remaining);
  if (fault.subReason) add.bind(3, *fault.subReason); else add.bindNull(3);
  if (fault.name) add.bind(5, *fault.name); else add.bindNull(5);
  if (!add.run()) {
    error = store.errorText();
    return false;
  }
  store.setFaultsPending(true);
  return true;
}

bool listFaults(Store& store, std::vector<Fault>& faults, std::string& error) {
  faults.clear();
  Query list(store,
             "SELECT id, call, reason, sub_reason, remaining, name FROM fault ORDER BY id");
  int rc;
  while ((rc = list.step()) == SQLITE_ROW) {
    Fault f;
    f.id = list.integer(0);
    f.call = list.text(1);
    f.reason = static_cast<int32_t>(list.integer(2));
    if (!list.isNull(3)) f.subReason = static_cast<int32_t>(list.integer(3));
    f.remaining = list.integer(4);
    if (!list.isNull(5)) f.name = list.text(5);
    faults.push_back(std::move(f));
  }
  if (rc == SQLITE_DONE) return true;
  error = store.errorText();
  return false;
}

bool clearFaults(Store& store, std::string& error) {
  if (store.exec("DELETE FROM fault")) {
    forgetFaultMarker(store);
    return true;
  }
  error = store.errorText();
  return false;
}

}  // namespace qlx
