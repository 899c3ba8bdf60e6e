#include "descriptor.h"

#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrutil"};

namespace {

// Copies at most `room` characters of `name` (null: none) into a field of `room` bytes
// and pads the rest with NUL; a name that fills the field has no terminator in it.
void copyPadded(char* field, size_t room, const char* name) {
  trc::Scope trace(kTrace);
  size_t length = name ? strnlen(name, room) : 0;
  if (length) std::memcpy(field, name, length);
  std::memset(field + length, 0, room - length);
}

}  // namespace

void zvrInitDescriptor(QLXMSG& msg) {
  trc::Scope trace(kTrace);
  std::memcpy(&msg, &kQlxMsgDefault, sizeof msg);
}

void zvrCopyDescriptor(QLXMSG& to, const QLXMSG& from) {
  trc::Scope trace(kTrace);
  if (&to != &from) std::memcpy(&to, &from, sizeof to);
}

void zvrSetFormatName(QLXMSG& msg, const char* name) {
  trc::Scope trace(kTrace);
  copyPadded(msg.FormatName, sizeof msg.FormatName, name);
  msg.Format = -1;
}

void zvrGetFormatName(const QLXMSG& msg, char (&out)[kFormatNameArea]) {
  trc::Scope trace(kTrace);
  static_assert(sizeof out == sizeof msg.FormatName + 1);
  size_t length = strnlen(msg.FormatName, sizeof msg.FormatName);
  std::memcpy(out, msg.FormatName, length);
  out[length] = '\0';
}

void zvrSetId(QLXMSGID& to, const void* from) {
  trc::Scope trace(kTrace);
  std::memmove(to, from, sizeof to);
}

void zvrReleaseBuffer(QLXHANDLE handle, QLXBUFFER& buffer) {
  trc::Scope trace(kTrace);
  if (buffer.Owned != 1) return;
  int released = qlxFreeBuffer(handle, &buffer);
  if (!released && kTrace.printfs())
    TRC1_Printf(kTrace.name, "qlxFreeBuffer refused a buffer of %u bytes", buffer.Length);
  // Forget the buffer either way: a refused release may leak, a second one could corrupt.
  buffer = QLXBUFFER{0, 0, nullptr};
}

void zvrAttachBuffer(QLXHANDLE handle, QLXBUFFER& buffer, uint32_t& length, const void* data,
                     uint32_t size) {
  trc::Scope trace(kTrace);
  zvrReleaseBuffer(handle, buffer);
  // The descriptor field is not const in the middleware's record, but nothing writes
  // through it on a put: the caller's bytes stay unchanged.
  buffer.Owned = 0;
  buffer.Length = size;
  buffer.Data = const_cast<void*>(data);
  length = size;
}

void zvrCopyName(char (&to)[kQlxNameLength], const char* name) {
  trc::Scope trace(kTrace);
  copyPadded(to, sizeof to, name);
}

void zvrStartResponse(QLXMSG& msg, const QLXMSG& request) {
  trc::Scope trace(kTrace);
  zvrInitDescriptor(msg);
  msg.MsgType = request.MsgType;
  msg.Priority = request.Priority;
  msg.Persistence = request.Persistence;
  msg.Feedback = request.Feedback;
  msg.Expiry = request.Expiry;
  msg.CodePage = request.CodePage;
  msg.Encoding = request.Encoding;
  zvrSetId(msg.MsgId, request.MsgId);
  zvrSetId(msg.CorrelId, request.CorrelId);
  msg.Status = request.Status;
  // The request's name up to its first NUL, padded: what zvrSetFormatName would store.
  copyPadded(msg.FormatName, sizeof msg.FormatName, request.FormatName);
  msg.Format = -1;
}
