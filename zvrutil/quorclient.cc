#include "quorclient.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorconnection.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

// Responses of one theme match on it and skip correlation; any theme takes the next one.
constexpr uint32_t kGetByTheme = 0x190;
constexpr uint32_t kGetAnyTheme = 0x120;

constexpr ZvrRaised kInitializeFailed{ZVRID_R0005, kZvrError, ZVRTXT_R0005, ZVRUA_R0005};
constexpr ZvrRaised kBadSyncType{ZVRID_R0016, kZvrSevere, ZVRTXT_R0016, ZVRUA_R0016};
constexpr ZvrRaised kSuppressed{ZVRID_R0013, kZvrWarning, ZVRTXT_R0013, ZVRUA_R0013};
constexpr ZvrRaised kGetFailed{ZVRID_R0014, kZvrWarning, ZVRTXT_R0014, ZVRUA_R0014};
constexpr ZvrRaised kCommitFailed{ZVRID_R0007, kZvrSevere, ZVRTXT_R0007, ZVRUA_R0007};
constexpr ZvrRaised kRollbackFailed{ZVRID_R0008, kZvrSevere, ZVRTXT_R0008, ZVRUA_R0008};

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
    zvrConnectionFailed(handle_, kInitializeFailed, last);
  }
  transaction_ = zvrMakeTransaction(syncType, handle_);
  if (!transaction_) zvrConnectionFailed(handle_, kBadSyncType, QLXERROR{});
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

    if (!zvrSkipSuppressed(kSuppressed, kGetFailed, true) || !commit())
      return trace.result(static_cast<QuorResponse*>(nullptr));
  }
}

int QuorClient::commit() const {
  trc::Scope trace(kTrace);
  return trace.result(zvrUnitOutcome(transaction_->commit(), kCommitFailed));
}

int QuorClient::rollback() const {
  trc::Scope trace(kTrace);
  return trace.result(zvrUnitOutcome(transaction_->rollback(), kRollbackFailed));
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
  return zvrWriteDisplay(os, client);
}
