// Gets, puts and units of work: qlxGetRequest, qlxGetResponse, qlxPutRequest,
// qlxPutResponse, qlxCommit, qlxRollback.
#include <cerrno>
#include <cstring>

#include "buffers.h"
#include "connection.h"
#include "errors.h"
#include "faults.h"
#include "metrics.h"
#include "options.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

bool allZero(const unsigned char* id) {
  for (size_t i = 0; i < kQlxMsgIdLength; ++i)
    if (id[i]) return false;
  return true;
}

std::string idBytes(const unsigned char* id) {
  return std::string(reinterpret_cast<const char*>(id), kQlxMsgIdLength);
}

// 0 or 1 from a sync record; a missing record counts as 0. -1 (with the error set) for a
// record that is not "BXSY" or whose type is neither.
int syncType(int32_t call, QLXSYNCP sync) {
  if (!sync) return 0;
  if (std::memcmp(sync->Signature, "BXSY", 4) != 0) {
    failSub(call, kReasonInvalidArgument, 4, "%s: the sync record has no \"BXSY\" eye-catcher",
            callName(call));
    return -1;
  }
  if (sync->SyncType == 0 || sync->SyncType == 1) return sync->SyncType;
  fail(call, kReasonSyncpoint, "%s: syncpoint type %d is neither 0 nor 1", callName(call),
       sync->SyncType);
  return -1;
}

// Copies `length` bytes of a descriptor buffer; the buffer must hold them.
bool takeBytes(int32_t call, const char* what, uint32_t length, const QLXBUFFER& buffer,
               std::string& out) {
  out.clear();
  if (length == 0) return true;
  if (!buffer.Data || buffer.Length < length)
    return fail(call, kReasonBuffer, "%s: %s of %u bytes, but its buffer holds %u",
                callName(call), what, length, buffer.Data ? buffer.Length : 0);
  out.assign(static_cast<const char*>(buffer.Data), length);
  return true;
}

// The descriptor's fields and bytes as a message row (ids and theme not yet set).
bool readDescriptor(int32_t call, const QLXMSG* msg, MessageRow& row) {
  if (!msg || std::memcmp(msg->Signature, "BXMD", 4) != 0)
    return failSub(call, kReasonInvalidArgument, 2,
                   "%s: no message descriptor with the \"BXMD\" eye-catcher", callName(call));
  if (!takeBytes(call, "MsgLength", msg->MsgLength, msg->MsgBuffer, row.body) ||
      !takeBytes(call, "TagLength", msg->TagLength, msg->TagBuffer, row.tag))
    return false;
  takeDescriptorFields(*msg, row);
  stampNow(row);
  return true;
}

// MsgId: the option's with kQlxPutMsgId, else the descriptor's when set, else a new one.
// CorrelId: the option's with kQlxPutCorrelId; the theme id with kQlxPutNewCorrel; else
// the descriptor's when set; else the theme id. A conversation's messages thus carry the
// theme id as CorrelId unless a program chose another.
void chooseIds(const QLXMSG* msg, const QLXPUTOPT* options, MessageRow& row) {
  const uint32_t bits = options ? options->Options : 0;
  if (bits & kQlxPutMsgId) {
    row.msgId = idBytes(options->MsgId);
  } else if (!allZero(msg->MsgId)) {
    row.msgId = idBytes(msg->MsgId);
  } else {
    ThemeId id = newMessageId();
    row.msgId = idBytes(id.data());
  }
  if (bits & kQlxPutCorrelId)
    row.correlId = idBytes(options->CorrelId);
  else if (!(bits & kQlxPutNewCorrel) && !allZero(msg->CorrelId))
    row.correlId = idBytes(msg->CorrelId);
  else
    row.correlId = idBytes(row.theme.id.data());
}

bool fillDescriptor(int32_t call, const MessageRow& row, QLXMSG* msg) {
  QLXBUFFER body{}, tag{};
  if (!giveBuffer(body, row.body.data(), row.body.size()) ||
      (!row.tag.empty() && !giveBuffer(tag, row.tag.data(), row.tag.size()))) {
    if (body.Data) releaseOwned(body.Data);
    return fail(call, kReasonBuffer, "%s: out of memory for a message of %zu bytes",
                callName(call), row.body.size());
  }
  *msg = kQlxMsgDefault;
  msg->MsgType = row.msgType;
  msg->Priority = row.priority;
  msg->Persistence = row.persistence;
  msg->Format = row.format;
  msg->Feedback = row.feedback;
  msg->Expiry = row.expiry;
  msg->CodePage = row.codePage;
  msg->Encoding = row.encoding;
  std::memcpy(msg->MsgId, row.msgId.data(), std::min(row.msgId.size(), sizeof msg->MsgId));
  std::memcpy(msg->CorrelId, row.correlId.data(),
              std::min(row.correlId.size(), sizeof msg->CorrelId));
  msg->Status = row.theme.following() > 0 ? kQlxStatusWorkflowFollows : 0;
  msg->MsgLength = static_cast<uint32_t>(row.body.size());
  msg->MsgBuffer = body;
  msg->TagLength = static_cast<uint32_t>(row.tag.size());
  msg->TagBuffer = tag;
  msg->BackoutCount = static_cast<int32_t>(row.backout);
  msg->TimeStamp = QLXTIMESTAMP{static_cast<int32_t>(row.putSec),
                                static_cast<int32_t>(row.putMillis)};
  std::memcpy(msg->FormatName, row.formatName.data(),
              std::min(row.formatName.size(), sizeof msg->FormatName));
  return true;
}

struct GetRequestShape {
  Match match;
  Take take = Take::kDelete;
  bool wait = false;
  int64_t waitMillis = 0;  // < 0: no limit
  Theme* theme = nullptr;  // the theme asked for, when the get matches one
};

bool shapeGet(int32_t call, Connection& c, const QLXGETOPT* options, int sync,
              QLXHANDLE* theme, GetRequestShape& shape) {
  if (options && std::memcmp(options->Signature, "BXGO", 4) != 0)
    return failSub(call, kReasonInvalidArgument, 3,
                   "%s: the get options have no \"BXGO\" eye-catcher", callName(call));
  const uint32_t bits = options ? options->Options : 0;
  shape.take = getBrowses(bits) ? Take::kBrowse : (sync == 1 ? Take::kClaim : Take::kDelete);
  shape.wait = (bits & kQlxGetWait) != 0;
  shape.match.held = &c.work.claims;
  shape.waitMillis = options ? options->Wait : 0;
  if (bits & kQlxGetMatchMsgId) shape.match.msgId = options->MsgId;
  if ((bits & kQlxGetMatchCorrelId) && !(bits & kQlxGetNoCorrel))
    shape.match.correlId = options->CorrelId;
  if (getMatchesTheme(bits) && theme && *theme != 0) {
    shape.theme = c.themes.find(*theme);
    if (!shape.theme)
      return fail(call, kReasonInvalidTheme, "%s: theme handle %u is not open", callName(call),
                  *theme);
    shape.match.themeId = shape.theme->id.data();
  }
  return true;
}

// Waits for and takes one message. 1 with `row` filled; 0 with the last error set.
int awaitMessage(int32_t call, Connection& c, const GetRequestShape& shape, MessageRow& row) {
  const int64_t deadline = shape.waitMillis < 0 ? -1 : nowMillis() + shape.waitMillis;
  for (;;) {
    if (shape.wait) c.waiter->block();  // a signal from here on ends the wait
    recoverDeadConnections(c, c.waiter->takeEnding());
    int found = c.store->take(c.queue, shape.match, shape.take, row);
    if (found != 0) {
      c.waiter->unblock();
      if (found > 0) return 1;
      const int code = c.store->errorCode();
      const std::string text = c.store->errorText();
      // A unit that holds nothing loses nothing when the store's side of it ends, so that
      // the next call starts afresh (e.g. on a new session after the database came back).
      if (c.work.empty()) c.store->rollback(c.work);
      return failSub(call, kReasonStorage, code, "%s: broker database: %.170s", callName(call),
                     text.c_str());
    }
    const int64_t remaining = deadline < 0 ? -1 : deadline - nowMillis();
    if (!shape.wait || (deadline >= 0 && remaining <= 0)) {
      c.waiter->unblock();
      return fail(call, kReasonNoMessage, "%s: no message on queue %.150s", callName(call),
                  c.queue.c_str());
    }
    if (c.waiter->sleep(remaining) == QueueWait::kInterrupted)
      return failSub(call, kReasonInterrupted, EINTR,
                     "%s: the wait for a message was interrupted by a signal", callName(call));
  }
}

// Makes a claimed message part of the unit of work: the caller's copy, then the store's
// record of the claim. Whatever fails releases the claim at once, so nothing is left held
// but unrecorded.
bool holdClaim(int32_t call, Connection& c, const MessageRow& row, QLXMSG* msg) {
  const QLXMSG before = *msg;
  Fault fault;
  if (c.store->takeFault("getcopy", c.name, fault)) {
    c.store->releaseClaim(row.id);
    return fail(call, fault.reason, "%s: injected fault in the copy of message (reason %d)",
                callName(call), fault.reason);
  }
  if (!fillDescriptor(call, row, msg)) {
    c.store->releaseClaim(row.id);
    return false;
  }
  if (!c.store->keepClaim(c.work.claims.size(), row.id)) {
    releaseOwned(msg->MsgBuffer.Data);
    if (msg->TagBuffer.Data) releaseOwned(msg->TagBuffer.Data);
    *msg = before;
    c.store->releaseClaim(row.id);
    return failSub(call, kReasonStorage, c.store->errorCode(), "%s: %.180s", callName(call),
                   c.store->errorText().c_str());
  }
  c.work.claims.push_back(Claim{row.id, row.queue});
  return true;
}

int getMessage(int32_t call, Connection& c, QLXMSG* msg, QLXGETOPT* options, QLXSYNCP sync,
               QLXHANDLE* theme) {
  if (!msg)
    return failSub(call, kReasonInvalidArgument, 2, "%s: no message descriptor",
                   callName(call));
  const int type = syncType(call, sync);
  GetRequestShape shape;
  if (type < 0 || !shapeGet(call, c, options, type, theme, shape)) return 0;
  MessageRow row;
  if (!awaitMessage(call, c, shape, row)) return 0;
  if (shape.take == Take::kClaim && !holdClaim(call, c, row, msg)) return 0;
  if (shape.take != Take::kClaim && !fillDescriptor(call, row, msg)) return 0;
  if (shape.take != Take::kBrowse) countGet(c);
  if (shape.theme)
    *shape.theme = row.theme;  // the handle asked with now follows this message
  else if (theme)
    *theme = c.themes.add(row.theme);
  return 1;
}

int putRow(int32_t call, Connection& c, MessageRow&& row, int sync) {
  if (sync == 1) {
    c.work.staged.push_back(std::move(row));
    return 1;
  }
  if (c.store->put(row)) {
    countPut(c, row.queue);
    return 1;
  }
  return failSub(call, kReasonStorage, c.store->errorCode(), "%s: broker database: %.170s",
                 callName(call), c.store->errorText().c_str());
}

bool checkPutOptions(int32_t call, const QLXPUTOPT* options) {
  if (!options || std::memcmp(options->Signature, "BXPO", 4) == 0) return true;
  return failSub(call, kReasonInvalidArgument, 3,
                 "%s: the put options have no \"BXPO\" eye-catcher", callName(call));
}

int putRequest(Connection& c, const QLXSERVICE* service, QLXMSG* msg, QLXPUTOPT* options,
               QLXSYNCP sync, QLXHANDLE* theme) {
  const int32_t call = kQlxCallPutRequest;
  if (!service || std::memcmp(service->Signature, "BXSV", 4) != 0)
    return failSub(call, kReasonInvalidArgument, 2,
                   "qlxPutRequest: no service record with the \"BXSV\" eye-catcher");
  const int type = syncType(call, sync);
  MessageRow row;
  if (type < 0 || !checkPutOptions(call, options) || !readDescriptor(call, msg, row)) return 0;
  const std::string name(service->Name, strnlen(service->Name, sizeof service->Name));
  std::string detail;
  Theme& t = row.theme;
  if (int32_t reason = loadServiceHops(*c.store, name, originHop(c.queue), t.hops, detail))
    return fail(call, reason, "qlxPutRequest: %.180s", detail.c_str());
  t.id = newThemeId();
  t.origin = c.queue;
  t.service = name;
  t.position = 0;
  chooseIds(msg, options, row);
  row.queue = queueOfHop(t.hops[0]);
  Theme started = t;
  if (!putRow(call, c, std::move(row), type)) return 0;
  if (theme) *theme = c.themes.add(std::move(started));
  return 1;
}

int putResponse(Connection& c, QLXMSG* msg, QLXPUTOPT* options, QLXSYNCP sync,
                QLXHANDLE* theme) {
  const int32_t call = kQlxCallPutResponse;
  const int type = syncType(call, sync);
  MessageRow row;
  if (type < 0 || !checkPutOptions(call, options) || !readDescriptor(call, msg, row)) return 0;
  const Theme* t = theme ? c.themes.find(*theme) : nullptr;
  if (!t)
    return fail(call, kReasonInvalidTheme, "qlxPutResponse: theme handle %u is not open",
                theme ? *theme : 0);
  row.theme = *t;
  if (options && (options->Options & kQlxPutNotify)) {
    row.queue = t->origin;
    row.theme.position = static_cast<int32_t>(t->hops.size()) - 1;
  } else if (t->following() <= 0) {
    return fail(call, kReasonEndOfWorkflow,
                "qlxPutResponse: the workflow of service ``%.132s'' has no further hop",
                t->service.c_str());
  } else {
    row.theme.position = t->position + 1;
    row.queue = queueOfHop(t->hops[static_cast<size_t>(row.theme.position)]);
  }
  chooseIds(msg, options, row);
  return putRow(call, c, std::move(row), type);
}

// At once: the claimed messages go, the puts appear. A unit one of whose messages was
// taken from it meanwhile is refused and rolled back.
int commitWork(Connection& c) {
  if (c.work.empty()) {
    // What a failed get let go must not stay held until this connection's next call.
    if (c.store->endEmptyUnit()) return 1;
    return failSub(kQlxCallCommit, kReasonStorage, c.store->errorCode(),
                   "qlxCommit: broker database: %.170s", c.store->errorText().c_str());
  }
  const int done = c.store->commit(c.work);
  if (done > 0) {
    countCommit(c);
    c.work = UnitOfWork{};
    return 1;
  }
  if (done == 0 && c.store->commitInDoubt()) {
    // Ended, so that a retried commit cannot apply the unit twice.
    c.work = UnitOfWork{};
    return failSub(kQlxCallCommit, kReasonStorage, c.store->errorCode(),
                   "qlxCommit: the unit of work reached the broker database but could not be "
                   "synced to disk (%.100s): a power loss may undo it; it has ended",
                   c.store->errorText().c_str());
  }
  if (done == 0)
    return failSub(kQlxCallCommit, kReasonStorage, c.store->errorCode(),
                   "qlxCommit: broker database: %.170s", c.store->errorText().c_str());
  const std::string why = c.store->errorText();
  rollbackUnit(c);
  return fail(kQlxCallCommit, kReasonClaimLost,
              "qlxCommit: %.200s; the unit of work was rolled back", why.c_str());
}

}  // namespace
}  // namespace qlx

using namespace qlx;

extern "C" int qlxGetRequest(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options,
                             QLXSYNCP sync, QLXHANDLE* theme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallGetRequest, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(getMessage(kQlxCallGetRequest, *c, msg, options, sync, theme)));
}

extern "C" int qlxGetResponse(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options,
                              QLXSYNCP sync, QLXHANDLE* theme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallGetResponse, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(getMessage(kQlxCallGetResponse, *c, msg, options, sync, theme)));
}

extern "C" int qlxPutRequest(QLXHANDLE handle, const QLXSERVICE* service, QLXMSG* msg,
                             QLXPUTOPT* options, QLXSYNCP sync, QLXHANDLE* theme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallPutRequest, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(putRequest(*c, service, msg, options, sync, theme)));
}

extern "C" int qlxPutResponse(QLXHANDLE handle, QLXMSG* msg, QLXPUTOPT* options,
                              QLXSYNCP sync, QLXHANDLE* theme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallPutResponse, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(putResponse(*c, msg, options, sync, theme)));
}

extern "C" int qlxCommit(QLXHANDLE handle, QLXSYNCP sync) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallCommit, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c || syncType(kQlxCallCommit, sync) < 0) return trace.result(call.done(0));
  return trace.result(call.done(commitWork(*c)));
}

extern "C" int qlxRollback(QLXHANDLE handle, QLXSYNCP sync) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallRollback, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c || syncType(kQlxCallRollback, sync) < 0) return trace.result(call.done(0));
  if (!rollbackUnit(*c))
    return trace.result(call.done(failSub(kQlxCallRollback, kReasonStorage,
                                          c->store->errorCode(),
                                          "qlxRollback: broker database: %.170s",
                                          c->store->errorText().c_str())));
  return trace.result(1);
}
