#include "marshall.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>

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
  size_t size = std::min<size_t>(end - start, kQlxMsgIdLength);
  std::memset(id, 0, kQlxMsgIdLength);
  std::memcpy(id, start, size);
}

// The first byte equal to `byte` in [from, last], or null. Eight bytes at a time while a
// whole word lies before `end` (the lowest byte of the word that matches is found exactly:
// the borrow of the zero-byte test only runs towards higher bytes), then byte by byte.
// Inlined, like the two functions after it: they run for every field of every response.
[[gnu::always_inline]] inline const char* findByte(const char* from, const char* last,
                                                  const char* end, char byte) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  const uint64_t pattern = kOnes * static_cast<unsigned char>(byte);
  while (from <= last && end - from >= 8) {
    uint64_t word;
    std::memcpy(&word, from, sizeof word);
    word ^= pattern;
    uint64_t zero = (word - kOnes) & ~word & kHighs;
    if (zero != 0) {
      int bit = std::endian::native == std::endian::little ? std::countr_zero(zero)
                                                          : std::countl_zero(zero);
      const char* found = from + bit / 8;
      return found <= last ? found : nullptr;
    }
    from += 8;
  }
  for (; from <= last; ++from)
    if (*from == byte) return from;
  return nullptr;
}

// The first occurrence of `markup` in [from, end), or null.
[[gnu::always_inline]] inline const char* findMarkup(const char* from, const char* end,
                                                    std::string_view markup) {
  if (static_cast<size_t>(end - from) < markup.size()) return nullptr;
  const char* last = end - markup.size();  // the last place the markup can start
  while (from <= last) {
    const char* next = findByte(from, last, end, markup[0]);
    if (next == nullptr) return nullptr;
    if (marshallSameBytes(next, markup.data(), markup.size())) return next;
    from = next + 1;
  }
  return nullptr;
}

// The field whose opening tag is `open` and closing tag `close` at the cursor, as
// _unMarshallField reads it: 1 with the value's bounds and the cursor past the field; 0
// with a null value start when the opening tag is not at the cursor; 0 with both bounds
// just after the opening tag when the closing tag follows nowhere.
[[gnu::always_inline]] inline int fieldAt(const char*& cursor, const char* end,
                                          std::string_view open, std::string_view close,
                                          const char*& valueStart, const char*& valueEnd) {
  assert(cursor <= end);
  if (open.size() > static_cast<size_t>(end - cursor) ||
      !marshallSameBytes(cursor, open.data(), open.size())) {
    valueStart = valueEnd = nullptr;
    return 0;
  }
  const char* value = cursor + open.size();
  const char* found = findMarkup(value, end, close);
  valueStart = value;
  if (found == nullptr) {
    valueEnd = value;
    return 0;
  }
  valueEnd = found;
  cursor = found + close.size();
  return 1;
}

// The optional field `tag` at the cursor, as _unMarshallOptional reads it: 1 with the
// value's bounds, 0 when absent, -1 (the error raised) when its closing tag follows nowhere.
[[gnu::always_inline]] inline int optionalFieldAt(const char*& cursor, const char* end,
                                                  unsigned tag, const char*& valueStart,
                                                  const char*& valueEnd) {
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  if (fieldAt(cursor, end, {markup.open, markup.openSize}, {markup.close, markup.closeSize},
              valueStart, valueEnd))
    return 1;
  if (valueStart == nullptr) return 0;
  zvrMarshallRaiseNoEnd(tag);
  return -1;
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

// Reads field I of kAttributeReads at the cursor: 1 when read or absent, 0 (the error
// raised) when its closing tag follows nowhere. One instance per field, so that the sizes
// of its markup are constants and each comparison becomes a few word compares.
template <size_t I>
[[gnu::always_inline]] inline int readAttribute(const char*& cursor, const char* end,
                                                QLXMSG& msg) {
  constexpr AttributeRead field = kAttributeReads[I];
  const char* start = nullptr;
  const char* stop = nullptr;
  int found = optionalFieldAt(cursor, end, field.tag, start, stop);
  if (found <= 0) return found == 0 ? 1 : 0;
  if constexpr (field.use == FieldUse::kNumber) parseNumber(start, stop, msg.*field.number);
  if constexpr (field.use == FieldUse::kId) storeId(msg.*field.id, start, stop);
  return 1;
}

// The fields of kAttributeReads in order; stops at the first that fails.
template <size_t... I>
int readAttributes(const char*& cursor, const char* end, QLXMSG& msg, std::index_sequence<I...>) {
  return (readAttribute<I>(cursor, end, msg) && ...);
}

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
  // Never more than the buffer the middleware described, whatever the length field says.
  return buffer.Data == nullptr ? size_t{0} : std::min(length, buffer.Length);
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
    copy.reset(new (std::nothrow) char[length]);
    if (!copy) {
      text_.reset();
      textLength_ = capacity_ = 0;
      std::string info = zvrFormat("No memory for a copy of %lu bytes.", length);
      zvrMarshallRaise(ZVRID_M0004, kZvrError, ZVRTXT_M0004, ZVRUA_M0004, info.c_str());
      return trace.result(0);
    }
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
  return zvrWriteDisplay(os, marshall);
}

unsigned long Marshall::splitMultiBuffer(void*&, unsigned long&, unsigned&) const {
  trc::Scope trace(kTrace);
  return trace.result(0UL);
}

// ---- Writing ----

bool Marshall::_allocateText(size_t capacity) {
  trc::Scope trace(kTrace);
  text_.reset();
  capacity_ = 0;
  textLength_ = 0;
  if (capacity == 0) return trace.result(true);
  // Slack behind the bound for the last padded markup move (_putMarkup).
  if (capacity <= SIZE_MAX - kMarshallTagArea)
    text_.reset(new (std::nothrow) char[capacity + kMarshallTagArea]);
  if (!text_) {
    std::string info = zvrFormat("No memory for a marshalled text of %zu bytes.", capacity);
    zvrMarshallRaise(ZVRID_S0012, kZvrError, ZVRTXT_S0012, ZVRUA_S0012, info.c_str());
    return trace.result(false);
  }
  capacity_ = capacity;
  return trace.result(true);
}

void Marshall::_setLength(size_t length) {
  assert(length <= capacity_);
  textLength_ = length;
}

size_t Marshall::_put(char* at, const void* bytes, size_t size) {
  // The writers' bound is computed before allocation; leaving it is a programming error.
  assert(at >= text_.get() && size <= capacity_ - static_cast<size_t>(at - text_.get()));
  if (size != 0) std::memcpy(at, bytes, size);
  return size;
}

size_t Marshall::_putMarkup(char* at, const char* markup, size_t size) {
  assert(at >= text_.get() && size <= kMarshallTagArea &&
         size <= capacity_ - static_cast<size_t>(at - text_.get()));
  // A fixed-size move compiles to a few vector stores; the slack behind the bound keeps
  // the padding inside the allocation.
  std::memcpy(at, markup, kMarshallTagArea);
  return size;
}

size_t Marshall::_marshallField(char* at, unsigned tag, const void* value, size_t size) {
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  size_t n = _putMarkup(at, markup.open, markup.openSize);
  n += _put(at + n, value, size);
  return n + _putMarkup(at + n, markup.close, markup.closeSize);
}

size_t Marshall::_marshallNumber(char* at, unsigned tag, int32_t value) {
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  size_t n = _putMarkup(at, markup.open, markup.openSize);
  assert(kMarshallNumberWidth <= capacity_ - static_cast<size_t>(at + n - text_.get()));
  auto [end, ec] = std::to_chars(at + n, at + n + kMarshallNumberWidth, value);
  assert(ec == std::errc());
  n = end - at;
  return n + _putMarkup(at + n, markup.close, markup.closeSize);
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
  // At most 132 characters: the name ends at its first NUL or at the end of the field.
  const char* name = request_->FormatName;
  size_t size = strnlen(name, kMarshallFormatNameWidth);
  return trace.result(_marshallField(at, kTagFormatName, name, size));
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
  size_t nameSize = std::strlen(name);
  assert(nameSize <= kMarshallTagNameMax);
  char open[kMarshallTagNameMax + 2];
  open[0] = '<';
  std::memcpy(open + 1, name, nameSize);
  open[nameSize + 1] = '>';
  char closing[kMarshallTagNameMax + 5];
  std::memcpy(closing, "</", 2);
  std::memcpy(closing + 2, name, nameSize);
  std::memcpy(closing + 2 + nameSize, ">\r\n", 3);
  return trace.result(fieldAt(cursor, static_cast<const char*>(end), {open, nameSize + 2},
                              {closing, nameSize + 5}, valueStart, valueEnd));
}

int Marshall::_unMarshallOptional(const char*& cursor, const char* end, unsigned tag,
                                  const char*& valueStart, const char*& valueEnd) const {
  return optionalFieldAt(cursor, end, tag, valueStart, valueEnd);
}

int Marshall::_unMarshallAttributes(const char*& cursor, const char* end, QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  constexpr size_t kFields = std::size(kAttributeReads);
  if (!readAttributes(cursor, end, msg, std::make_index_sequence<kFields>{}))
    return trace.result(0);
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
  int found = optionalFieldAt(cursor, end, kTagFormatName, start, stop);
  if (found < 0) return trace.result(0);
  if (found > 0) {
    // Cut to 132 bytes and terminated: a NUL inside the value ends the name there.
    char name[kFormatNameArea];
    size_t size = std::min<size_t>(stop - start, kMarshallFormatNameWidth);
    std::memcpy(name, start, size);
    name[size] = '\0';
    zvrSetFormatName(msg, name);
  }
  return trace.result(1);
}

int Marshall::_unMarshallTag(const char*& cursor, const char* end, QLXMSG& msg) const {
  trc::Scope trace(kTrace);
  const char* start = nullptr;
  const char* stop = nullptr;
  int found = optionalFieldAt(cursor, end, kTagTag, start, stop);
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
