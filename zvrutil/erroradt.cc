#include "erroradt.h"

#include <cstring>

#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrutil"};

ErrorADT* ZVRerror = nullptr;

namespace {

const char* textOf(const std::unique_ptr<char[]>& s) { return s.get(); }

// A terminated copy of the first `size` bytes at `s`; null for null.
std::unique_ptr<char[]> copyOf(const char* s, size_t size) {
  if (!s) return nullptr;
  std::unique_ptr<char[]> copy(new char[size + 1]);
  std::memcpy(copy.get(), s, size);
  copy[size] = '\0';
  return copy;
}

std::unique_ptr<char[]> copyOf(const char* s) { return copyOf(s, s ? std::strlen(s) : 0); }

}  // namespace

const char* zvrSeverityName(unsigned severity) {
  trc::Scope trace(kTrace);
  switch (severity) {
    case kZvrInfo: return "INFO";
    case kZvrWarning: return "WARNING";
    case kZvrError: return "ERROR";
    case kZvrSevere: return "SEVERE";
    default: return "UNKNOWN";
  }
}

// ---- ErrorADT ----

ErrorADT::ErrorADT(const char* id, unsigned severity, const char* text)
    : severity_(severity) {
  trc::Scope trace(kTrace);
  _update(id, text, nullptr);
}

ErrorADT::ErrorADT(const char* id, unsigned severity, const char* text,
                   const char* userAction)
    : severity_(severity) {
  trc::Scope trace(kTrace);
  _update(id, text, userAction);
}

ErrorADT::ErrorADT(const char* id, unsigned severity, const char* text,
                   const char* userAction, const char* info, const char* data,
                   unsigned dataLength)
    : severity_(severity) {
  trc::Scope trace(kTrace);
  _update(id, text, userAction);
  addInfo(info, data, dataLength);
}

ErrorADT::~ErrorADT() {
  trc::Scope trace(kTrace);
}

void ErrorADT::_update(const char* id, const char* text, const char* userAction) {
  trc::Scope trace(kTrace);
  id_ = copyOf(id);
  text_ = copyOf(text);
  userAction_ = copyOf(userAction);
}

void ErrorADT::addInfo(const char* info, const char* data, unsigned dataLength) {
  trc::Scope trace(kTrace);
  info_ = copyOf(info);
  data_.reset();
  dataLength_ = 0;
  if (data) {
    // Data may be a raw block without terminator: never read past dataLength. The length
    // kept is the one given, not the bytes copied: display tests it to decide whether the
    // data has a line at all, and data that starts with a NUL still has one (empty).
    data_ = copyOf(data, strnlen(data, dataLength));
    dataLength_ = dataLength;
  }
}

const char* ErrorADT::id() const {
  trc::Scope trace(kTrace);
  return textOf(id_);
}

unsigned ErrorADT::severity() const {
  trc::Scope trace(kTrace);
  return severity_;
}

const char* ErrorADT::text() const {
  trc::Scope trace(kTrace);
  return textOf(text_);
}

const char* ErrorADT::userAction() const {
  trc::Scope trace(kTrace);
  return textOf(userAction_);
}

const char* ErrorADT::info() const {
  trc::Scope trace(kTrace);
  return textOf(info_);
}

const char* ErrorADT::data() const {
  trc::Scope trace(kTrace);
  return textOf(data_);
}

unsigned ErrorADT::dataLength() const {
  trc::Scope trace(kTrace);
  return dataLength_;
}

int ErrorADT::isQuorError() const {
  trc::Scope trace(kTrace);
  return trace.result(0);
}

const QLXERROR* ErrorADT::quorQlxError() const {
  trc::Scope trace(kTrace);
  return trace.result<const QLXERROR*>(nullptr);
}

std::string ErrorADT::_baseText() const {
  trc::Scope trace(kTrace);
  std::string text = "\n";
  text += id_ ? id_.get() : "";
  text += "\n";
  text += zvrSeverityName(severity_);
  text += ": ";
  text += text_ ? text_.get() : "";
  if (userAction_) (text += "\nUser Action: ") += userAction_.get();
  if (info_) (text += "\n") += info_.get();
  if (data_ && dataLength_ != 0) (text += "\n") += data_.get();
  return text;
}

int ErrorADT::display(char*& out) const {
  trc::Scope trace(kTrace);
  return trace.result(zvrNewText(_baseText(), out));
}

int ErrorADT::writeLog() const {
  trc::Scope trace(kTrace);
  char* text = nullptr;
  display(text);
  int written = zvrWriteLog(text, severity_);
  delete[] text;
  return trace.result(written);
}

// ---- QuorError ----

QuorError::QuorError(const char* id, unsigned severity, const char* text,
                     const char* userAction, const QLXERROR& record)
    : ErrorADT(id, severity, text, userAction) {
  trc::Scope trace(kTrace);
  std::memcpy(&record_, &record, sizeof record_);
  _updateQuorError();
}

QuorError::QuorError(const char* id, unsigned severity, const char* text)
    : ErrorADT(id, severity, text) {
  trc::Scope trace(kTrace);
  _fetchLastError();
}

QuorError::QuorError(const char* id, unsigned severity, const char* text,
                     const char* userAction)
    : ErrorADT(id, severity, text, userAction) {
  trc::Scope trace(kTrace);
  _fetchLastError();
}

QuorError::QuorError(const char* id, unsigned severity, const char* text,
                     const char* userAction, const char* info, const char* data,
                     unsigned dataLength)
    : ErrorADT(id, severity, text, userAction, info, data, dataLength) {
  trc::Scope trace(kTrace);
  _fetchLastError();
}

void QuorError::_fetchLastError() {
  trc::Scope trace(kTrace);
  // A refused query leaves the record zero: both texts then read "None".
  if (!qlxGetLastError(&record_)) record_ = QLXERROR{};
  _updateQuorError();
}

namespace {

// Renders one detail into its 400-character area, or "None" when the record says the
// detail is not filled.
void renderDetail(bool filled, const QLXERRDETAIL& detail,
                  char (&area)[QuorError::kReasonLength]) {
  trc::Scope trace(kTrace);
  std::memset(area, 0, sizeof area);
  if (!filled) {
    std::strcpy(area, "None");
    return;
  }
  uint32_t length = sizeof area;
  if (!qlxFormatError(&detail, 1, area, &length)) area[0] = '\0';
  area[sizeof area - 1] = '\0';  // whatever the middleware wrote, the area ends here
}

}  // namespace

void QuorError::_updateQuorError() {
  trc::Scope trace(kTrace);
  renderDetail((record_.Flags & kQlxErrorReason) != 0, record_.Reason, reason_);
  renderDetail((record_.Flags & kQlxErrorSubReason) != 0, record_.SubReason, subReason_);
}

const char* QuorError::reason() const {
  trc::Scope trace(kTrace);
  return reason_;
}

const char* QuorError::subReason() const {
  trc::Scope trace(kTrace);
  return subReason_;
}

int QuorError::isQuorError() const {
  trc::Scope trace(kTrace);
  return trace.result(1);
}

const QLXERROR* QuorError::quorQlxError() const {
  trc::Scope trace(kTrace);
  return trace.result(&record_);
}

int QuorError::display(char*& out) const {
  trc::Scope trace(kTrace);
  std::string text = _baseText() + "\nReason: " + reason_ + "\nSubReason: " + subReason_;
  return trace.result(zvrNewText(text, out));
}

// ---- TransformError ----

TransformError::TransformError(const char* id, unsigned severity, const char* text)
    : ErrorADT(id, severity, text) {
  trc::Scope trace(kTrace);
  _updateTransformError(static_cast<const char*>(nullptr), nullptr);
}

TransformError::TransformError(const char* id, unsigned severity, const char* text,
                               const char* userAction)
    : ErrorADT(id, severity, text, userAction) {
  trc::Scope trace(kTrace);
  _updateTransformError(static_cast<const char*>(nullptr), nullptr);
}

TransformError::TransformError(const char* id, unsigned severity, const char* text,
                               const char* userAction, const char* code, const char* reason)
    : ErrorADT(id, severity, text, userAction) {
  trc::Scope trace(kTrace);
  _updateTransformError(code, reason);
}

TransformError::TransformError(const char* id, unsigned severity, const char* text,
                               const char* userAction, int code, const char* reason)
    : ErrorADT(id, severity, text, userAction) {
  trc::Scope trace(kTrace);
  _updateTransformError(code, reason);
}

TransformError::TransformError(const char* id, unsigned severity, const char* text,
                               const char* userAction, int code, const char* reason,
                               const char* info, const char* data, unsigned dataLength)
    : ErrorADT(id, severity, text, userAction, info, data, dataLength) {
  trc::Scope trace(kTrace);
  _updateTransformError(code, reason);
}

void TransformError::_updateTransformError(const char* code, const char* reason) {
  trc::Scope trace(kTrace);
  reasonCode_ = copyOf(code);
  reasonText_ = copyOf(reason);
}

void TransformError::_updateTransformError(int code, const char* reason) {
  trc::Scope trace(kTrace);
  _updateTransformError(zvrFormat("%-d", code).c_str(), reason);
}

const char* TransformError::reasonCode() const {
  trc::Scope trace(kTrace);
  return textOf(reasonCode_);
}

const char* TransformError::reasonText() const {
  trc::Scope trace(kTrace);
  return textOf(reasonText_);
}

int TransformError::display(char*& out) const {
  trc::Scope trace(kTrace);
  std::string text = _baseText();
  if (reasonCode_) ((text += "\nReason (") += reasonCode_.get()) += ")";
  if (reasonText_) (text += ": ") += reasonText_.get();
  return trace.result(zvrNewText(text, out));
}

// ---- Streams and the process-wide error ----

std::ostream& operator<<(std::ostream& os, const ErrorADT& error) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, error);
}

std::ostream& operator<<(std::ostream& os, const QuorError& error) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, error);
}

std::ostream& operator<<(std::ostream& os, const TransformError& error) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, error);
}

void zvrSetError(ErrorADT* error) {
  trc::Scope trace(kTrace);
  if (error == ZVRerror) return;  // re-storing the pending error must not delete it
  ErrorADT* previous = ZVRerror;
  ZVRerror = error;
  delete previous;
}

void zvrClearError() {
  trc::Scope trace(kTrace);
  zvrSetError(nullptr);
}

ErrorADT* zvrTakeError() {
  trc::Scope trace(kTrace);
  ErrorADT* error = ZVRerror;
  ZVRerror = nullptr;
  return trace.result(error);
}
