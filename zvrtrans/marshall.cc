#include "marshall.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "catalog.h"
#include "descriptor.h"
#include "dump.h"
#include "erroradt.h"
#include "marshall_error.h"
#include "marshall_format.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"
#include "zvrroute.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

// Converts a value as sscanf's "%ld" would on the 32-bit host the fields belong to:
// leading white space is skipped, the number ends at the first byte that cannot continue
// it, and a value beyond the 32-bit range gives the nearest limit. 0 when the value does
// not start with a number (the field is left as it was).
int parseNumber(const char* start, const char* end, int32_t& field) {
  trc::Scope trace(kTrace);
  while (start < end && (*start == ' ' || (*start >= '\t' && *start <= '\r'))) ++start;
  bool negative = false;
  if (start < end && (*start == '+' || *start == '-')) negative = *start++ == '-';
  if (start == end || *start < '0' || *start > '9') return 0;
  int64_t value = 0;
  for (; start < end && *start >= '0' && *start <= '9'; ++start)
    value = std::min<int64_t>(value * 10 + (*start - '0'), int64_t{INT32_MAX} + 1);
  if (negative) value = -value;
  field = static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
  return 1;
}

// Copies the first min(value length, 24) bytes and zeroes the rest of the id.
void storeId(QLXMSGID& id, const char* start, const char* end) {
  trc::Scope trace(kTrace);
  size_t size = std::min<size_t>(end - start, kQlxMsgIdLength);
  std::memset(id, 0, kQlxMsgIdLength);
  std::memcpy(id, start, size);
}

// How a field of the Attributes section is taken over on reading.
enum class FieldUse { kDiscard, kNumber, kId };
struct AttributeRead {
  MarshallTag tag;
  FieldUse use;
  int32_t QLXMSG::*number;
  QLXMSGID QLXMSG::*id;
};
// In reading order; a field out of this order is not recognised.
constexpr AttributeRead kAttributeReads[] = {
    {kTagTheme, FieldUse::kDiscard, nullptr, nullptr},
    {kTagSignature, FieldUse::kDiscard, nullptr, nullptr},
    {kTagVersion, FieldUse::kDiscard, nullptr, nullptr},
    {kTagMsgType, FieldUse::kDiscard, nullptr, nullptr},
    {kTagPriority, FieldUse::kNumber, &QLXMSG::Priority, nullptr},
    {kTagPersistence, FieldUse::kNumber, &QLXMSG::Persistence, nullptr},
    {kTagFeedback, FieldUse::kNumber, &QLXMSG::Feedback, nullptr},
    {kTagExpiry, FieldUse::kNumber, &QLXMSG::Expiry, nullptr},
    {kTagCodePage, FieldUse::kNumber, &QLXMSG::CodePage, nullptr},
    {kTagEncoding, FieldUse::kNumber, &QLXMSG::Encoding, nullptr},
    {kTagMsgID, FieldUse::kId, nullptr, &QLXMSG::MsgId},
    {kTagCorrelID, FieldUse::kId, nullptr, &QLXMSG::CorrelId},
    {kTagStatus, FieldUse::kDiscard, nullptr, nullptr},
    {kTagBackoutCount, FieldUse::kDiscard, nullptr, nullptr},
};

}  // namespace

Marshall::Marshall(const QuorRequest& request, const unsigned flags)
    : theme_(request.theme()),
      getOptions_(request.getOptions()),
      request_(&request.descriptor()),
      flags_(flags) {
  trc::Scope trace(kTrace);
  zvrSetId(requestMsgId_, request_->MsgId);
  zvrSetId(requestCorrelId_, request_->CorrelId);
  zvrSetId(themeId_, request.themeID());
}

Marshall::~Marshall() { trc::Scope trace(kTrace); }

size_t Marshall::_readable(const QLXBUFFER& buffer, uint32_t length) {
  trc::Scope trace(kTrace);
  // Never more than the buffer the middleware described, whatever the length field says.
  return trace.result(buffer.Data == nullptr ? size_t{0} : std::min(length, buffer.Length));
}

unsigned long Marshall::length() const {
  trc::Scope trace(kTrace);
  return trace.result(textLength_);
}

void* Marshall::buffer() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<void*>(text_.get()));
}

int Marshall::setBuffer(const void* data, const unsigned long length) {
  trc::Scope trace(kTrace);
  // Copy before freeing: `data` may point into the text being replaced.
  std::unique_ptr<char[]> copy;
  if (length != 0) {
    copy.reset(new char[length]);
    std::memcpy(copy.get(), data, length);
  }
  text_ = std::move(copy);
  textLength_ = length;
  capacity_ = length;
  return trace.result(1);
}

int Marshall::display(char*& out) const {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat("\nMarshall Buffer\n---------------\nLength: %ld\n\n",
                               static_cast<long>(textLength_));
  text += zvrDumpHex(text_.get(), textLength_);
  return trace.result(zvrNewText(text, out));
}

std::ostream& operator<<(std::ostream& os, const Marshall& marshall) {
  trc::Scope trace(kTrace);
  char* text = nullptr;
  int length = marshall.display(text);
  os.write(text, length);
  delete[] text;
  return os;
}

unsigned long Marshall::splitMultiBuffer(void*&, unsigned long&, unsigned&) const {
  trc::Scope trace(kTrace);
  return trace.result(0UL);
}

// ---- Writing ----

char* Marshall::_allocateText(size_t capacity) {
  trc::Scope trace(kTrace);
  text_.reset(capacity == 0 ? nullptr : new char[capacity]);
  capacity_ = capacity;
  textLength_ = 0;
  return text_.get();
}

void Marshall::_setLength(size_t length) {
  trc::Scope trace(kTrace);
  assert(length <= capacity_);
  textLength_ = length;
}

size_t Marshall::_put(char* at, const void* bytes, size_t size) {
  trc::Scope trace(kTrace);
  // The writers' bound is computed before allocation; leaving it is a programming error.
  assert(at >= text_.get() && size <= capacity_ - static_cast<size_t>(at - text_.get()));
  if (size != 0) std::memcpy(at, bytes, size);
  return size;
}

size_t Marshall::_marshallField(char* at, unsigned tag, const void* value, size_t size) {
  trc::Scope trace(kTrace);
  std::string_view name = kMarshallTagNames[tag];
  size_t n = _put(at, "<", 1);
  n += _put(at + n, name.data(), name.size());
  n += _put(at + n, ">", 1);
  n += _put(at + n, value, size);
  n += _put(at + n, "</", 2);
  n += _put(at + n, name.data(), name.size());
  n += _put(at + n, ">\r\n", 3);
  return trace.result(n);
}

size_t Marshall::_marshallNumber(char* at, unsigned tag, long value) {
  trc::Scope trace(kTrace);
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  assert(ec == std::errc());
  return trace.result(_marshallField(at, tag, digits, end - digits));
}

size_t Marshall::_marshallHeader(char* at) {
  trc::Scope trace(kTrace);
  size_t n = _marshallBegin(at, kTagHeader);
  n += _marshallAttributes(at + n);
  n += _marshallFormat(at + n);
  n += _marshallTag(at + n);
  n += _marshallEnd(at + n, kTagHeader);
  return trace.result(n);
}

size_t Marshall::_marshallAttributes(char* at) {
  trc::Scope trace(kTrace);
  const QLXMSG& msg = *request_;
  size_t n = _marshallBegin(at, kTagAttributes);
  n += _marshallField(at + n, kTagSignature, msg.Signature, kMarshallSignatureWidth);
  n += _marshallNumber(at + n, kTagVersion, msg.Version);
  n += _marshallNumber(at + n, kTagMsgType, msg.MsgType);
  n += _marshallNumber(at + n, kTagPriority, msg.Priority);
  n += _marshallNumber(at + n, kTagPersistence, msg.Persistence);
  n += _marshallNumber(at + n, kTagFeedback, msg.Feedback);
  n += _marshallNumber(at + n, kTagExpiry, msg.Expiry);
  n += _marshallNumber(at + n, kTagCodePage, msg.CodePage);
  n += _marshallNumber(at + n, kTagEncoding, msg.Encoding);
  n += _marshallField(at + n, kTagMsgID, msg.MsgId, kMarshallIdWidth);
  n += _marshallField(at + n, kTagCorrelID, msg.CorrelId, kMarshallIdWidth);
  n += _marshallNumber(at + n, kTagStatus, msg.Status);
  n += _marshallNumber(at + n, kTagBackoutCount, msg.BackoutCount);
  n += _marshallTimestamp(at + n, msg.TimeStamp);
  n += _marshallEnd(at + n, kTagAttributes);
  return trace.result(n);
}

size_t Marshall::_marshallFormat(char* at) {
  trc::Scope trace(kTrace);
  char name[kFormatNameArea];
  zvrGetFormatName(*request_, name);
  return trace.result(_marshallField(at, kTagFormatName, name, std::strlen(name)));
}

size_t Marshall::_marshallTag(char* at) {
  trc::Scope trace(kTrace);
  if (request_->TagLength == 0) return trace.result(size_t{0});
  size_t size = _readable(request_->TagBuffer, request_->TagLength);
  return trace.result(_marshallField(at, kTagTag, request_->TagBuffer.Data, size));
}

size_t Marshall::_marshallMsgBuffer(char* at) {
  trc::Scope trace(kTrace);
  size_t size = _readable(request_->MsgBuffer, request_->MsgLength);
  return trace.result(_put(at, request_->MsgBuffer.Data, size));
}

// ---- Reading ----

int Marshall::_unMarshallField(const char*& cursor, const void* end, const char* name,
                               const char*& valueStart, const char*& valueEnd) const {
  trc::Scope trace(kTrace);
  const char* stop = static_cast<const char*>(end);
  size_t nameSize = std::strlen(name);
  assert(nameSize <= kMarshallTagNameMax && cursor <= stop);
  size_t left = stop - cursor;
  if (nameSize + 2 > left || cursor[0] != '<' || std::memcmp(cursor + 1, name, nameSize) != 0 ||
      cursor[nameSize + 1] != '>') {
    valueStart = valueEnd = nullptr;
    return trace.result(0);
  }
  const char* value = cursor + nameSize + 2;
  char closing[kMarshallTagNameMax + 5];
  std::memcpy(closing, "</", 2);
  std::memcpy(closing + 2, name, nameSize);
  std::memcpy(closing + 2 + nameSize, ">\r\n", 3);
  std::string_view rest(value, stop - value);
  size_t found = rest.find(std::string_view(closing, nameSize + 5));
  if (found == std::string_view::npos) {
    valueStart = valueEnd = value;
    return trace.result(0);
  }
  valueStart = value;
  valueEnd = value + found;
  cursor = valueEnd + nameSize + 5;
  return trace.result(1);
}

int Marshall::_unMarshallOptional(const char*& cursor, const char* end, unsigned tag,
                                  const char*& valueStart, const char*& valueEnd) const {
  trc::Scope trace(kTrace);
  std::string name(kMarshallTagNames[tag]);
  if (_unMarshallField(cursor, end, name.c_str(), valueStart, valueEnd)) return trace.result(1);
  if (valueStart == nullptr) return trace.result(0);
  zvrMarshallRaiseNoEnd(tag);
  return trace.result(-1);
}

int Marshall::_unMarshallAttributes(const char*& cursor, const char* end, QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  const char* start = nullptr;
  const char* stop = nullptr;
  for (const AttributeRead& field : kAttributeReads) {
    int found = _unMarshallOptional(cursor, end, field.tag, start, stop);
    if (found < 0) return trace.result(0);
    if (found == 0) continue;
    if (field.use == FieldUse::kNumber) parseNumber(start, stop, msg.*field.number);
    if (field.use == FieldUse::kId) storeId(msg.*field.id, start, stop);
  }
  if (!_unMarshallTimestamp(cursor, end - cursor)) return trace.result(0);
  if (!_unMarshallEnd(cursor, end, kTagAttributes)) {
    zvrMarshallRaiseNoEnd(kTagAttributes);
    return trace.result(0);
  }
  return trace.result(1);
}

int Marshall::_unMarshallFormat(const char*& cursor, const char* end, QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  const char* start = nullptr;
  const char* stop = nullptr;
  int found = _unMarshallOptional(cursor, end, kTagFormatName, start, stop);
  if (found < 0) return trace.result(0);
  if (found > 0) {
    // Cut to 132 bytes and terminated: a NUL inside the value ends the name there.
    char name[kFormatNameArea] = {};
    std::memcpy(name, start, std::min<size_t>(stop - start, kMarshallFormatNameWidth));
    zvrSetFormatName(msg, name);
  }
  return trace.result(1);
}

int Marshall::_unMarshallTag(const char*& cursor, const char* end, QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  const char* start = nullptr;
  const char* stop = nullptr;
  int found = _unMarshallOptional(cursor, end, kTagTag, start, stop);
  if (found < 0) return trace.result(0);
  // The tag is not copied: the descriptor points into the piece. The piece is at most
  // 32 bits long (createResponse), so the length fits.
  if (found > 0)
    zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, start, static_cast<uint32_t>(stop - start));
  return trace.result(1);
}

int Marshall::_unMarshallHeader(const char*& cursor, const unsigned long length, QLXMSG& msg,
                                ZvrRouteList* routes) const {
  trc::Scope trace(kTrace);
  const char* piece = cursor;
  const char* end = cursor + length;
  const char* at = cursor;
  if (!_unMarshallBegin(at, end, kTagHeader)) return trace.result(1);
  char errorText[kMarshallErrorTextSize];
  const char* start = nullptr;
  const char* stop = nullptr;
  bool ok = (!_unMarshallBegin(at, end, kTagAttributes) || _unMarshallAttributes(at, end, msg)) &&
            _unMarshallFormat(at, end, msg) && _unMarshallTag(at, end, msg) &&
            _unMarshallRoute(at, end, start, stop, errorText, piece, length, routes);
  if (ok && !_unMarshallEnd(at, end, kTagHeader)) {
    zvrMarshallRaiseNoEnd(kTagHeader);
    ok = false;
  }
  if (!ok) {
    if (ZVRverbose && ZVRerror != nullptr) {
      std::string dump = zvrDumpHex(piece, length);
      ZVRerror->addInfo("Transformed Buffer follows:", dump.c_str(),
                        static_cast<unsigned>(std::min<size_t>(dump.size(), UINT_MAX)));
    }
    return trace.result(0);
  }
  cursor = at;
  return trace.result(1);
}

int Marshall::_unMarshall(const void* piece, const unsigned long length, QLXMSG& msg,
                          ZvrRouteList* routes) const {
  trc::Scope trace(kTrace);
  const char* cursor = static_cast<const char*>(piece);
  if (!_unMarshallHeader(cursor, length, msg, routes)) return trace.result(0);
  size_t body = static_cast<const char*>(piece) + length - cursor;
  // The body is not copied: the descriptor points into the piece.
  zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, cursor, static_cast<uint32_t>(body));
  return trace.result(1);
}

int Marshall::_unMarshallRoute(const char*&, const char*, const char*&, const char*&, char*,
                               const void*, const unsigned long, ZvrRouteList*) const {
  trc::Scope trace(kTrace);
  return trace.result(1);
}

// ---- Responses ----

void Marshall::_startResponse(QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  const QLXMSG& from = *request_;
  zvrStartResponse(msg, from);
  // The request's tag is shared, not copied: the response lives within the request's pass.
  msg.TagLength = from.TagLength;
  msg.TagBuffer = QLXBUFFER{0, from.TagLength, from.TagBuffer.Data};
}

QLXPUTOPT Marshall::_responsePutOptions(const QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  QLXPUTOPT put = kQlxPutOptDefault;
  if (std::memcmp(msg.MsgId, requestMsgId_, kQlxMsgIdLength) != 0) {
    put.Options |= kQlxPutMsgId;
    zvrSetId(put.MsgId, msg.MsgId);
  }
  bool correlKept = std::memcmp(msg.CorrelId, requestCorrelId_, kQlxMsgIdLength) == 0;
  bool correlIsTheme = std::memcmp(requestCorrelId_, themeId_, kQlxMsgIdLength) == 0;
  if (!correlKept || !correlIsTheme) {
    put.Options |= kQlxPutCorrelId;
    zvrSetId(put.CorrelId, msg.CorrelId);
  } else {
    put.Options |= kQlxPutNewCorrel;
  }
  put.Options |= kQlxPutNoReply;
  return put;
}

QuorResponse* Marshall::createResponse(void*& piece, unsigned long& length,
                                       ZvrRouteList* routes) const {
  trc::Scope trace(kTrace);
  assert(piece != nullptr || length == 0);
  // Body and tag lengths are 32-bit fields of the descriptor.
  if (length > UINT32_MAX) {
    std::string info = zvrFormat("The transformed piece of %lu bytes exceeds 32 bits.", length);
    zvrMarshallRaise(ZVRID_M0004, kZvrError, ZVRTXT_M0004, ZVRUA_M0004, info.c_str());
    return trace.result(static_cast<QuorResponse*>(nullptr));
  }
  QLXMSG msg;
  _startResponse(msg);
  if (!_unMarshall(piece, length, msg, routes))
    return trace.result(static_cast<QuorResponse*>(nullptr));
  QuorResponse* response = new (std::nothrow) QuorResponse(&msg, theme_, _responsePutOptions(msg));
  if (response == nullptr) zvrMarshallRaise(ZVRID_M0004, kZvrError, ZVRTXT_M0004, ZVRUA_M0004);
  return trace.result(response);
}
