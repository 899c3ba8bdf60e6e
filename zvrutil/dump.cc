#include "dump.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "descriptor.h"
#include "text.h"
#include "trc.h"

static trc::Module kTrace{"zvrutil"};

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// Column of the first hex digit of each group of four bytes within a row.
constexpr size_t kGroupColumn[4] = {11, 20, 30, 39};
constexpr size_t kOffsetColumn = 1;
constexpr size_t kCharColumn = 51;

// Letters, digits, punctuation and the blank stand for themselves, whatever the locale.
constexpr bool printable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

// Writes one row of up to 16 bytes into `row`, which is already blank.
void writeRow(char* row, unsigned long offset, const unsigned char* bytes, size_t count) {
  trc::Scope trace(kTrace);
  assert(count <= kDumpBytesPerRow);  // the row's 68 columns hold 16 bytes at most
  row[0] = '\n';
  // Eight digits always: a row must stay 68 characters wide.
  for (int digit = 0; digit < 8; ++digit)
    row[kOffsetColumn + digit] = kHexDigits[(offset >> (28 - 4 * digit)) & 0xF];
  row[9] = ':';
  for (size_t i = 0; i < count; ++i) {
    size_t column = kGroupColumn[i / 4] + 2 * (i % 4);
    row[column] = kHexDigits[bytes[i] >> 4];
    row[column + 1] = kHexDigits[bytes[i] & 0xF];
    row[kCharColumn + i] = printable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
  }
}

// At most the bytes both the length field and the buffer descriptor vouch for; none when
// the descriptor has no address.
unsigned long readableLength(uint32_t lengthField, const QLXBUFFER& buffer) {
  trc::Scope trace(kTrace);
  if (buffer.Data == nullptr) return 0;
  return std::min(lengthField, buffer.Length);
}

}  // namespace

std::string zvrDumpHex(const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  if (data == nullptr) length = 0;
  unsigned long rows = (length + kDumpBytesPerRow - 1) / kDumpBytesPerRow;
  std::string text(rows * kDumpRowWidth, ' ');
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (unsigned long row = 0; row < rows; ++row) {
    unsigned long offset = row * kDumpBytesPerRow;
    size_t count = std::min<unsigned long>(kDumpBytesPerRow, length - offset);
    writeRow(&text[row * kDumpRowWidth], offset, bytes + offset, count);
  }
  return text;
}

int dumpHex(char*& out, const void* data, const unsigned long length) {
  trc::Scope trace(kTrace);
  return trace.result(zvrNewText(zvrDumpHex(data, length), out));
}

void dumpHex(std::ostream& os, const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  char* text = nullptr;
  int size = dumpHex(text, data, length);
  os.write(text, size);
  delete[] text;
}

int displayQLXMSG(char*& out, const QLXMSG& msg, const char* title) {
  trc::Scope trace(kTrace);
  std::string msgId = zvrDumpHex(msg.MsgId, sizeof msg.MsgId);
  std::string correlId = zvrDumpHex(msg.CorrelId, sizeof msg.CorrelId);
  std::string body =
      zvrDumpHex(msg.MsgBuffer.Data, readableLength(msg.MsgLength, msg.MsgBuffer));
  std::string tag =
      zvrDumpHex(msg.TagBuffer.Data, readableLength(msg.TagLength, msg.TagBuffer));
  char formatName[kFormatNameArea];
  zvrGetFormatName(msg, formatName);
  if (!title) title = "";
  std::string text;
  if (!tag.empty()) {
    text = zvrFormat(
        "\n%s\nFormatName: ``%s''\nMessage ID\n%s\nCorrelation ID\n%s\nMessage Buffer\n%s"
        "\nTag Buffer\n%s",
        title, formatName, msgId.c_str(), correlId.c_str(), body.c_str(), tag.c_str());
  } else {
    text = zvrFormat(
        "\n%s\nFormatName: ``%s''\nMessage ID\n%s\nCorrelation ID\n%s\nMessage Buffer\n%s",
        title, formatName, msgId.c_str(), correlId.c_str(), body.c_str());
  }
  return trace.result(zvrNewText(text, out));
}

char* strToUpper(char* s) {
  trc::Scope trace(kTrace);
  if (!s) return s;
  for (char* p = s; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  return trace.result(s);
}

const char* _substring(const void* buffer, unsigned length, const char* needle) {
  trc::Scope trace(kTrace);
  if (!needle || (!buffer && length != 0)) return trace.result<const char*>(nullptr);
  const char* begin = static_cast<const char*>(buffer);
  size_t needleLength = std::strlen(needle);
  if (needleLength == 0) return trace.result(begin);
  if (needleLength > length) return trace.result<const char*>(nullptr);
  const char* end = begin + length;
  const char* found = std::search(begin, end, needle, needle + needleLength);
  return trace.result(found == end ? nullptr : found);
}
