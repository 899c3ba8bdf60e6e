#include "quorclient.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

// Responses of one theme match on it and skip correlation; any theme takes the next one.
constexpr uint32_t kGetByTheme = 0x190;
constexpr uint32_t kGetAnyTheme = 0x120;

QLXPUTOPT putOptionsFrom(const QLXGETOPT& get) {
  trc::Scope trace(kTrace);
  QLXPUTOPT put = kQlxPutOptDefault;
  put.Options = get.Options;
  put.MatchWord = get.MatchWord;
  std::memcpy(put.MsgId, get.MsgId, sizeof put.MsgId);
  std::memcpy(put.CorrelId, get.CorrelId, sizeof put.CorrelId);
  return put;
}
}  // namespace

uint32_t zvrResponseGetOptions(unsigned long theme, unsigned long wait) {
  trc::Scope trace(kTrace);
  const uint32_t options = theme != 0 ? kGetByTheme : kGetAnyTheme;
  return trace.result(wait != 0 ? options | kQlxGetWait : options);
}

QuorClient::QuorClient(const char* name, unsigned long syncType, const char* service)
    : name_(name), service_(service) {
  trc::Scope trace(kTrace);
  QLXADDR address = kQlxAddrDefault;
  zvrCopyName(address.Name, name);
  if (!qlxClientInitialize(&address, &handle_)) {
    QLXERROR last{};
    qlxGetLastError(&last);
    _fail(ZVRID_R0005, kZvrError, ZVRTXT_R0005, ZVRUA_R0005, last);
  }
  if (syncType == 1) {
    transaction_ = std::make_unique<QuorLocalSync>(handle_);
  } else if (syncType == 0) {
    transaction_ = std::make_unique<QuorNoSync>();
  } else {
    QLXERROR none{};
    _fail(ZVRID_R0016, kZvrSevere, ZVRTXT_R0016, ZVRUA_R0016, none);
  }
}

// Writes the error, keeps it in ZVRerror and ends the process; a connection already made
// is ended first.
void QuorClient::_fail(const char* id, unsigned severity, const char* text, const char* userAction,
                       const QLXERROR& last) {
  trc::Scope trace(kTrace);
  auto* error = new QuorError(id, severity, text, userAction, last);
  error->writeLog();
  zvrSetError(error);
  if (handle_ != 0) qlxTerminate(&handle_);
  std::exit(1);
}

QuorClient::~QuorClient() {
  trc::Scope trace(kTrace);
  qlxTerminate(&handle_);
  transaction_.reset();
}

QuorResponse* QuorClient::getResponse(unsigned long theme, unsigned long wait) const {
  trc::Scope trace(kTrace);
  for (;;) {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    QLXGETOPT options = kQlxGetOptDefault;
    options.Options = zvrResponseGetOptions(theme, wait);
    // A wait beyond the word's range would turn negative, which means "no limit".
    if (wait != 0) options.Wait = static_cast<int32_t>(std::min<unsigned long>(wait, INT32_MAX));
    QLXHANDLE responseTheme = static_cast<QLXHANDLE>(theme);
    if (qlxGetResponse(handle_, &msg, &options, transaction_->getSync(), &responseTheme))
      return trace.result(new QuorResponse(&msg, responseTheme, putOptionsFrom(options)));

    QLXERROR last{};
    qlxGetLastError(&last);
    if (!zvrIsSuppressed(last, true)) {
      zvrSetError(new QuorError(ZVRID_R0014, kZvrWarning, ZVRTXT_R0014, ZVRUA_R0014, last));
      return trace.result(static_cast<QuorResponse*>(nullptr));
    }
    QuorError(ZVRID_R0013, kZvrWarning, ZVRTXT_R0013, ZVRUA_R0013, last).writeLog();
    if (!commit()) return trace.result(static_cast<QuorResponse*>(nullptr));
  }
}

int QuorClient::commit() const {
  trc::Scope trace(kTrace);
  if (transaction_->commit()) return trace.result(1);
  zvrSetError(new QuorError(ZVRID_R0007, kZvrSevere, ZVRTXT_R0007, ZVRUA_R0007));
  return trace.result(0);
}

int QuorClient::rollback() const {
  trc::Scope trace(kTrace);
  if (transaction_->rollback()) return trace.result(1);
  zvrSetError(new QuorError(ZVRID_R0008, kZvrSevere, ZVRTXT_R0008, ZVRUA_R0008));
  return trace.result(0);
}

unsigned long QuorClient::handle() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(handle_));
}

const char* QuorClient::name() const {
  trc::Scope trace(kTrace);
  return name_;
}

const char* QuorClient::service() const {
  trc::Scope trace(kTrace);
  return service_;
}

QuorTransaction* QuorClient::transaction() const {
  trc::Scope trace(kTrace);
  return transaction_.get();
}

int QuorClient::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(zvrNewText(
      zvrFormat("\nQuor Client\n-----------\nName: %s\nHandle: 0x%x", name_ ? name_ : "", handle_),
      text));
}

std::ostream& operator<<(std::ostream& os, const QuorClient& client) {
  trc::Scope trace(kTrace);
  char* text = nullptr;
  client.display(text);
  os << text;
  delete[] text;
  return os;
}
