#include "brokerservice.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

// Writes the pending error (if any) to the log and discards it.
void _logPending() {
  trc::Scope trace(kTrace);
  if (ZVRerror) ZVRerror->writeLog();
  zvrClearError();
}

void _incompatible(const char* first, const char* second) {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat(ZVRTXT_S0009, first, second);
  ErrorADT(ZVRID_S0009, kZvrError, text.c_str(), ZVRUA_S0009).writeLog();
}

}  // namespace

BrokerService::BrokerService(const char* name) : QuorService(name) {
  trc::Scope trace(kTrace);
}

BrokerService::~BrokerService() { trc::Scope trace(kTrace); }

int BrokerService::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(QuorService::display(text));
}

int BrokerService::getOptions(int& index, int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  if (QuorService::getOptions(index, argc, argv)) return trace.result(1);
  const char* arg = argv[index];
  if (std::strcmp(arg, "-d") == 0) {
    ZVRdebug = 1;
  } else if (std::strcmp(arg, "-silent") == 0) {
    ZVRverbose = 0;
  } else if (std::strcmp(arg, "-force") == 0) {
    force_ = 1;
    _okToRun = 0;
  } else if (std::strcmp(arg, "-clear") == 0) {
    clear_ = 1;
    syncType_ = 0;
    processFlag_ = 0;
    _okToRun = 0;
  } else {
    return trace.result(0);
  }
  return trace.result(1);
}

int BrokerService::validOptions() {
  trc::Scope trace(kTrace);
  int result = 1;
  if (clear_ && force_) {
    _incompatible("-clear", "-force");
    result = 0;
  }
  if (!ZVRverbose && logFlag_) {
    ZVRverbose = 1;  // so that the operator sees why the component did not start
    _incompatible("-silent", "-logMsg");
    result = 0;
  }
  return trace.result(result ? QuorService::validOptions() : 0);
}

void BrokerService::usage(const char* program) const {
  trc::Scope trace(kTrace);
  QuorService::usage(program);
  std::cerr << " [ -silent ] [-clear] [-force]";
}

void BrokerService::initialize() { trc::Scope trace(kTrace); }

// A failed rollback or commit here leaves the request's fate to the middleware; going on
// could process it twice, so the component stops. Ending the connection first rolls the
// unit back at once rather than when the middleware notices the process has gone.
void BrokerService::_rollbackOrDie() const {
  trc::Scope trace(kTrace);
  if (element_->rollback()) return;
  _logPending();
  _die();
}

void BrokerService::_die() const {
  trc::Scope trace(kTrace);
  QLXHANDLE handle = static_cast<QLXHANDLE>(element_->handle());
  qlxTerminate(&handle);
  std::exit(1);
}

int BrokerService::handleError(const QuorRequest& request) const {
  trc::Scope trace(kTrace);
  if (element_->anyPuts()) {
    _logPending();
    _rollbackOrDie();
    return trace.result(1);
  }
  const int reported = request.reportError(element_->getSync());
  zvrClearError();
  if (!reported) {
    ErrorADT(ZVRID_S0001, kZvrSevere, ZVRTXT_S0001).writeLog();
    _rollbackOrDie();
    return trace.result(1);
  }
  if (!element_->commit()) {
    _logPending();
    if (!element_->rollback()) _logPending();
    _die();
  }
  return trace.result(1);
}

int BrokerService::checkForPoison(unsigned long backoutCount, const QuorRequest& request) {
  trc::Scope trace(kTrace);
  if (force_) {
    _okToRun = 0;
    return trace.result(0);
  }
  const long count = static_cast<long>(backoutCount);
  if (count == -1 || count == 0) return trace.result(0);
  if (count == 1) {
    zvrSetError(new ErrorADT(ZVRID_S0005, kZvrWarning, ZVRTXT_S0005, ZVRUA_S0005));
    if (handleError(request)) return trace.result(1);
    if (!element_->rollback()) _logPending();
    ErrorADT(ZVRID_S0008, kZvrSevere, ZVRTXT_S0008, ZVRUA_S0008).writeLog();
    _die();
  }
  std::string text = zvrFormat(ZVRTXT_S0006, count);
  ErrorADT(ZVRID_S0006, kZvrSevere, text.c_str(), ZVRUA_S0006).writeLog();
  if (!element_->rollback()) _logPending();
  _okToRun = 0;
  return trace.result(1);
}
