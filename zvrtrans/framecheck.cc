#include "framecheck.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "catalog.h"
#include "marshall_error.h"
#include "marshall_format.h"
#include "text.h"
#include "trc.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

const char* const kFramingHint =
    "The engine output is not a sequence of frames (%s at byte %lu of %lu). Add the output "
    "framing option -oe1s to the map's engine options.";

[[gnu::cold]] int raiseUnframed(const char* id, const char* text, const char* what,
                                unsigned long offset, unsigned long length) {
  const std::string info = zvrFormat(kFramingHint, what, offset, length);
  zvrMarshallRaise(id, kZvrError, text,
                   id == ZVRID_M0005 ? ZVRUA_M0005 : ZVRUA_M0006, info.c_str());
  return 0;
}

// Reads the frame at `at` and returns its total size (prefix and data), or 0 with the
// error raised. `end` bounds every read.
unsigned long frameSize(const unsigned char* at, const unsigned char* end,
                        unsigned long offset, unsigned long length) {
  if (*at < '0' || *at > '9')
    return raiseUnframed(ZVRID_M0006, ZVRTXT_M0006, "no length", offset, length);
  uint64_t value = 0;
  const unsigned char* p = at;
  for (; p != end && *p >= '0' && *p <= '9'; ++p)
    value = std::min<uint64_t>(value * 10 + (*p - '0'), uint64_t{UINT32_MAX} + 1);
  if (p == end)
    return raiseUnframed(ZVRID_M0005, ZVRTXT_M0005, "a length without its end", offset, length);
  if (!isMarshallFrameSpace(*p))
    return raiseUnframed(ZVRID_M0006, ZVRTXT_M0006, "a length followed by data", offset, length);
  ++p;
  const uint64_t following = static_cast<uint64_t>(end - p);
  if (value > following)
    return raiseUnframed(ZVRID_M0006, ZVRTXT_M0006, "a length beyond the output", offset, length);
  return static_cast<unsigned long>(p - at) + static_cast<unsigned long>(value);
}

}  // namespace

int zvrCheckFrames(const void* output, unsigned long length, unsigned long& frames) {
  trc::Scope trace(kTrace);
  frames = 0;
  if (length == 0) return trace.result(raiseUnframed(ZVRID_M0005, ZVRTXT_M0005, "no data", 0, 0));
  const unsigned char* const start = static_cast<const unsigned char*>(output);
  const unsigned char* const end = start + length;
  unsigned long counted = 0;
  for (const unsigned char* at = start; at != end; ++counted) {
    const unsigned long size =
        frameSize(at, end, static_cast<unsigned long>(at - start), length);
    if (size == 0) return trace.result(0);
    at += size;
  }
  frames = counted;
  return trace.result(1);
}
