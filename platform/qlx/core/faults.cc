// The kinds of calls a fault can be injected into.
#include "faults.h"

#include "qlx.h"

namespace qlx {

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

}  // namespace qlx
