#include "quorrequest.h"

#include <cstring>
#include <new>
#include <string>

#include "catalog.h"
#include "descriptor.h"
#include "dump.h"
#include "erroradt.h"
#include "quortransaction.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

namespace {
trc::Module kTrace{"zvrutil"};

constexpr const char* kRequestTitle = "\nQuor Request\n------------";
constexpr const char* kResponseTitle = "\nQuor Response\n-------------";
constexpr int32_t kSubReasonResponseKept = 20;

std::string displayText(const QLXMSG& msg, const char* title) {
  trc::Scope trace(kTrace);
  char* text = nullptr;
  int length = displayQLXMSG(text, msg, title);
  std::string result(text, static_cast<size_t>(length));
  delete[] text;
  return result;
}

// Attaches `text` under `label` to `error`.
void addText(ErrorADT& error, const char* label, const std::string& text) {
  trc::Scope trace(kTrace);
  error.addInfo(label, text.c_str(), static_cast<unsigned>(text.size()));
}

QLXSYNCP syncOf(QuorTransaction* transaction) {
  trc::Scope trace(kTrace);
  return transaction ? transaction->getSync() : nullptr;
}

}  // namespace

QLXPUTOPT zvrResponsePutOptions(const QLXGETOPT& get) {
  trc::Scope trace(kTrace);
  QLXPUTOPT put = kQlxPutOptDefault;
  if (get.Options & kQlxGetMatchMsgId) {
    put.Options |= kQlxPutMsgId;
    std::memcpy(put.MsgId, get.MsgId, sizeof put.MsgId);
  }
  if (get.Options & kQlxGetMatchCorrelId) {
    put.Options |= kQlxPutCorrelId;
    std::memcpy(put.CorrelId, get.CorrelId, sizeof put.CorrelId);
  } else {
    put.Options |= kQlxPutNewCorrel;
  }
  put.Options |= kQlxPutContinue;
  put.MatchWord = get.MatchWord;
  return put;
}

void zvrAdjustGetOptions(QLXGETOPT& options, const char (&themeID)[kQlxMsgIdLength],
                         const QLXMSGID& correlId) {
  trc::Scope trace(kTrace);
  if (std::memcmp(themeID, correlId, kQlxMsgIdLength) == 0) {
    options.Options = (options.Options & ~kQlxGetMatchCorrelId) | kQlxGetNoCorrel;
  } else {
    options.Options = (options.Options & ~kQlxGetNoCorrel) | kQlxGetMatchCorrelId;
    std::memcpy(options.CorrelId, correlId, sizeof options.CorrelId);
  }
}

bool zvrLoad32(const unsigned char* data, size_t size, size_t offset, uint32_t& value) {
  trc::Scope trace(kTrace);
  if (data == nullptr || offset > size || size - offset < sizeof value) return false;
  std::memcpy(&value, data + offset, sizeof value);
  return true;
}

int zvrFindThemeItem(const void* list, size_t size, uint32_t type, ZvrThemeItem& item) {
  trc::Scope trace(kTrace);
  const auto* base = static_cast<const unsigned char*>(list);
  uint32_t count = 0;
  if (!zvrLoad32(base, size, kThemeListCount, count) || size < kThemeListItems)
    return trace.result(0);
  size_t offset = kThemeListItems;  // invariant: offset <= size
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t itemType = 0, length = 0;
    if (!zvrLoad32(base, size, offset + kThemeItemType, itemType) ||
        !zvrLoad32(base, size, offset + kThemeItemLength, length))
      return trace.result(0);
    const size_t room = size - offset - kThemeItemData;
    if (length > room) return trace.result(0);
    if (itemType == type) {
      item = ZvrThemeItem{itemType, base + offset + kThemeItemData, length};
      return trace.result(1);
    }
    const size_t padded = (static_cast<size_t>(length) + 3) & ~static_cast<size_t>(3);
    if (padded > room) return trace.result(0);
    offset += kThemeItemData + padded;
  }
  return trace.result(0);
}

bool zvrIsSuppressed(const QLXERROR& error, bool gotResponse) {
  trc::Scope trace(kTrace);
  if (!(error.Flags & kQlxErrorReason) || error.Reason.Code != kQlxReasonSuppressed) return false;
  const int32_t sub = (error.Flags & kQlxErrorSubReason) ? error.SubReason.Code : 0;
  if (sub == kQlxSubReasonNotSuppressed) return false;
  return !(gotResponse && sub == kSubReasonResponseKept);
}

// ---- QuorRequest ----

QuorRequest::QuorRequest(const unsigned long handle, const QLXMSG* descriptor,
                         const unsigned long theme, const QLXGETOPT getOptions)
    : handle_(static_cast<QLXHANDLE>(handle)),
      theme_(static_cast<QLXHANDLE>(theme)),
      getOptions_(getOptions),
      putOptions_(kQlxPutOptDefault) {
  trc::Scope trace(kTrace);
  if (descriptor)
    zvrCopyDescriptor(descriptor_, *descriptor);
  else
    zvrInitDescriptor(descriptor_);
  zvrGetFormatName(descriptor_, formatName_);
  lookupThemeID();
}

QuorRequest::~QuorRequest() {
  trc::Scope trace(kTrace);
  zvrReleaseBuffer(handle_, descriptor_.MsgBuffer);
  zvrReleaseBuffer(handle_, descriptor_.TagBuffer);
}

void QuorRequest::lookupThemeID() {
  trc::Scope trace(kTrace);
  std::memcpy(themeID_, descriptor_.CorrelId, sizeof themeID_);
  QLXBUFFER result{0, 0, nullptr};
  if (!qlxQueryTheme(handle_, theme_, kQlxQueryThemeId, &result)) {
    QuorError error(ZVRID_R0021, kZvrWarning, ZVRTXT_R0021, ZVRUA_R0021);
    if (ZVRdebug) error.writeLog();
  } else {
    // An id item shorter than an id is no id: the CorrelId stands.
    ZvrThemeItem item;
    if (zvrFindThemeItem(result.Data, result.Length, kQlxItemThemeId, item) &&
        item.length >= sizeof themeID_)
      std::memcpy(themeID_, item.data, sizeof themeID_);
  }
  zvrReleaseBuffer(handle_, result);
  zvrAdjustGetOptions(getOptions_, themeID_, descriptor_.CorrelId);
}

int QuorRequest::isAtEndOfWorkflow() const {
  trc::Scope trace(kTrace);
  return trace.result((descriptor_.Status & kQlxStatusWorkflowFollows) ? 0 : 1);
}

unsigned long QuorRequest::length() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(descriptor_.MsgLength));
}

void* QuorRequest::buffer() const {
  trc::Scope trace(kTrace);
  return trace.result(descriptor_.MsgBuffer.Data);
}

unsigned long QuorRequest::theme() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(theme_));
}

const char* QuorRequest::themeID() const {
  trc::Scope trace(kTrace);
  return themeID_;
}

const char* QuorRequest::formatName() const {
  trc::Scope trace(kTrace);
  return formatName_;
}

long QuorRequest::backoutCount() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.BackoutCount));
}

QuorResponse* QuorRequest::createResponse(const void* buffer, const unsigned long length,
                                          const void* tag, const unsigned long tagLength) const {
  trc::Scope trace(kTrace);
  QLXMSG msg;
  zvrStartResponse(msg, descriptor_);

  // A length the descriptor cannot carry would be cut silently: no response then.
  QuorResponse* response = nullptr;
  if (length <= UINT32_MAX && tagLength <= UINT32_MAX) {
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, buffer, static_cast<uint32_t>(length));
    if (tagLength != 0)
      zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, tag, static_cast<uint32_t>(tagLength));
    response = new (std::nothrow) QuorResponse(&msg, theme_, zvrResponsePutOptions(getOptions_));
  }
  if (response == nullptr) {
    auto* error = new ErrorADT(ZVRID_R0012, kZvrWarning, ZVRTXT_R0012, ZVRUA_R0012);
    if (ZVRverbose)
      addText(*error, "Original Request follows:", displayText(descriptor_, kRequestTitle));
    zvrSetError(error);
  }
  return trace.result(response);
}

QuorResponse* QuorRequest::createResponse() const {
  trc::Scope trace(kTrace);
  return trace.result(createResponse(descriptor_.MsgBuffer.Data, descriptor_.MsgLength,
                                     descriptor_.TagBuffer.Data, descriptor_.TagLength));
}

int QuorRequest::putRequest(const unsigned long handle, QuorTransaction* transaction,
                            const char* service, const QLXPUTOPT putOptions) {
  trc::Scope trace(kTrace);
  QLXSERVICE record = kQlxServiceDefault;
  zvrCopyName(record.Name, service);
  QLXPUTOPT options = putOptions;
  if (qlxPutRequest(static_cast<QLXHANDLE>(handle), &record, &descriptor_, &options,
                    syncOf(transaction), &theme_))
    return trace.result(1);

  QLXERROR last{};
  qlxGetLastError(&last);
  const std::string text = displayText(descriptor_, kRequestTitle);
  if (zvrIsSuppressed(last)) {
    QuorError error(ZVRID_R0011, kZvrWarning, ZVRTXT_R0011, ZVRUA_R0011, last);
    if (ZVRverbose) addText(error, "Quor Request follows:", text);
    error.writeLog();
    return trace.result(1);
  }
  auto* error = new QuorError(ZVRID_R0006, kZvrWarning, ZVRTXT_R0006, ZVRUA_R0006, last);
  addText(*error, "Quor Request follows:", text);
  zvrSetError(error);
  return trace.result(0);
}

int QuorRequest::reportError(const QLXSYNC* sync) const {
  trc::Scope trace(kTrace);
  QLXEPOPT options = kQlxEpOptDefault;
  options.Options |= kQlxEpoptReport;

  QLXEXCEPTION exception = kQlxExceptionDefault;
  const ErrorADT* error = ZVRerror;
  if (error != nullptr && error->isQuorError() && error->quorQlxError() != nullptr) {
    std::memcpy(&exception.Error, error->quorQlxError(), sizeof exception.Error);
    exception.Flags |= kQlxExcError;
  }
  exception.CallType = kQlxCallApplication;

  // Without a pending error the report still goes out, with an empty text.
  char* text = nullptr;
  const int length = error ? error->display(text) : zvrNewText("", text);
  exception.Flags |= kQlxExcText;
  zvrAttachBuffer(0, exception.TextBuffer, exception.TextLength, text,
                  static_cast<uint32_t>(length));

  // The middleware takes the descriptor and theme by address; this request stays as it is.
  QLXMSG msg;
  zvrCopyDescriptor(msg, descriptor_);
  QLXHANDLE context = theme_;
  const bool accepted = zvrReportError(handle_, &options, &msg, &exception, sync, &context);

  if (error) zvrWriteLog(text, error->severity());
  zvrReleaseBuffer(0, exception.TextBuffer);
  delete[] text;
  return trace.result(accepted ? 1 : 0);
}

unsigned long QuorRequest::handle() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(handle_));
}

const QLXMSG& QuorRequest::descriptor() const {
  trc::Scope trace(kTrace);
  return descriptor_;
}

const QLXGETOPT& QuorRequest::getOptions() const {
  trc::Scope trace(kTrace);
  return getOptions_;
}

int QuorRequest::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(displayQLXMSG(text, descriptor_, kRequestTitle));
}

std::ostream& operator<<(std::ostream& os, const QuorRequest& request) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, request);
}

// ---- QuorResponse ----

QuorResponse::QuorResponse(const QLXMSG* descriptor, const unsigned long theme,
                           const QLXPUTOPT putOptions)
    : theme_(static_cast<QLXHANDLE>(theme)), putOptions_(putOptions) {
  trc::Scope trace(kTrace);
  if (descriptor)
    zvrCopyDescriptor(descriptor_, *descriptor);
  else
    zvrInitDescriptor(descriptor_);
}

QuorResponse::~QuorResponse() {
  trc::Scope trace(kTrace);
  zvrReleaseBuffer(0, descriptor_.MsgBuffer);
  zvrReleaseBuffer(0, descriptor_.TagBuffer);
}

int QuorResponse::isAtEndOfWorkflow() const {
  trc::Scope trace(kTrace);
  return trace.result((descriptor_.Status & kQlxStatusWorkflowFollows) ? 0 : 1);
}

unsigned long QuorResponse::length() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(descriptor_.MsgLength));
}

void* QuorResponse::buffer() const {
  trc::Scope trace(kTrace);
  return trace.result(descriptor_.MsgBuffer.Data);
}

void QuorResponse::putOptions(unsigned long options) {
  trc::Scope trace(kTrace);
  putOptions_.Options = static_cast<uint32_t>(options);
}

unsigned long QuorResponse::theme() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned long>(theme_));
}

void QuorResponse::theme(unsigned long theme) {
  trc::Scope trace(kTrace);
  theme_ = static_cast<QLXHANDLE>(theme);
  descriptor_.Status |= kQlxStatusWorkflowFollows;
}

int QuorResponse::putResponse(const unsigned long handle, QuorTransaction* transaction) const {
  trc::Scope trace(kTrace);
  // The put takes its records by address; this response stays as it is.
  QLXMSG msg;
  zvrCopyDescriptor(msg, descriptor_);
  QLXPUTOPT options = putOptions_;
  QLXHANDLE theme = theme_;
  if (qlxPutResponse(static_cast<QLXHANDLE>(handle), &msg, &options, syncOf(transaction), &theme))
    return trace.result(1);

  if (isAtEndOfWorkflow()) {
    ErrorADT(ZVRID_R0019, kZvrWarning, ZVRTXT_R0019, ZVRUA_R0019).writeLog();
    return trace.result(1);
  }
  QLXERROR last{};
  qlxGetLastError(&last);
  const std::string text = displayText(descriptor_, kResponseTitle);
  if (zvrIsSuppressed(last)) {
    QuorError error(ZVRID_R0012, kZvrWarning, ZVRTXT_R0012, ZVRUA_R0012, last);
    if (ZVRverbose) addText(error, "Quor Response follows:", text);
    error.writeLog();
    return trace.result(1);
  }
  auto* error = new QuorError(ZVRID_R0009, kZvrWarning, ZVRTXT_R0009, ZVRUA_R0009, last);
  addText(*error, "Quor Response follows:", text);
  zvrSetError(error);
  return trace.result(0);
}

const QLXMSG& QuorResponse::descriptor() const {
  trc::Scope trace(kTrace);
  return descriptor_;
}

const QLXPUTOPT& QuorResponse::getPutOptions() const {
  trc::Scope trace(kTrace);
  return putOptions_;
}

int QuorResponse::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(displayQLXMSG(text, descriptor_, kResponseTitle));
}

std::ostream& operator<<(std::ostream& os, const QuorResponse& response) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, response);
}
