#include "quorconnection.h"

#include <cstdlib>

#include "erroradt.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "trc.h"

static trc::Module kTrace{"zvrutil"};

std::unique_ptr<QuorTransaction> zvrMakeTransaction(unsigned long syncType, QLXHANDLE handle) {
  trc::Scope trace(kTrace);
  if (syncType == 1) return std::make_unique<QuorLocalSync>(handle);
  if (syncType == 0) return std::make_unique<QuorNoSync>();
  return nullptr;
}

void zvrConnectionFailed(QLXHANDLE& handle, const ZvrRaised& entry, const QLXERROR& record) {
  trc::Scope trace(kTrace);
  auto* error = new QuorError(entry.id, entry.severity, entry.text, entry.userAction, record);
  error->writeLog();
  zvrSetError(error);
  if (handle != 0) qlxTerminate(&handle);
  std::exit(1);
}

bool zvrSkipSuppressed(const ZvrRaised& suppressed, const ZvrRaised& failed, bool gotResponse) {
  trc::Scope trace(kTrace);
  QLXERROR last{};
  qlxGetLastError(&last);
  if (!zvrIsSuppressed(last, gotResponse)) {
    zvrSetError(new QuorError(failed.id, failed.severity, failed.text, failed.userAction, last));
    return trace.result(false);
  }
  QuorError(suppressed.id, suppressed.severity, suppressed.text, suppressed.userAction, last)
      .writeLog();
  return trace.result(true);
}

int zvrUnitOutcome(int done, const ZvrRaised& failed) {
  trc::Scope trace(kTrace);
  if (done) return trace.result(1);
  zvrSetError(new QuorError(failed.id, failed.severity, failed.text, failed.userAction));
  return trace.result(0);
}
