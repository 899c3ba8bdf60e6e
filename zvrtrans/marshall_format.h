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

// Upper bound of the header of a request whose tag data is `tagLength` bytes.
constexpr size_t marshallHeaderBound(uint32_t tagLength) {
  size_t size = marshallFixedHeaderBound();
  if (tagLength != 0) size += marshallFieldMarkupSize(kTagTag) + tagLength;
  return size;
}

// Frame prefix: the decimal length ends at the first of these bytes.
constexpr bool isMarshallFrameSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

#endif  // ZVR_MARSHALL_FORMAT_H
