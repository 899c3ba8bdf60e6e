#include "quorbusinesselement.h"

#include <cstdlib>
#include <cstring>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quordirectory.h"
#include "quorrequest.h"
#include "quortransaction.h"
#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

constexpr uint32_t kGetRequestOptions = 0x2148;
constexpr size_t kInitializeWorkLength = 852;
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
    _fail(ZVRID_R0001, kZvrError, ZVRTXT_R0001, ZVRUA_R0001, last);
  }
  directory_ = std::make_unique<QuorDirectory>(directory);
  if (syncType == 1) {
    transaction_ = std::make_unique<QuorLocalSync>(handle_);
  } else if (syncType == 0) {
    transaction_ = std::make_unique<QuorNoSync>();
  } else {
    QLXERROR none{};
    _fail(ZVRID_R0015, kZvrSevere, ZVRTXT_R0015, ZVRUA_R0015, none);
  }
}

// Writes the error, keeps it in ZVRerror and ends the process: a server without its
// connection has nothing to do. A connection already made is ended first so that the
// middleware does not wait for the process check to notice.
void QuorBusinessElement::_fail(const char* id, unsigned severity, const char* text,
                                const char* userAction, const QLXERROR& last) {
  trc::Scope trace(kTrace);
  auto* error = new QuorError(id, severity, text, userAction, last);
  error->writeLog();
  zvrSetError(error);
  if (handle_ != 0) qlxTerminate(&handle_);
  std::exit(1);
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
    QLXERROR last{};
    qlxGetLastError(&last);
    if (!zvrIsSuppressed(last)) {
      zvrSetError(new QuorError(ZVRID_R0002, kZvrWarning, ZVRTXT_R0002, ZVRUA_R0002, last));
      return trace.result(static_cast<QuorRequest*>(nullptr));
    }
    QuorError(ZVRID_R0010, kZvrWarning, ZVRTXT_R0010, ZVRUA_R0010, last).writeLog();
    if (!commit()) return trace.result(static_cast<QuorRequest*>(nullptr));
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
  if (transaction_->commit()) return trace.result(1);
  zvrSetError(new QuorError(ZVRID_R0003, kZvrError, ZVRTXT_R0003, ZVRUA_R0003));
  return trace.result(0);
}

int QuorBusinessElement::rollback() const {
  trc::Scope trace(kTrace);
  if (transaction_->rollback()) return trace.result(1);
  zvrSetError(new QuorError(ZVRID_R0004, kZvrError, ZVRTXT_R0004, ZVRUA_R0004));
  return trace.result(0);
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
  char* text = nullptr;
  element.display(text);
  os << text;
  delete[] text;
  return os;
}
