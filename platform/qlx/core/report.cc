// qlxReportError: the element's error profile. The failed request is kept on the
// element's error queue ("error:E") with the exception text, whatever the actions: under
// a local unit of work it appears there at commit (and not at all after a rollback, when
// the request itself goes back to its queue), so a request reported and committed is on
// the error queue exactly once.
#include <cstring>

#include "connection.h"
#include "errors.h"
#include "metrics.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

constexpr int32_t kCall = kQlxCallReportError;

bool checkRecords(const QLXEPOPT* options, const QLXMSG* msg, const QLXEXCEPTION* exception) {
  if (!options || std::memcmp(options->Signature, "XCEP", 4) != 0)
    return failSub(kCall, kReasonInvalidArgument, 2,
                   "qlxReportError: no option record with the \"XCEP\" eye-catcher");
  if (!msg || std::memcmp(msg->Signature, "BXMD", 4) != 0)
    return failSub(kCall, kReasonInvalidArgument, 3,
                   "qlxReportError: no message descriptor with the \"BXMD\" eye-catcher");
  if (!exception || std::memcmp(exception->Signature, "XCEX", 4) != 0)
    return failSub(kCall, kReasonInvalidArgument, 4,
                   "qlxReportError: no exception record with the \"XCEX\" eye-catcher");
  return true;
}

// The element's current default actions (the directory may have changed since connect).
uint32_t defaultActions(Connection& c) {
  EntryFacts facts;
  return c.store->findEntry(true, c.name, facts) > 0 ? facts.defaultActions : c.defaultActions;
}

bool copyBytes(uint32_t length, const QLXBUFFER& buffer, std::string& out) {
  out.clear();
  if (length == 0) return true;
  if (!buffer.Data || buffer.Length < length)
    return fail(kCall, kReasonBuffer, "qlxReportError: a length of %u, but the buffer holds %u",
                length, buffer.Data ? buffer.Length : 0);
  out.assign(static_cast<const char*>(buffer.Data), length);
  return true;
}

bool requestRow(Connection& c, const QLXMSG* msg, const QLXHANDLE* context, MessageRow& row) {
  if (!copyBytes(msg->MsgLength, msg->MsgBuffer, row.body) ||
      !copyBytes(msg->TagLength, msg->TagBuffer, row.tag))
    return false;
  row.queue = "error:" + c.name;
  takeDescriptorFields(*msg, row);
  // Kept for the operator (qlxadm errors); a resubmitted request starts again from 0.
  row.backout = msg->BackoutCount > 0 ? msg->BackoutCount : 0;
  row.msgId.assign(reinterpret_cast<const char*>(msg->MsgId), sizeof msg->MsgId);
  row.correlId.assign(reinterpret_cast<const char*>(msg->CorrelId), sizeof msg->CorrelId);
  stampNow(row);
  if (const Theme* t = context && *context ? c.themes.find(*context) : nullptr) row.theme = *t;
  return true;
}

int report(Connection& c, QLXEPOPT* options, QLXMSG* msg, QLXEXCEPTION* exception,
           QLXSYNCP sync, QLXHANDLE* context) {
  if (!checkRecords(options, msg, exception)) return 0;
  int type = sync ? sync->SyncType : 0;
  if (sync && (std::memcmp(sync->Signature, "BXSY", 4) != 0 || (type != 0 && type != 1)))
    return fail(kCall, kReasonSyncpoint, "qlxReportError: not a \"BXSY\" record of type 0 or 1");
  MessageRow row;
  if (!requestRow(c, msg, context, row)) return 0;
  const uint32_t defaults = defaultActions(c);
  ErrorInfo info;
  const QLXERROR& error = exception->Error;
  if (exception->Flags & kQlxExcError) {
    info.reason = (error.Flags & kQlxErrorReason) ? error.Reason.Code : 0;
    info.subReason = (error.Flags & kQlxErrorSubReason) ? error.SubReason.Code : 0;
  }
  info.callType = exception->CallType;
  info.text = exceptionText(*exception);
  info.defaultActions = defaults;
  info.performedActions =
      consultExit(c, exception, defaults, 0,
                  "request reported to the error profile (reason " +
                      std::to_string(info.reason) + ")");
  info.reporter = c.name;
  const uint32_t performed = info.performedActions;
  row.error = std::move(info);
  if (type == 1) {
    c.work.staged.push_back(std::move(row));
  } else if (!c.store->put(row)) {
    return failSub(kCall, kReasonStorage, c.store->errorCode(), "qlxReportError: %.180s",
                   c.store->errorText().c_str());
  }
  if (type != 1) countPut(c, row.queue);  // a staged report counts at its commit
  options->DefaultActions = defaults;
  options->ActionsPerformed = performed;
  return 1;
}

}  // namespace
}  // namespace qlx

using namespace qlx;

extern "C" int qlxReportError(QLXHANDLE handle, QLXEPOPT* options, QLXMSG* msg,
                              QLXEXCEPTION* exception, QLXSYNCP sync, QLXHANDLE* context) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallReportError, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  if (c->kind != Kind::kElement)
    return trace.result(fail(kCall, kReasonWrongKind,
                             "qlxReportError: only a business element has an error profile"));
  return trace.result(call.done(report(*c, options, msg, exception, sync, context)));
}
