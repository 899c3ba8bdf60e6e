// TsiMarshall: the section lines, time stamp, Routing section and output framing used
// with the transformation engine.
#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "catalog.h"
#include "marshall.h"
#include "marshall_error.h"
#include "marshall_format.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrroute.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

// Does the text at `cursor` start with the section line `line`? The caller has checked
// that the whole line fits in the bytes left.
bool delimiterAt(const char* cursor, std::string_view line) {
  return marshallSameBytes(cursor, line.data(), line.size());
}

// "<Name>" CR LF and "</Name>" CR LF of a table entry.
std::string_view beginLine(unsigned tag) {
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  return {markup.open, markup.openSize + kMarshallLineEnd.size()};
}
std::string_view endLine(unsigned tag) {
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  return {markup.close, markup.closeSize};
}

// A route value as kept in the list: its first 128 bytes, terminated; empty when absent.
void copyRouteValue(char (&to)[kMarshallRouteValueMax + 1], const char* start,
                    const char* end) {
  size_t size = start == nullptr ? 0 : std::min<size_t>(end - start, kMarshallRouteValueMax);
  if (size != 0) std::memcpy(to, start, size);
  to[size] = '\0';
}

}  // namespace

TsiMarshall* TsiMarshall::create(const QuorRequest& request, const unsigned flags) {
  trc::Scope trace(kTrace);
  std::unique_ptr<TsiMarshall> marshall(new (std::nothrow) TsiMarshall(request, flags));
  if (!marshall) {
    zvrMarshallRaise(ZVRID_S0012, kZvrError, ZVRTXT_S0012, ZVRUA_S0012);
    return trace.result<TsiMarshall*>(nullptr);
  }
  // No text where one was due: the constructor has raised ZVRS0012.
  if (marshall->buffer() == nullptr && marshall->_textBound() != 0)
    return trace.result<TsiMarshall*>(nullptr);
  return trace.result(marshall.release());
}

TsiMarshall::TsiMarshall(const QuorRequest& request, const unsigned flags)
    : Marshall(request, flags) {
  trc::Scope trace(kTrace);
  if (!_allocateText(_textBound())) return;
  char* text = _text();
  size_t length = flags ? _marshallHeader(text) : 0;
  length += _marshallMsgBuffer(text + length);
  _setLength(length);
}

size_t TsiMarshall::_textBound() const {
  trc::Scope trace(kTrace);
  // Sized from the bytes that can be read, never from the length fields alone: a request
  // claiming a tag of 4 GiB with three bytes behind it needs room for three bytes.
  const QLXMSG& msg = request();
  size_t body = _readable(msg.MsgBuffer, msg.MsgLength);
  if (!flags()) return trace.result(body);
  size_t tag = _readable(msg.TagBuffer, msg.TagLength);
  return trace.result(body + marshallHeaderBound(msg.TagLength != 0, tag));
}

// ---- Section lines and time stamp ----

size_t TsiMarshall::_marshallBegin(char* at, const unsigned tag) {
  trc::Scope trace(kTrace);
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  return trace.result(_putMarkup(at, markup.open, markup.openSize + kMarshallLineEnd.size()));
}

size_t TsiMarshall::_marshallEnd(char* at, const unsigned tag) {
  trc::Scope trace(kTrace);
  const MarshallTagText& markup = kMarshallTagTexts.tags[tag];
  return trace.result(_putMarkup(at, markup.close, markup.closeSize));
}

size_t TsiMarshall::_marshallTimestamp(char* at, const QLXTIMESTAMP timeStamp) {
  trc::Scope trace(kTrace);
  // Seconds, a full stop, then the second word as "%06.6ld" prints it: its digits at least
  // six, zero-padded on the left, after the sign (the zero flag is ignored with a
  // precision). -5 gives "-000005".
  char value[kMarshallTimeStampWidth + 1];
  char* end = value + sizeof value;
  char* out = std::to_chars(value, end, timeStamp.TimeStampSec).ptr;
  *out++ = '.';
  int64_t word = timeStamp.TimeStampMillisec;
  if (word < 0) {
    *out++ = '-';
    word = -word;
  }
  char digits[kMarshallNumberWidth];
  size_t count = std::to_chars(digits, digits + sizeof digits, word).ptr - digits;
  for (size_t pad = count; pad < 6; ++pad) *out++ = '0';
  std::memcpy(out, digits, count);
  out += count;
  assert(out <= end);
  return trace.result(_marshallField(at, kTagTimeStamp, value, out - value));
}

int TsiMarshall::_unMarshallBegin(const char*& cursor, const char* end,
                                  const unsigned tag) const {
  trc::Scope trace(kTrace);
  // At least one byte must follow a section start: "<Header>" CR LF alone is body text.
  std::string_view line = beginLine(tag);
  if (line.size() >= static_cast<size_t>(end - cursor) || !delimiterAt(cursor, line))
    return trace.result(0);
  cursor += line.size();
  return trace.result(1);
}

int TsiMarshall::_unMarshallEnd(const char*& cursor, const char* end, const unsigned tag) const {
  trc::Scope trace(kTrace);
  std::string_view line = endLine(tag);
  if (line.size() > static_cast<size_t>(end - cursor) || !delimiterAt(cursor, line))
    return trace.result(0);
  cursor += line.size();
  return trace.result(1);
}

int TsiMarshall::_unMarshallTimestamp(const char*& cursor, const unsigned long left) const {
  trc::Scope trace(kTrace);
  // The value is not stored: a response's time stamp is always the default.
  const char* start = nullptr;
  const char* stop = nullptr;
  int found = _unMarshallOptional(cursor, cursor + left, kTagTimeStamp, start, stop);
  return trace.result(found < 0 ? 0 : 1);
}

// ---- Routing section ----

int TsiMarshall::_unMarshallRouteEntry(const char*& cursor, const char* end,
                                       const char*& valueStart, const char*& valueEnd,
                                       ZvrRouteList* routes) const {
  trc::Scope trace(kTrace);
  char action[kMarshallRouteValueMax + 1];
  char service[kMarshallRouteValueMax + 1];
  const unsigned fields[] = {kTagAction, kTagService};
  for (unsigned tag : fields) {
    if (_unMarshallOptional(cursor, end, tag, valueStart, valueEnd) < 0) return trace.result(0);
    copyRouteValue(tag == kTagAction ? action : service, valueStart, valueEnd);
  }
  if (!_unMarshallEnd(cursor, end, kTagRoute)) {
    zvrMarshallRaiseNoEnd(kTagRoute);
    return trace.result(0);
  }
  if (routes != nullptr) routes->append(service, action);
  return trace.result(1);
}

int TsiMarshall::_unMarshallRoute(const char*& cursor, const char* end, const char*& valueStart,
                                  const char*& valueEnd, char* errorText, const void*,
                                  const unsigned long, ZvrRouteList* routes) const {
  trc::Scope trace(kTrace);
  if (!_unMarshallBegin(cursor, end, kTagRouting)) return trace.result(1);
  unsigned long entries = 0;
  for (; _unMarshallBegin(cursor, end, kTagRoute); ++entries) {
    if (!_unMarshallRouteEntry(cursor, end, valueStart, valueEnd, routes))
      return trace.result(0);
  }
  if (entries == 0) {
    std::snprintf(errorText, kMarshallErrorTextSize, ZVRTXT_M0002, "Route");
    zvrMarshallRaise(ZVRID_M0002, kZvrError, errorText, ZVRUA_M0002);
    return trace.result(0);
  }
  if (!_unMarshallEnd(cursor, end, kTagRouting)) {
    zvrMarshallRaiseNoEnd(kTagRouting);
    return trace.result(0);
  }
  return trace.result(1);
}

// ---- Framing ----

unsigned long TsiMarshall::splitMultiBuffer(void*& text, unsigned long& length,
                                            unsigned& error) const {
  trc::Scope trace(kTrace);
  const unsigned char* bytes = static_cast<const unsigned char*>(text);
  const unsigned long size = length;
  const char* failure = nullptr;
  uint64_t value = 0;
  unsigned long digits = 0;
  for (;; ++digits) {
    if (digits == size) {
      failure = ZVRID_M0005;
      break;
    }
    unsigned char c = bytes[digits];
    if (isMarshallFrameSpace(c)) break;
    if (c < '0' || c > '9') {
      failure = ZVRID_M0006;
      break;
    }
    // Saturate just past 32 bits so that any number of digits is judged without overflow.
    value = std::min<uint64_t>(value * 10 + (c - '0'), uint64_t{UINT32_MAX} + 1);
  }
  // Past the digits and the terminator (or offending byte), but never past the output.
  unsigned long taken = std::min(digits + 1, size);
  error = _frameError(failure, value, size - taken);
  text = const_cast<unsigned char*>(bytes) + taken;
  length = error ? 0 : static_cast<unsigned long>(value);
  return trace.result(taken);
}

unsigned TsiMarshall::_frameError(const char* failure, uint64_t value,
                                  unsigned long following) const {
  trc::Scope trace(kTrace);
  if (value == 0) {
    // Also a frame with no digits at all: a warning, and the caller skips it.
    zvrMarshallRaise(ZVRID_M0007, kZvrWarning, ZVRTXT_M0007, ZVRUA_M0007);
    return trace.result(0u);
  }
  if (failure == ZVRID_M0005) {
    zvrMarshallRaise(ZVRID_M0005, kZvrError, ZVRTXT_M0005, ZVRUA_M0005);
    return trace.result(1u);
  }
  std::string info;
  if (value > UINT32_MAX)
    info = "The user data length exceeds 32 bits.";
  else if (failure == nullptr && value > following)
    info = zvrFormat("The user data length %lu exceeds the %lu bytes that follow.",
                     static_cast<unsigned long>(value), following);
  if (failure == nullptr && info.empty()) return trace.result(0u);
  zvrMarshallRaise(ZVRID_M0006, kZvrError, ZVRTXT_M0006, ZVRUA_M0006,
                   info.empty() ? nullptr : info.c_str());
  return trace.result(1u);
}
