#include "message.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messagerecord.h"
#include "quorrequest.h"
#include "trc.h"

static trc::Module kTrace{"zvrutil"};

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kPrintCharColumn = 50;
constexpr size_t kPrintGroupColumn[4] = {10, 19, 29, 38};

int hexValue(char c) {
  trc::Scope trace(kTrace);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes a buffer field vouches for: the smaller of the length field and the buffer's
// own length, none without an address.
size_t heldLength(uint32_t lengthField, const QLXBUFFER& buffer) {
  trc::Scope trace(kTrace);
  if (buffer.Data == nullptr) return 0;
  return std::min(lengthField, buffer.Length);
}

// Replaces `storage` by a terminated copy of `length` bytes of `data` (which may point
// into the old storage) and points the buffer field at it; no data or no length leaves
// no storage.
void attachCopy(std::unique_ptr<char[]>& storage, QLXBUFFER& buffer, uint32_t& lengthField,
                const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  std::unique_ptr<char[]> copy;
  if (data == nullptr) length = 0;
  length = std::min<unsigned long>(length, UINT32_MAX);
  if (length) {
    copy.reset(new char[length + 1]);
    std::memcpy(copy.get(), data, length);
    copy[length] = '\0';
  }
  zvrAttachBuffer(0, buffer, lengthField, copy.get(), static_cast<uint32_t>(length));
  storage = std::move(copy);
}

int32_t low32(unsigned long value) {
  trc::Scope trace(kTrace);
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Reads one line of standard input for a prompt; false at end of input.
bool readInputLine(std::string& line, size_t limit) {
  trc::Scope trace(kTrace);
  std::fflush(stdout);
  return zvrReadLine(stdin, line, limit) != kLineEnd;
}

}  // namespace

int setQLXMSGID(unsigned char* out, const char* hex, size_t length) {
  trc::Scope trace(kTrace);
  if (hex == nullptr || length < kMessageIdHexDigits) return trace.result(0);
  unsigned char id[kQlxMsgIdLength];
  for (size_t i = 0; i < kQlxMsgIdLength; ++i) {
    int high = hexValue(hex[2 * i]);
    int low = hexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return trace.result(0);
    id[i] = static_cast<unsigned char>(high * 16 + low);
  }
  std::memcpy(out, id, sizeof id);
  return trace.result(1);
}

int setQLXMSGID(unsigned char* out, const char* hex) {
  trc::Scope trace(kTrace);
  size_t length = hex ? strnlen(hex, kMessageIdHexDigits) : 0;
  return trace.result(setQLXMSGID(out, hex, length));
}

std::string zvrPrintDump(const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  if (bytes == nullptr) return text;
  for (unsigned long offset = 0; offset < length; offset += 16) {
    size_t count = std::min<unsigned long>(16, length - offset);
    std::string row(kPrintCharColumn + count, ' ');
    for (int digit = 0; digit < 8; ++digit)
      row[digit] = kHexDigits[(offset >> (28 - 4 * digit)) & 0xF];
    row[8] = ':';
    for (size_t i = 0; i < count; ++i) {
      unsigned char byte = bytes[offset + i];
      size_t column = kPrintGroupColumn[i / 4] + 2 * (i % 4);
      row[column] = kHexDigits[byte >> 4];
      row[column + 1] = kHexDigits[byte & 0xF];
      row[kPrintCharColumn + i] = (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
    }
    text += row;
    text += " \n";
  }
  return text;
}

Message::Message() {
  trc::Scope trace(kTrace);
  zvrInitDescriptor(descriptor_);
  formatName_[0] = '\0';
}

Message::Message(const QLXMSG& descriptor) : Message() {
  trc::Scope trace(kTrace);
  _takeOver(descriptor);
}

Message::Message(const QuorRequest& request) : Message(request.descriptor()) {
  trc::Scope trace(kTrace);
}

Message::Message(const QuorResponse& response) : Message(response.descriptor()) {
  trc::Scope trace(kTrace);
}

Message::Message(const Message& other) : Message() {
  trc::Scope trace(kTrace);
  *this = other;
}

void Message::_takeOver(const QLXMSG& from) {
  trc::Scope trace(kTrace);
  std::memcpy(descriptor_.Signature, from.Signature, sizeof from.Signature);
  descriptor_.Version = from.Version;
  descriptor_.MsgType = from.MsgType;
  descriptor_.Priority = from.Priority;
  descriptor_.Persistence = from.Persistence;
  std::memcpy(descriptor_.FormatName, from.FormatName, sizeof from.FormatName);
  descriptor_.Feedback = from.Feedback;
  descriptor_.Expiry = from.Expiry;
  descriptor_.CodePage = from.CodePage;
  descriptor_.Encoding = from.Encoding;
  descriptor_.Status = from.Status;
  zvrSetId(descriptor_.MsgId, from.MsgId);
  zvrSetId(descriptor_.CorrelId, from.CorrelId);
  attachCopy(body_, descriptor_.MsgBuffer, descriptor_.MsgLength, from.MsgBuffer.Data,
             heldLength(from.MsgLength, from.MsgBuffer));
  attachCopy(tag_, descriptor_.TagBuffer, descriptor_.TagLength, from.TagBuffer.Data,
             heldLength(from.TagLength, from.TagBuffer));
}

Message& Message::operator=(const Message& other) {
  trc::Scope trace(kTrace);
  if (this == &other) return *this;
  const QLXMSG& from = other.descriptor_;
  std::memcpy(descriptor_.Signature, from.Signature, sizeof from.Signature);
  descriptor_.Version = from.Version;
  descriptor_.MsgType = from.MsgType;
  descriptor_.Priority = from.Priority;
  descriptor_.Persistence = from.Persistence;
  FormatName(other.FormatName());
  descriptor_.Format = from.Format;
  descriptor_.Feedback = from.Feedback;
  descriptor_.Expiry = from.Expiry;
  descriptor_.CodePage = from.CodePage;
  descriptor_.Encoding = from.Encoding;
  zvrSetId(descriptor_.MsgId, from.MsgId);
  zvrSetId(descriptor_.CorrelId, from.CorrelId);
  descriptor_.Status = from.Status;
  attachCopy(body_, descriptor_.MsgBuffer, descriptor_.MsgLength, other.body_.get(),
             from.MsgLength);
  attachCopy(tag_, descriptor_.TagBuffer, descriptor_.TagLength, other.tag_.get(),
             from.TagLength);
  return *this;
}

Message::~Message() {
  trc::Scope trace(kTrace);
  // The descriptor only ever points at this message's copies; a middleware-owned buffer
  // would still be released the one permitted way.
  zvrReleaseBuffer(0, descriptor_.MsgBuffer);
  zvrReleaseBuffer(0, descriptor_.TagBuffer);
}

long Message::Signature() const {
  trc::Scope trace(kTrace);
  const unsigned char* s = reinterpret_cast<const unsigned char*>(descriptor_.Signature);
  return trace.result(static_cast<long>((uint32_t{s[0]} << 24) | (uint32_t{s[1]} << 16) |
                                        (uint32_t{s[2]} << 8) | uint32_t{s[3]}));
}

void Message::Signature(unsigned long value) {
  trc::Scope trace(kTrace);
  for (int i = 0; i < 4; ++i)
    descriptor_.Signature[i] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
}

long Message::Version() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Version));
}

void Message::Version(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Version = low32(value);
}

long Message::Type() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.MsgType));
}

void Message::Type(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.MsgType = low32(value);
}

long Message::Priority() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Priority));
}

void Message::Priority(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Priority = low32(value);
}

long Message::Persistence() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Persistence));
}

void Message::Persistence(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Persistence = low32(value);
}

long Message::Format() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Format));
}

void Message::Format(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Format = low32(value);
}

long Message::Feedback() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Feedback));
}

void Message::Feedback(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Feedback = low32(value);
}

long Message::Expiry() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Expiry));
}

void Message::Expiry(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Expiry = low32(value);
}

long Message::CodePage() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.CodePage));
}

void Message::CodePage(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.CodePage = low32(value);
}

long Message::Encoding() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Encoding));
}

void Message::Encoding(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Encoding = low32(value);
}

long Message::Status() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.Status));
}

void Message::Status(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.Status = low32(value);
}

long Message::MsgLength() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.MsgLength));
}

void Message::MsgLength(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.MsgLength = static_cast<uint32_t>(
      std::min<unsigned long>(value, heldLength(UINT32_MAX, descriptor_.MsgBuffer)));
}

long Message::TagLength() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<long>(descriptor_.TagLength));
}

void Message::TagLength(unsigned long value) {
  trc::Scope trace(kTrace);
  descriptor_.TagLength = static_cast<uint32_t>(
      std::min<unsigned long>(value, heldLength(UINT32_MAX, descriptor_.TagBuffer)));
}

void Message::FormatName(const char* name) {
  trc::Scope trace(kTrace);
  zvrSetFormatName(descriptor_, name);
}

void Message::FormatName(const unsigned char* raw) {
  trc::Scope trace(kTrace);
  std::memcpy(descriptor_.FormatName, raw, sizeof descriptor_.FormatName);
}

const char* Message::FormatName() const {
  trc::Scope trace(kTrace);
  zvrGetFormatName(descriptor_, formatName_);
  return trace.result(formatName_);
}

void Message::setId(const unsigned char* id) {
  trc::Scope trace(kTrace);
  zvrSetId(descriptor_.MsgId, id);
}

void Message::setCorrelId(const unsigned char* id) {
  trc::Scope trace(kTrace);
  zvrSetId(descriptor_.CorrelId, id);
}

int Message::setId(const char* hex) {
  trc::Scope trace(kTrace);
  return trace.result(setQLXMSGID(descriptor_.MsgId, hex));
}

int Message::setCorrelId(const char* hex) {
  trc::Scope trace(kTrace);
  return trace.result(setQLXMSGID(descriptor_.CorrelId, hex));
}

void Message::getId(unsigned char* out) const {
  trc::Scope trace(kTrace);
  std::memcpy(out, descriptor_.MsgId, kQlxMsgIdLength);
}

void Message::getCorrelId(unsigned char* out) const {
  trc::Scope trace(kTrace);
  std::memcpy(out, descriptor_.CorrelId, kQlxMsgIdLength);
}

void Message::MsgBuffer(const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  if (data != nullptr && length == 0) length = std::strlen(static_cast<const char*>(data));
  attachCopy(body_, descriptor_.MsgBuffer, descriptor_.MsgLength, data, length);
}

const char* Message::MsgBuffer() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<const char*>(body_.get()));
}

void Message::TagBuffer(const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  if (data != nullptr && length == 0) length = std::strlen(static_cast<const char*>(data));
  attachCopy(tag_, descriptor_.TagBuffer, descriptor_.TagLength, data, length);
}

const char* Message::TagBuffer() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<const char*>(tag_.get()));
}

const QLXMSG& Message::descriptor() const {
  trc::Scope trace(kTrace);
  return descriptor_;
}

unsigned long Message::read(unsigned long current, const char* label) const {
  trc::Scope trace(kTrace);
  std::printf("%s [DEFAULT=%11.10ld]: ", label, static_cast<long>(current));
  std::string line;
  if (!readInputLine(line, kEnteredNumberLimit) || line.empty()) return current;
  const char* text = line.c_str();
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  // A line without a leading number keeps the default rather than turning into 0.
  if (end == text) return current;
  return static_cast<unsigned long>(value);
}

unsigned long Message::read(char*& out, const char* label) const {
  trc::Scope trace(kTrace);
  std::printf("%s:\n", label);
  std::string line;
  readInputLine(line, kEnteredTextLimit);
  out = new char[line.size() + 1];
  std::memcpy(out, line.data(), line.size());
  out[line.size()] = '\0';
  return line.size();
}

int Message::enterMessage(unsigned full) {
  trc::Scope trace(kTrace);
  if (full) {
    Signature(read(static_cast<unsigned long>(Signature()), "Signature"));
    Version(read(Version(), "Version"));
    Type(read(Type(), "Type"));
    Priority(read(Priority(), "Priority"));
    Persistence(read(Persistence(), "Persistence"));
    Format(read(Format(), "Format"));
    Feedback(read(Feedback(), "Feedback"));
    Expiry(read(Expiry(), "Expiry"));
    CodePage(read(CodePage(), "CodePage"));
    Encoding(read(Encoding(), "Encoding"));
    Status(read(Status(), "Status"));
  }
  // An empty line is an empty body; only the end of input says there is none.
  if (std::feof(stdin)) return trace.result(0);
  char* text = nullptr;
  unsigned long length = read(text, "Message Body");
  bool ended = length == 0 && std::feof(stdin);
  if (!ended) attachCopy(body_, descriptor_.MsgBuffer, descriptor_.MsgLength, text, length);
  delete[] text;
  if (ended) return trace.result(0);
  if (full) {
    length = read(text, "Tag Body");
    attachCopy(tag_, descriptor_.TagBuffer, descriptor_.TagLength, text, length);
    delete[] text;
  }
  return trace.result(1);
}

void Message::Print(unsigned full) const {
  trc::Scope trace(kTrace);
  std::printf("%s\n", std::string(79, '-').c_str());
  if (full) {
    std::printf("Signature: %11.10ld     Version: %11.10ld      Type: %11.10ld\n", Signature(),
                Version(), Type());
    std::printf(" Priority: %11.10ld Persistence: %11.10ld    Format: %11.10ld\n", Priority(),
                Persistence(), Format());
    std::printf(" Feedback: %11.10ld      Expiry: %11.10ld  Encoding: %11.10ld\n", Feedback(),
                Expiry(), Encoding());
    std::printf("   Status: %11.10ld   MsgLength: %11.10ld TagLength: %11.10ld \n", Status(),
                MsgLength(), TagLength());
    std::printf("FormatName: %s\n", FormatName());
    std::printf("MsgId:\n%s", zvrPrintDump(descriptor_.MsgId, kQlxMsgIdLength).c_str());
    std::printf("CorrelId:\n%s", zvrPrintDump(descriptor_.CorrelId, kQlxMsgIdLength).c_str());
  }
  std::printf("MsgBuffer:\n%s", zvrPrintDump(body_.get(), descriptor_.MsgLength).c_str());
  if (full)
    std::printf("TagBuffer:\n%s", zvrPrintDump(tag_.get(), descriptor_.TagLength).c_str());
  std::fflush(stdout);
}
