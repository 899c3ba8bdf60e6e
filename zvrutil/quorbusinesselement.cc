#include "quorbusinesselement.h"

#include <cstring>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorconnection.h"
#include "quordirectory.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

constexpr uint32_t kGetRequestOptions = 0x2148;
constexpr size_t kInitializeWorkLength = 852;

constexpr ZvrRaised kInitializeFailed{ZVRID_R0001, kZvrError, ZVRTXT_R0001, ZVRUA_R0001};
constexpr ZvrRaised kBadSyncType{ZVRID_R0015, kZvrSevere, ZVRTXT_R0015, ZVRUA_R0015};
constexpr ZvrRaised kSuppressed{ZVRID_R0010, kZvrWarning, ZVRTXT_R0010, ZVRUA_R0010};
constexpr ZvrRaised kGetFailed{ZVRID_R0002, kZvrWarning, ZVRTXT_R0002, ZVRUA_R0002};
constexpr ZvrRaised kCommitFailed{ZVRID_R0003, kZvrError, ZVRTXT_R0003, ZVRUA_R0003};
constexpr ZvrRaised kRollbackFailed{ZVRID_R0004, kZvrError, ZVRTXT_R0004, ZVRUA_R0004};
}  // namespace

QuorBusinessElement::QuorBusinessElement(const char* name, unsigned long syncType) {
  trc::Scope trace(kTrace);
  if (name) std::strncpy(name_, name, kQlxNameLength);
  QLXADDR address = kQlxAddrDefault;
  zvrCopyName(address.Name, name);

  void* directory = nullptr;
  unsigned char work[kInitializeWorkLength] = {};
  if (!qlxSPIInitialize(&address, 1, &handle_, &directory, work)) {
    QLXERROR last{};
    qlxGetLastError(&last);
    zvrConnectionFailed(handle_, kInitializeFailed, last);
  }
  directory_ = std::make_unique<QuorDirectory>(directory);
  transaction_ = zvrMakeTransaction(syncType, handle_);
  if (!transaction_) zvrConnectionFailed(handle_, kBadSyncType, QLXERROR{});
}

QuorBusinessElement::~QuorBusinessElement() {
  trc::Scope trace(kTrace);
  directory_.reset();
  transaction_.reset();
  qlxTerminate(&handle_);
}

QuorRequest* QuorBusinessElement::getRequest() const {
  trc::Scope trace(kTrace);
  for (;;) {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    QLXGETOPT options = kQlxGetOptDefault;
    options.Options = kGetRequestOptions;
    QLXHANDLE theme = 0;
    if (qlxGetRequest(handle_, &msg, &options, transaction_->getSync(), &theme)) {
      transaction_->putFlag(0);
      return trace.result(new QuorRequest(handle_, &msg, theme, options));
    }
    if (!zvrSkipSuppressed(kSuppressed, kGetFailed, false) || !commit())
      return trace.result(static_cast<QuorRequest*>(nullptr));
  }
}

int QuorBusinessElement::putResponse(const QuorResponse* response) const {
  trc::Scope trace(kTrace);
  if (response == nullptr || !response->putResponse(handle_, transaction_.get()))
    return trace.result(0);
  transaction_->putFlag(1);
  return trace.result(1);
}

int QuorBusinessElement::commit() const {
  trc::Scope trace(kTrace);
  return trace.result(zvrUnitOutcome(transaction_->commit(), kCommitFailed));
}

int QuorBusinessElement::rollback() const {
  trc::Scope trace(kTrace);
  return trace.result(zvrUnitOutcome(transaction_->rollback(), kRollbackFailed));
}

int QuorBusinessElement::anyPuts() const {
  trc::Scope trace(kTrace);
  return trace.result(transaction_->anyPuts());
}

const QLXSYNC* QuorBusinessElement::getSync() const {
  trc::Scope trace(kTrace);
  return transaction_->getSync();
}

unsigned long QuorBusinessElement::handle() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(handle_));
}

const char* QuorBusinessElement::name() const {
  trc::Scope trace(kTrace);
  return name_;
}

QuorTransaction* QuorBusinessElement::transaction() const {
  trc::Scope trace(kTrace);
  return transaction_.get();
}

void* QuorBusinessElement::directoryHandle() const {
  trc::Scope trace(kTrace);
  return directory_ ? directory_->ldapHandle() : nullptr;
}

int QuorBusinessElement::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(
      zvrNewText(zvrFormat("\nQuor Business Element\n---------------------\nName: %s\nHandle: 0x%x",
                           name_, handle_),
                 text));
}

std::ostream& operator<<(std::ostream& os, const QuorBusinessElement& element) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, element);
}
