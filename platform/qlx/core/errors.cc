// The last error of the calling thread, its rendering, and the directory exception
// handler's helper qlxStoreError.
#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

thread_local QLXERROR tLast{};

// The longest text qlxFormatError produces, terminator included.
constexpr uint32_t kFormatLimit = 400;

void fillDetail(QLXERRDETAIL& detail, int32_t callType, int32_t code, const char* format,
                va_list args) {
  detail = QLXERRDETAIL{};
  detail.Facility = kFacilityBroker;
  detail.Code = code;
  detail.CallType = callType;
  std::vsnprintf(detail.Text, sizeof detail.Text, format, args);
}

// Copies at most `limit` bytes of a text that may lack a terminator.
void copyBounded(char* out, size_t room, const char* text, size_t limit) {
  size_t n = text ? strnlen(text, limit) : 0;
  if (n >= room) n = room - 1;
  if (n) std::memcpy(out, text, n);
  out[n] = '\0';
}

}  // namespace

int fail(int32_t callType, int32_t reason, const char* format, ...) {
  tLast = QLXERROR{};
  tLast.Flags = kQlxErrorReason;
  va_list args;
  va_start(args, format);
  fillDetail(tLast.Reason, callType, reason, format, args);
  va_end(args);
  if (kTrace.printfs())
    TRC1_Printf(kTrace.name, "%s failed: reason %d: %s", callName(callType), reason,
                tLast.Reason.Text);
  return 0;
}

int failSub(int32_t callType, int32_t reason, int32_t subReason, const char* format, ...) {
  tLast = QLXERROR{};
  tLast.Flags = kQlxErrorReason | kQlxErrorSubReason;
  va_list args;
  va_start(args, format);
  fillDetail(tLast.Reason, callType, reason, format, args);
  va_end(args);
  tLast.SubReason.Facility = kFacilityBroker;
  tLast.SubReason.Code = subReason;
  tLast.SubReason.CallType = callType;
  std::snprintf(tLast.SubReason.Text, sizeof tLast.SubReason.Text, "sub-reason %d",
                subReason);
  if (kTrace.printfs())
    TRC1_Printf(kTrace.name, "%s failed: reason %d/%d: %s", callName(callType), reason,
                subReason, tLast.Reason.Text);
  return 0;
}

const QLXERROR& lastError() { return tLast; }
void restoreLastError(const QLXERROR& saved) { tLast = saved; }

const char* callName(int32_t callType) {
  switch (callType) {
    case kQlxCallApplication: return "application";
    case kQlxCallPutRequest: return "qlxPutRequest";
    case kQlxCallGetRequest: return "qlxGetRequest";
    case kQlxCallPutResponse: return "qlxPutResponse";
    case kQlxCallGetResponse: return "qlxGetResponse";
    case kQlxCallInitialize: return "qlxInitialize";
    case kQlxCallTerminate: return "qlxTerminate";
    case kQlxCallCommit: return "qlxCommit";
    case kQlxCallRollback: return "qlxRollback";
    case kQlxCallFreeBuffer: return "qlxFreeBuffer";
    case kQlxCallCloseHandle: return "qlxCloseHandle";
    case kQlxCallWriteLog: return "qlxWriteLog";
    case kQlxCallQueryTheme: return "qlxQueryTheme";
    case kQlxCallBuildTheme: return "qlxBuildTheme";
    case kQlxCallReportError: return "qlxReportError";
    case kQlxCallDirectory: return "directory";
    default: return "call";
  }
}

}  // namespace qlx

extern "C" int qlxGetLastError(QLXERROR* error) {
  trc::Scope trace(qlx::kTrace);
  if (!error) return trace.result(0);
  std::memcpy(error, &qlx::tLast, sizeof *error);
  return trace.result(1);
}

// "<code> <text>" from the detail; the text field may lack its terminator.
extern "C" int qlxFormatError(const QLXERRDETAIL* detail, int32_t, char* text,
                              uint32_t* length) {
  trc::Scope trace(qlx::kTrace);
  if (!detail || !text || !length || *length == 0) return trace.result(0);
  const uint32_t room = *length < qlx::kFormatLimit ? *length : qlx::kFormatLimit;
  char body[sizeof detail->Text + 1];
  qlx::copyBounded(body, sizeof body, detail->Text, sizeof detail->Text);
  int n = std::snprintf(text, room, "%d %s", detail->Code, body);
  if (n < 0) n = 0;
  *length = static_cast<uint32_t>(static_cast<uint32_t>(n) < room ? n : room - 1);
  return trace.result(1);
}

// Arguments: reason, sub-reason, entry type, name, reason text, result, call type, control
// block, 0, 0 (the order of qlxDirInterface::get).
extern "C" int qlxStoreError(QLXERROR* error, QLXERRDETAIL** subError, unsigned long a1,
                             unsigned long a2, unsigned long a3, unsigned long a4,
                             unsigned long a5, unsigned long, unsigned long a7,
                             unsigned long, unsigned long, unsigned long) {
  trc::Scope trace(qlx::kTrace);
  if (!error) return trace.result(0);
  *error = QLXERROR{};
  error->Flags = kQlxErrorReason | kQlxErrorSubReason;
  const auto* name = reinterpret_cast<const char*>(a4);
  const auto* reasonText = reinterpret_cast<const char*>(a5);
  for (QLXERRDETAIL* d : {&error->Reason, &error->SubReason}) {
    d->Facility = qlx::kFacilityBroker;
    d->CallType = static_cast<int32_t>(a7);
  }
  error->Reason.Code = static_cast<int32_t>(a1);
  error->SubReason.Code = static_cast<int32_t>(a2);
  char reasonCopy[160];
  char nameCopy[136];
  qlx::copyBounded(reasonCopy, sizeof reasonCopy, reasonText, sizeof reasonCopy - 1);
  qlx::copyBounded(nameCopy, sizeof nameCopy, name, kQlxNameLength);
  std::snprintf(error->Reason.Text, sizeof error->Reason.Text, "%s",
                reasonCopy[0] ? reasonCopy : "directory call failed");
  std::snprintf(error->SubReason.Text, sizeof error->SubReason.Text,
                "entry ``%.132s'' of type %lu", nameCopy, a3);
  if (subError) *subError = &error->SubReason;
  return trace.result(1);
}
