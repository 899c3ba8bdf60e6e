// TsiMarshall: the section lines, time stamp, Routing section and output framing used
// with the transformation engine.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Does the text at `cursor` start with `prefix` + name + ">" CR LF? The caller has checked
// that the whole delimiter fits in the bytes left.
bool delimiterAt(const char* cursor, std::string_view prefix, unsigned tag) {
  trc::Scope trace(kTrace);
  std::string_view name = kMarshallTagNames[tag];
  return std::memcmp(cursor, prefix.data(), prefix.size()) == 0 &&
         std::memcmp(cursor + prefix.size(), name.data(), name.size()) == 0 &&
         std::memcmp(cursor + prefix.size() + name.size(), ">\r\n", 3) == 0;
}

// A route value as kept in the list: its first 128 bytes, terminated; empty when absent.
void copyRouteValue(char (&to)[kMarshallRouteValueMax + 1], const char* start,
                    const char* end) {
  trc::Scope trace(kTrace);
  size_t size = start == nullptr ? 0 : std::min<size_t>(end - start, kMarshallRouteValueMax);
  if (size != 0) std::memcpy(to, start, size);
  to[size] = '\0';
}

}  // namespace

TsiMarshall::TsiMarshall(const QuorRequest& request, const unsigned flags)
    : Marshall(request, flags) {
  trc::Scope trace(kTrace);
  char* text = _allocateText(_textBound());
  size_t length = flags ? _marshallHeader(text) : 0;
  length += _marshallMsgBuffer(text + length);
  _setLength(length);
}

size_t TsiMarshall::_textBound() const {
  trc::Scope trace(kTrace);
  const QLXMSG& msg = request();
  size_t body = _readable(msg.MsgBuffer, msg.MsgLength);
  return trace.result(body + (flags() ? marshallHeaderBound(msg.TagLength) : 0));
}

// ---- Section lines and time stamp ----

size_t TsiMarshall::_marshallLine(char* at, std::string_view opening, const unsigned tag) {
  trc::Scope trace(kTrace);
  std::string_view name = kMarshallTagNames[tag];
  size_t n = _put(at, opening.data(), opening.size());
  n += _put(at + n, name.data(), name.size());
  n += _put(at + n, ">\r\n", 3);
  return trace.result(n);
}

size_t TsiMarshall::_marshallBegin(char* at, const unsigned tag) {
  trc::Scope trace(kTrace);
  return trace.result(_marshallLine(at, "<", tag));
}

size_t TsiMarshall::_marshallEnd(char* at, const unsigned tag) {
  trc::Scope trace(kTrace);
  return trace.result(_marshallLine(at, "</", tag));
}

size_t TsiMarshall::_marshallTimestamp(char* at, const QLXTIMESTAMP timeStamp) {
  trc::Scope trace(kTrace);
  // Seconds, a full stop, then the second word with at least six digits ("%06.6ld": the
  // precision alone gives the same text, and the zero flag is ignored with it).
  char value[kMarshallTimeStampWidth + 1];
  int size = std::snprintf(value, sizeof value, "%ld.%.6ld",
                           static_cast<long>(timeStamp.TimeStampSec),
                           static_cast<long>(timeStamp.TimeStampMillisec));
  return trace.result(_marshallField(at, kTagTimeStamp, value, static_cast<size_t>(size)));
}

int TsiMarshall::_unMarshallBegin(const char*& cursor, const char* end,
                                  const unsigned tag) const {
  trc::Scope trace(kTrace);
  // At least one byte must follow a section start: "<Header>" CR LF alone is body text.
  size_t size = marshallBeginSize(tag);
  if (size >= static_cast<size_t>(end - cursor) || !delimiterAt(cursor, "<", tag))
    return trace.result(0);
  cursor += size;
  return trace.result(1);
}

int TsiMarshall::_unMarshallEnd(const char*& cursor, const char* end, const unsigned tag) const {
  trc::Scope trace(kTrace);
  size_t size = marshallEndSize(tag);
  if (size > static_cast<size_t>(end - cursor) || !delimiterAt(cursor, "</", tag))
    return trace.result(0);
  cursor += size;
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
