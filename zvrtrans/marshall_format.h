// Layout of the tagged marshall text: the one table of tag names and the sizes the writer,
// the reader and the tests share.
//
// A section line is "<Name>" CR LF or "</Name>" CR LF; a field is "<Name>", the value bytes,
// "</Name>" CR LF on one line. Tags are matched byte for byte and no white space is skipped.
// The engine's output is a sequence of frames: decimal length, one white-space byte, data.
#ifndef ZVR_MARSHALL_FORMAT_H
#define ZVR_MARSHALL_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Index of each name in kMarshallTagNames; sections and fields are identified by it.
enum MarshallTag : unsigned {
  kTagHeader = 0,
  kTagAttributes,
  kTagTheme,  // accepted on reading, never written
  kTagSignature,
  kTagVersion,
  kTagMsgType,
  kTagPriority,
  kTagPersistence,
  kTagFeedback,
  kTagExpiry,
  kTagCodePage,
  kTagEncoding,
  kTagMsgID,
  kTagCorrelID,
  kTagStatus,
  kTagBackoutCount,
  kTagTimeStamp,
  kTagTimeStampSec,       // neither written nor read
  kTagTimeStampMillisec,  // neither written nor read
  kTagFormatName,
  kTagTag,
  kTagRouting,  // read only
  kTagRoute,
  kTagService,
  kTagAction,
  kMarshallTagCount
};

inline constexpr std::string_view kMarshallTagNames[kMarshallTagCount] = {
    "Header",   "Attributes", "Theme",     "Signature",    "Version",      "MsgType",
    "Priority", "Persistence", "Feedback", "Expiry",       "CodePage",     "Encoding",
    "MsgID",    "CorrelID",   "Status",    "BackoutCount", "TimeStamp",    "TimeStampSec",
    "TimeStampMillisec",      "FormatName", "Tag",         "Routing",      "Route",
    "Service",  "Action"};

inline constexpr std::string_view kMarshallLineEnd = "\r\n";

// The longest name in the table; tag texts are built in stack areas of this size.
inline constexpr size_t kMarshallTagNameMax = 17;
constexpr bool marshallTagNamesFit() {
  for (std::string_view name : kMarshallTagNames)
    if (name.size() > kMarshallTagNameMax) return false;
  return true;
}
static_assert(marshallTagNamesFit());

// Widest values: an int32_t in decimal ("-2147483648"), the signature, the ids, a format
// name, a time stamp ("%ld.%06.6ld" of two int32_t words), a route value kept on reading.
inline constexpr size_t kMarshallNumberWidth = 11;
inline constexpr size_t kMarshallSignatureWidth = 4;
inline constexpr size_t kMarshallIdWidth = 24;
inline constexpr size_t kMarshallFormatNameWidth = 132;
inline constexpr size_t kMarshallTimeStampWidth = 2 * kMarshallNumberWidth + 1;
inline constexpr size_t kMarshallRouteValueMax = 128;

constexpr size_t marshallTagNameSize(unsigned tag) { return kMarshallTagNames[tag].size(); }
// "<Name>" CR LF
constexpr size_t marshallBeginSize(unsigned tag) { return marshallTagNameSize(tag) + 4; }
// "</Name>" CR LF
constexpr size_t marshallEndSize(unsigned tag) { return marshallTagNameSize(tag) + 5; }
// "<Name>" (the opening tag of a field)
constexpr size_t marshallOpenTagSize(unsigned tag) { return marshallTagNameSize(tag) + 2; }
// "<Name>" + "</Name>" CR LF around a field value
constexpr size_t marshallFieldMarkupSize(unsigned tag) { return 2 * marshallTagNameSize(tag) + 7; }

// The descriptor fields of the Attributes section, in the order they are written, with
// the widest value each can have.
struct MarshallAttribute {
  MarshallTag tag;
  size_t width;
};
inline constexpr MarshallAttribute kMarshallAttributes[] = {
    {kTagSignature, kMarshallSignatureWidth}, {kTagVersion, kMarshallNumberWidth},
    {kTagMsgType, kMarshallNumberWidth},      {kTagPriority, kMarshallNumberWidth},
    {kTagPersistence, kMarshallNumberWidth},  {kTagFeedback, kMarshallNumberWidth},
    {kTagExpiry, kMarshallNumberWidth},       {kTagCodePage, kMarshallNumberWidth},
    {kTagEncoding, kMarshallNumberWidth},     {kTagMsgID, kMarshallIdWidth},
    {kTagCorrelID, kMarshallIdWidth},         {kTagStatus, kMarshallNumberWidth},
    {kTagBackoutCount, kMarshallNumberWidth}, {kTagTimeStamp, kMarshallTimeStampWidth},
};

// Upper bound of everything but the tag field: section lines, every attribute at its
// widest, and a format name of 132 characters.
constexpr size_t marshallFixedHeaderBound() {
  size_t size = marshallBeginSize(kTagHeader) + marshallEndSize(kTagHeader) +
                marshallBeginSize(kTagAttributes) + marshallEndSize(kTagAttributes);
  for (const MarshallAttribute& field : kMarshallAttributes)
    size += marshallFieldMarkupSize(field.tag) + field.width;
  return size + marshallFieldMarkupSize(kTagFormatName) + kMarshallFormatNameWidth;
}

// Upper bound of the header of a request whose tag data is `tagBytes` bytes; `hasTag`
// tells whether the Tag field is written at all (a non-zero TagLength whose buffer has no
// readable bytes still writes an empty field).
constexpr size_t marshallHeaderBound(bool hasTag, size_t tagBytes) {
  size_t size = marshallFixedHeaderBound();
  if (hasTag) size += marshallFieldMarkupSize(kTagTag) + tagBytes;
  return size;
}

// The markup of every table entry, spelled once: "<Name>" CR LF (the opening tag of a field
// is its first openSize bytes) and "</Name>" CR LF. Each area is padded to kMarshallTagArea
// bytes, so that the writer copies a whole area at once (one fixed-size move, no length
// loop) and then advances by the markup's own size.
inline constexpr size_t kMarshallTagArea = 32;
struct MarshallTagText {
  char open[kMarshallTagArea];   // "<Name>" CR LF, zero padded
  size_t openSize;               // "<Name>"
  char close[kMarshallTagArea];  // "</Name>" CR LF, zero padded
  size_t closeSize;              // "</Name>" CR LF
};
static_assert(kMarshallTagNameMax + 5 <= kMarshallTagArea);

constexpr MarshallTagText marshallTagText(unsigned tag) {
  MarshallTagText text{};
  std::string_view name = kMarshallTagNames[tag];
  size_t n = 0;
  text.open[n++] = '<';
  for (char c : name) text.open[n++] = c;
  text.open[n++] = '>';
  text.openSize = n;
  text.open[n++] = '\r';
  text.open[n++] = '\n';
  n = 0;
  text.close[n++] = '<';
  text.close[n++] = '/';
  for (char c : name) text.close[n++] = c;
  text.close[n++] = '>';
  text.close[n++] = '\r';
  text.close[n++] = '\n';
  text.closeSize = n;
  return text;
}

struct MarshallTagTexts {
  MarshallTagText tags[kMarshallTagCount];
};
inline constexpr MarshallTagTexts kMarshallTagTexts = [] {
  MarshallTagTexts texts{};
  for (unsigned tag = 0; tag < kMarshallTagCount; ++tag) texts.tags[tag] = marshallTagText(tag);
  return texts;
}();
static_assert(kMarshallTagTexts.tags[kTagHeader].openSize == marshallOpenTagSize(kTagHeader));
static_assert(kMarshallTagTexts.tags[kTagHeader].closeSize == marshallEndSize(kTagHeader));

// Are the `size` bytes at `a` and `b` equal? Made for the short markup of the tag table,
// where a call of memcmp costs more than the comparison: whole words, the last one
// overlapping. Both ranges must hold `size` bytes.
inline bool marshallSameBytes(const char* a, const char* b, size_t size) {
  if (size < 8) return std::memcmp(a, b, size) == 0;
  auto word = [](const char* p) {
    uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  };
  // Markup of 8 to 16 bytes, nearly all of it, takes the first and the last word alone.
  for (size_t at = 8; at + 8 < size; at += 8)
    if (word(a + at) != word(b + at)) return false;
  return ((word(a) ^ word(b)) | (word(a + size - 8) ^ word(b + size - 8))) == 0;
}

// Frame prefix: the decimal length ends at the first of these bytes.
constexpr bool isMarshallFrameSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

#endif  // ZVR_MARSHALL_FORMAT_H
