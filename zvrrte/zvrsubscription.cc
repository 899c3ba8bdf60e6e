#include "zvrsubscription.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "catalog.h"
#include "dump.h"
#include "erroradt.h"
#include "marshall.h"
#include "qlx.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"
#include "zvrroute.h"

static trc::Module kTrace{"zvrrte"};

namespace {

// Makes a new ErrorADT the pending error.
void raise(const char* id, unsigned severity, const char* text, const char* userAction) {
  zvrSetError(new ErrorADT(id, severity, text, userAction));
}

void raiseInvalidAction(const char* action) {
  std::string text = zvrFormat(ZVRTXT_BK0007, action != nullptr ? action : "");
  raise(ZVRID_BK0007, kZvrError, text.c_str(), ZVRUA_BK0007);
}

// The upper-cased copy of `action` (not null).
std::string upperCopy(const char* action) {
  std::string copy(action);
  strToUpper(copy.data());
  return copy;
}

}  // namespace

ZVRSubscription::ZVRSubscription(const QuorBusinessElement* element, unsigned long theme,
                                 Marshall* marshall)
    : marshall_(marshall), theme_(theme), element_(element) {
  trc::Scope trace(kTrace);
  if (marshall_ == nullptr) {
    raise(ZVRID_BK0001, kZvrSevere, ZVRTXT_BK0001, ZVRUA_BK0001);
    return;
  }
  if (ZVRdebug) {
    zvrWriteLog("\nMarshalled Request follows:");
    char* text = nullptr;
    marshall_->display(text);
    zvrWriteLog(text);
    delete[] text;
  }
}

int ZVRSubscription::route(const char* service, const char* action) {
  trc::Scope trace(kTrace);
  // The route list never hands out null texts; a caller that does gets a failure with a
  // reason rather than one without.
  if (service == nullptr || action == nullptr) {
    raiseInvalidAction(action);
    return trace.result(kRouteFailed);
  }
  if (*service == '\0' && *action == '\0') return trace.result(kRouteEmpty);
  // Without a Marshall there is no piece to route.
  if (marshall_ == nullptr) {
    raise(ZVRID_BK0001, kZvrSevere, ZVRTXT_BK0001, ZVRUA_BK0001);
    return trace.result(kRouteFailed);
  }
  action_codes code = insert;
  if (getActionCode(action, code) != 0) {
    _addDump();
    return trace.result(kRouteFailed);
  }
  int done = 1;
  switch (code) {
    case insert: done = route(service, static_cast<unsigned long>(kQlxBuildInsert)); break;
    case replace: done = route(service, static_cast<unsigned long>(kQlxBuildReplace)); break;
    case notify: done = notify_route(); break;
    default: {
      std::string text = zvrFormat(ZVRTXT_BK0002, action);
      raise(ZVRID_BK0002, kZvrError, text.c_str(), ZVRUA_BK0002);
      _addDump();
      return trace.result(kRouteFailed);
    }
  }
  return trace.result(done == 0 ? kRouted : kRouteFailed);
}

int ZVRSubscription::getActionCode(const char* action, action_codes& code) {
  trc::Scope trace(kTrace);
  code = insert;
  if (action == nullptr) return trace.result(0);
  const std::string upper = upperCopy(action);
  if (upper == "INSERT" || upper.empty()) {
    code = insert;
  } else if (upper == "REPLACE") {
    code = replace;
  } else if (upper == "NOTIFY") {
    code = notify;
  } else {
    raiseInvalidAction(action);
    return trace.result(1);
  }
  return trace.result(0);
}

int ZVRSubscription::route(const char* service, const unsigned long option) {
  trc::Scope trace(kTrace);
  if (service == nullptr) service = "";
  if (ZVRdebug) {
    std::string text = zvrFormat("\n%s workflow with '%s'",
                                 option == kQlxBuildReplace ? "Replace" : "Insert", service);
    zvrWriteLog(text.c_str());
  }
  QLXSERVICE record = kQlxServiceDefault;
  std::memcpy(record.Name, service, strnlen(service, sizeof record.Name));
  const QLXBUFFER field{0, static_cast<uint32_t>(sizeof record), &record};
  QLXHANDLE newTheme = 0;
  if (!qlxBuildTheme(static_cast<QLXHANDLE>(element_->handle()),
                     static_cast<QLXHANDLE>(theme_), static_cast<int32_t>(option), &field,
                     &newTheme)) {
    zvrSetError(new QuorError(ZVRID_BK0003, kZvrError, ZVRTXT_BK0003, ZVRUA_BK0003));
    _addDump();
    return trace.result(1);
  }
  QuorResponse* response = createResponse();
  if (response != nullptr) response->theme(newTheme);
  const int result = response != nullptr ? _put(response) : 1;
  // The new theme is this call's own: close it on every path, the failed ones included,
  // so that a run of bad pieces does not leave handles open in the middleware.
  qlxCloseHandle(static_cast<QLXHANDLE>(element_->handle()), &newTheme);
  return trace.result(result);
}

int ZVRSubscription::notify_route() {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog("\nNotifying original client");
  QuorResponse* response = createResponse();
  if (response == nullptr) return trace.result(1);
  unsigned long options = response->getPutOptions().Options;
  options = (options | kQlxPutNotify | kQlxPutNoReply) & ~static_cast<unsigned long>(kQlxPutContinue);
  response->putOptions(options);
  return trace.result(_put(response));
}

QuorResponse* ZVRSubscription::createResponse() const {
  trc::Scope trace(kTrace);
  // Routes read again here were already read when the piece was taken: not used.
  if (marshall_ == nullptr) {
    raise(ZVRID_BK0004, kZvrError, ZVRTXT_BK0004, ZVRUA_BK0004);
    return trace.result(static_cast<QuorResponse*>(nullptr));
  }
  ZvrRouteList routes;
  void* piece = marshall_->buffer();
  unsigned long length = marshall_->length();
  QuorResponse* response = marshall_->createResponse(piece, length, &routes);
  if (response == nullptr) {
    raise(ZVRID_BK0004, kZvrError, ZVRTXT_BK0004, ZVRUA_BK0004);
    _addDump();
  }
  return trace.result(response);
}

int ZVRSubscription::isAction(const char* action) {
  trc::Scope trace(kTrace);
  if (action == nullptr) return trace.result(0);
  const std::string upper = upperCopy(action);
  return trace.result(upper == "INSERT" || upper == "REPLACE" || upper == "NOTIFY" ? 1 : 0);
}

void ZVRSubscription::_addDump() const {
  trc::Scope trace(kTrace);
  if (!ZVRverbose || ZVRerror == nullptr || marshall_ == nullptr) return;
  const std::string dump = zvrDumpHex(marshall_->buffer(), marshall_->length());
  ZVRerror->addInfo("Transformed Buffer follows:", dump.c_str(),
                    static_cast<unsigned>(std::min<size_t>(dump.size(), UINT_MAX)));
}

int ZVRSubscription::_put(QuorResponse* response) const {
  trc::Scope trace(kTrace);
  const int put = element_->putResponse(response);
  delete response;
  return trace.result(put ? 0 : 1);
}
