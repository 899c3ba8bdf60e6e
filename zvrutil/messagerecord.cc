#include "messagerecord.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "message.h"
#include "text.h"
#include "trc.h"

static trc::Module kTrace{"zvrutil"};

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::string_view kBodyLabel = "MsgBuffer: ";
constexpr std::string_view kTagLabel = "TagBuffer: ";
constexpr size_t kNone = std::string_view::npos;

// No trace guard here, in findText or in nextBlank: they run for every byte or blank of a
// record, and the guard would cost more than they do.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The first occurrence of `needle` in `text` at or after `from`, or kNone. memmem, not a
// character loop: records run to 16 KB and are searched once per label.
size_t findText(std::string_view text, std::string_view needle, size_t from) {
  if (from > text.size()) return kNone;
  const void* hit = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : kNone;
}

// The first occurrence of `label` at or after `from` that begins a word: at `from` itself
// or after a blank or a line break. A label glued to the end of another value (a format
// name "xMsgId:" followed by its blank) is not a label.
size_t findLabel(std::string_view text, std::string_view label, size_t from = 0) {
  trc::Scope trace(kTrace);
  for (size_t pos = findText(text, label, from); pos != kNone;
       pos = findText(text, label, pos + 1)) {
    if (pos == from || text[pos - 1] == ' ' || text[pos - 1] == '\n') return pos;
  }
  return kNone;
}

void appendHex(std::string& out, const unsigned char* bytes, size_t length) {
  trc::Scope trace(kTrace);
  size_t at = out.size();
  out.resize(at + 2 * length);
  for (size_t i = 0; i < length; ++i, at += 2) {
    out[at] = kHexDigits[bytes[i] >> 4];
    out[at + 1] = kHexDigits[bytes[i] & 0xF];
  }
}

// "<label>[]" for no data; otherwise "<label>" and the data bracketed or in hex, then a
// blank.
void appendData(std::string& out, std::string_view label, const char* data, size_t length,
                unsigned hexMsgData) {
  trc::Scope trace(kTrace);
  out += label;
  if (data == nullptr || length == 0) {
    out += "[]";
    return;
  }
  if (hexMsgData == 1 || std::memchr(data, '\n', length) != nullptr) {
    appendHex(out, reinterpret_cast<const unsigned char*>(data), length);
  } else {
    out += '[';
    out.append(data, length);
    out += ']';
  }
  out += ' ';
}

std::string formatFields(const Message& m) {
  trc::Scope trace(kTrace);
  std::string out = zvrFormat(
      "Signature: %ld Version: %ld Type: %ld Priority: %ld Persistence: %ld Format: %ld "
      "Feedback: %ld Expiry: %ld Encoding: %ld Status: %ld FormatName: %s MsgId: ",
      m.Signature(), m.Version(), m.Type(), m.Priority(), m.Persistence(), m.Format(),
      m.Feedback(), m.Expiry(), m.Encoding(), m.Status(), m.FormatName());
  unsigned char id[kQlxMsgIdLength];
  m.getId(id);
  appendHex(out, id, sizeof id);
  out += " CorrelId: ";
  m.getCorrelId(id);
  appendHex(out, id, sizeof id);
  out += zvrFormat(" MsgLength: %ld TagLength: %ld ", m.MsgLength(), m.TagLength());
  return out;
}

// A body or tag value as found in a record.
struct DataValue {
  size_t begin = kNone;  // where its label starts; kNone when the record has none
  size_t end = kNone;    // one past its value
  bool usable = false;   // a value to take (possibly empty: "[]")
  std::string bytes;
  const char* fault = nullptr;
};

struct DataFaults {
  const char* noValue;
  const char* unclosed;
  const char* badHex;
};
constexpr DataFaults kBodyFaults = {
    "MsgBuffer: value is neither bracketed text nor hexadecimal digits",
    "MsgBuffer: closing bracket missing", "MsgBuffer: malformed hexadecimal digits"};
constexpr DataFaults kTagFaults = {
    "TagBuffer: value is neither bracketed text nor hexadecimal digits",
    "TagBuffer: closing bracket missing", "TagBuffer: malformed hexadecimal digits"};

size_t nextBlank(std::string_view line, size_t from) {
  size_t blank = findText(line, " ", from);
  return blank == kNone ? line.size() : blank;
}

void parseHexValue(std::string_view line, size_t start, DataValue& value,
                   const DataFaults& faults) {
  trc::Scope trace(kTrace);
  size_t run = start;
  while (run < line.size() && hexValue(line[run]) >= 0) ++run;
  bool ended = run == line.size() || line[run] == ' ' || line[run] == '\r';
  if ((run - start) % 2 != 0 || !ended) {
    value.fault = faults.badHex;
    value.end = nextBlank(line, run);
    return;
  }
  value.bytes.resize((run - start) / 2);
  for (size_t i = start, at = 0; i < run; i += 2, ++at)
    value.bytes[at] = static_cast<char>(hexValue(line[i]) * 16 + hexValue(line[i + 1]));
  value.usable = true;
  value.end = run;
}

// The value after the label at `labelPos`: bracketed text up to the first "]", or a run of
// hexadecimal digits up to a blank or the end of the line.
DataValue parseDataValue(std::string_view line, size_t labelPos, size_t labelSize,
                         const DataFaults& faults) {
  trc::Scope trace(kTrace);
  DataValue value;
  value.begin = labelPos;
  size_t start = labelPos + labelSize;
  if (start < line.size() && line[start] == '[') {
    size_t close = findText(line, "]", start + 1);
    if (close == kNone) {
      // The rest of the line may be a body cut at the length limit: trust none of it.
      value.fault = faults.unclosed;
      value.end = line.size();
      return value;
    }
    value.bytes.assign(line.substr(start + 1, close - start - 1));
    value.usable = true;
    value.end = close + 1;
  } else if (start < line.size() && hexValue(line[start]) >= 0) {
    parseHexValue(line, start, value, faults);
  } else {
    value.fault = faults.noValue;
    value.end = start;
  }
  return value;
}

// The record without its body and tag values, pieces joined by line breaks (which no
// value holds, so no label or number can run across a joint).
std::string fieldText(std::string_view line, const DataValue& a, const DataValue& b) {
  trc::Scope trace(kTrace);
  std::string text;
  size_t from = 0;
  for (const DataValue* v : {&a, &b}) {
    if (v->begin == kNone) continue;
    text.append(line.substr(from, v->begin - from));
    text += '\n';
    from = v->end;
  }
  text.append(line.substr(from));
  return text;
}

enum class Number { kAbsent, kFound, kBad };

// The number after `label` in `text`: optional blanks, an optional sign and decimal digits,
// within what a 32-bit field holds signed or unsigned.
Number findNumber(std::string_view text, std::string_view label, long long& value) {
  trc::Scope trace(kTrace);
  size_t pos = findLabel(text, label);
  if (pos == kNone) return Number::kAbsent;
  size_t p = pos + label.size();
  while (p < text.size() && text[p] == ' ') ++p;
  bool negative = p < text.size() && (text[p] == '-' || text[p] == '+');
  if (negative) negative = text[p++] == '-';
  long long magnitude = 0;
  size_t digits = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p, ++digits) {
    magnitude = magnitude * 10 + (text[p] - '0');
    if (magnitude > UINT32_MAX) return Number::kBad;
  }
  if (digits == 0 || (negative && magnitude > 0x80000000LL)) return Number::kBad;
  value = negative ? -magnitude : magnitude;
  return Number::kFound;
}

struct NumberField {
  std::string_view label;
  void (Message::*set)(unsigned long);
  const char* fault;
};

// In the order a record is read: a format name given by name comes after Format and
// overrides it, and the lengths come last.
constexpr NumberField kLeadingFields[] = {
    {"Signature: ", &Message::Signature, "Signature: value is not a 32-bit number"},
    {"Version: ", &Message::Version, "Version: value is not a 32-bit number"},
    {"Type: ", &Message::Type, "Type: value is not a 32-bit number"},
    {"Priority: ", &Message::Priority, "Priority: value is not a 32-bit number"},
    {"Persistence: ", &Message::Persistence, "Persistence: value is not a 32-bit number"},
    {"Format: ", &Message::Format, "Format: value is not a 32-bit number"},
};
constexpr NumberField kTrailingFields[] = {
    {"Feedback: ", &Message::Feedback, "Feedback: value is not a 32-bit number"},
    {"Expiry: ", &Message::Expiry, "Expiry: value is not a 32-bit number"},
    {"Encoding: ", &Message::Encoding, "Encoding: value is not a 32-bit number"},
};

void setNumbers(std::string_view text, const NumberField* fields, size_t count, Message& m,
                const char*& fault) {
  trc::Scope trace(kTrace);
  for (size_t i = 0; i < count; ++i) {
    long long value = 0;
    Number found = findNumber(text, fields[i].label, value);
    if (found == Number::kFound) (m.*fields[i].set)(static_cast<unsigned long>(value));
    if (found == Number::kBad && !fault) fault = fields[i].fault;
  }
}

// Where the data labels may begin: past the format name when its label comes before both
// of them, since a name is any text up to a blank and may end in "MsgBuffer:".
size_t afterFormatName(std::string_view line) {
  trc::Scope trace(kTrace);
  size_t pos = findLabel(line, "FormatName: ");
  if (pos == kNone) return 0;
  if (std::min(findLabel(line, kBodyLabel), findLabel(line, kTagLabel)) < pos) return 0;
  return nextBlank(line, pos + std::string_view("FormatName: ").size());
}

// Takes the format name (up to the next blank) out of `text`, so that a name ending in a
// label word ("MsgId:") cannot pose as that label. False when the record has none.
bool takeFormatName(std::string& text, std::string& name) {
  trc::Scope trace(kTrace);
  constexpr std::string_view label = "FormatName: ";
  size_t pos = findLabel(text, label);
  if (pos == kNone) return false;
  size_t start = pos + label.size();
  size_t end = std::min({findText(text, " ", start), findText(text, "\n", start), text.size()});
  name = text.substr(start, end - start);
  text.replace(start, end - start, "\n");
  return true;
}

void setIdField(std::string_view text, std::string_view label, bool correl, Message& m,
                const char* badFault, const char*& fault) {
  trc::Scope trace(kTrace);
  size_t pos = findLabel(text, label);
  if (pos == kNone) return;
  size_t start = pos + label.size();
  unsigned char id[kQlxMsgIdLength];
  if (!setQLXMSGID(id, text.data() + start, text.size() - start)) {
    if (!fault) fault = badFault;
    return;
  }
  if (correl)
    m.setCorrelId(id);
  else
    m.setId(id);
}

// The length field is taken only when the record carries no usable data value (which
// sets the length itself), and never beyond the data the message holds.
void setLength(std::string_view text, std::string_view label, const DataValue& data,
               bool tag, Message& m, const char* badFault, const char* overFault,
               const char*& fault) {
  trc::Scope trace(kTrace);
  long long value = 0;
  Number found = findNumber(text, label, value);
  if (found == Number::kBad && !fault) fault = badFault;
  if (found != Number::kFound || data.usable) return;
  unsigned long wanted = static_cast<uint32_t>(value);
  if (tag)
    m.TagLength(wanted);
  else
    m.MsgLength(wanted);
  long now = tag ? m.TagLength() : m.MsgLength();
  if (static_cast<unsigned long>(now) != wanted && !fault) fault = overFault;
}

void setData(const DataValue& data, bool tag, Message& m) {
  trc::Scope trace(kTrace);
  if (!data.usable) return;
  if (data.bytes.empty()) {
    // "[]": the length becomes 0 and the data held stays as it was.
    if (tag)
      m.TagLength(0);
    else
      m.MsgLength(0);
    return;
  }
  if (tag)
    m.TagBuffer(data.bytes.data(), data.bytes.size());
  else
    m.MsgBuffer(data.bytes.data(), data.bytes.size());
}

}  // namespace

std::string zvrFormatHeader(const MessageFileSettings& s) {
  trc::Scope trace(kTrace);
  return zvrFormat(
      "Version: %ld DisplayHdr: %ld HexMsgData: %ld LoopTimes: %ld EveryN: %ld NTimes: %ld \n",
      s.version, s.displayHdr, s.hexMsgData, s.loopTimes, s.everyN, s.nTimes);
}

void zvrParseHeader(const char* line, size_t length, MessageFileSettings& settings) {
  trc::Scope trace(kTrace);
  std::string_view text(line, std::min(length, size_t{kHeaderLineLimit}));
  const std::pair<std::string_view, long*> fields[] = {
      {"Version: ", &settings.version},     {"DisplayHdr: ", &settings.displayHdr},
      {"HexMsgData: ", &settings.hexMsgData}, {"LoopTimes: ", &settings.loopTimes},
      {"EveryN: ", &settings.everyN},       {"NTimes: ", &settings.nTimes}};
  for (const auto& [label, field] : fields) {
    long long value = 0;
    if (findNumber(text, label, value) == Number::kFound)
      *field = static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(value)));
  }
}

std::string zvrFormatRecord(const Message& m, unsigned displayHdr, unsigned hexMsgData) {
  trc::Scope trace(kTrace);
  std::string out;
  if (displayHdr) out = formatFields(m);
  appendData(out, kBodyLabel, m.MsgBuffer(), m.MsgLength(), hexMsgData);
  if (displayHdr) appendData(out, kTagLabel, m.TagBuffer(), m.TagLength(), hexMsgData);
  out += '\n';
  return out;
}

const char* zvrParseRecord(const char* data, size_t length, Message& m) {
  trc::Scope trace(kTrace);
  std::string_view line(data, length);
  // Whichever data label comes first owns the text up to its value's end; the other is
  // looked for only after that, so a body holding "TagBuffer: " cannot pose as the tag.
  size_t from = afterFormatName(line);
  size_t bodyPos = findLabel(line, kBodyLabel, from);
  size_t tagPos = findLabel(line, kTagLabel, from);
  bool bodyFirst = bodyPos != kNone && (tagPos == kNone || bodyPos < tagPos);
  DataValue body, tag;
  if (bodyFirst) {
    body = parseDataValue(line, bodyPos, kBodyLabel.size(), kBodyFaults);
    tagPos = findLabel(line, kTagLabel, body.end);
    if (tagPos != kNone) tag = parseDataValue(line, tagPos, kTagLabel.size(), kTagFaults);
  } else if (tagPos != kNone) {
    tag = parseDataValue(line, tagPos, kTagLabel.size(), kTagFaults);
    bodyPos = findLabel(line, kBodyLabel, tag.end);
    if (bodyPos != kNone) body = parseDataValue(line, bodyPos, kBodyLabel.size(), kBodyFaults);
  }
  std::string fields = bodyFirst ? fieldText(line, body, tag) : fieldText(line, tag, body);
  const char* fault = nullptr;
  std::string name;
  bool named = takeFormatName(fields, name);
  setNumbers(fields, kLeadingFields, std::size(kLeadingFields), m, fault);
  if (named) m.FormatName(name.c_str());
  setNumbers(fields, kTrailingFields, std::size(kTrailingFields), m, fault);
  setIdField(fields, "MsgId: ", false, m, "MsgId: value is not 48 hexadecimal digits", fault);
  setIdField(fields, "CorrelId: ", true, m, "CorrelId: value is not 48 hexadecimal digits",
             fault);
  setData(body, false, m);
  setData(tag, true, m);
  setLength(fields, "MsgLength: ", body, false, m, "MsgLength: value is not a 32-bit number",
            "MsgLength: more than the body holds", fault);
  setLength(fields, "TagLength: ", tag, true, m, "TagLength: value is not a 32-bit number",
            "TagLength: more than the tag holds", fault);
  if (!fault) fault = body.fault ? body.fault : tag.fault;
  if (!fault && !zvrHasRecordField(data, length))
    fault = "no recognised field (a record line holds fields such as MsgBuffer: [text])";
  return trace.result(fault);
}

bool zvrHasRecordField(const char* data, size_t length) {
  trc::Scope trace(kTrace);
  std::string_view line(data, length);
  static constexpr std::string_view kLabels[] = {
      kBodyLabel,  kTagLabel,   "Signature: ", "Version: ",  "Type: ",     "Priority: ",
      "Persistence: ", "Format: ", "FormatName: ", "Feedback: ", "Expiry: ", "Encoding: ",
      "Status: ", "MsgId: ",    "CorrelId: ",  "MsgLength: ", "TagLength: "};
  for (std::string_view label : kLabels) {
    if (findLabel(line, label) != kNone) return trace.result(true);
  }
  return trace.result(false);
}

ZvrLineStatus zvrReadLine(std::FILE* file, std::string& line, size_t limit) {
  trc::Scope trace(kTrace);
  line.clear();
  // Gathered a chunk at a time: the line's storage grows with what it holds, not to the
  // limit, and no character is appended on its own.
  char chunk[512];
  size_t filled = 0;
  bool any = false;
  bool tooLong = false;
  for (int c; (c = getc_unlocked(file)) != EOF;) {
    any = true;
    if (c == '\n') break;
    if (line.size() + filled >= limit) {
      tooLong = true;
      continue;
    }
    chunk[filled++] = static_cast<char>(c);
    if (filled == sizeof chunk) {
      line.append(chunk, filled);
      filled = 0;
    }
  }
  line.append(chunk, filled);
  if (!any) return trace.result(kLineEnd);
  return trace.result(tooLong ? kLineTooLong : kLineWhole);
}
