// A self-contained copy of one message for the test tools.
//
// A Message holds a descriptor whose body and tag data it owns (copies, each one byte
// longer than the data and NUL-terminated, so a text body can also be read as a C string).
// The tee component builds one from every request it records; the test client builds one
// per record of a message file (messagefile.h) or per message typed in by hand, and puts a
// request made from its descriptor. The descriptor never describes middleware-owned data.
//
// Invariant: MsgLength never exceeds the body the message holds, nor TagLength the tag
// data, so that a request made from the descriptor, Print and the writer never read past
// the copies.
#ifndef ZVR_MESSAGE_H
#define ZVR_MESSAGE_H

#include <cstddef>
#include <memory>
#include <string>

#include "descriptor.h"
#include "qlx.h"

class QuorRequest;
class QuorResponse;

enum : size_t {
  kMessageIdHexDigits = 2 * kQlxMsgIdLength,
  kEnteredNumberLimit = 1024,  // characters of a number typed at a prompt
  kEnteredTextLimit = 16383,   // characters of a body or tag typed at a prompt
};

class Message {
 public:
  // The default descriptor; no body, no tag.
  Message();
  // Start from the default descriptor and take over the given descriptor's fields except
  // Format, BackoutCount and TimeStamp; FormatName is copied as its 132 raw bytes. Body and
  // tag are copied (at most the smaller of the length field and the buffer's own length;
  // nothing when the buffer has no address). The source is borrowed for the call only.
  explicit Message(const QLXMSG& descriptor);
  explicit Message(const QuorRequest& request);
  explicit Message(const QuorResponse& response);
  // Copy construction and assignment take over every field but BackoutCount and TimeStamp,
  // with copies of body and tag.
  Message(const Message& other);
  Message& operator=(const Message& other);
  ~Message();

  // Numeric fields. Getters give the field's value (signed fields sign-extended, the two
  // lengths as unsigned); setters keep the low 32 bits. Signature is the four characters as
  // one big-endian number ("BXMD" is 1113083204).
  long Signature() const;
  void Signature(unsigned long value);
  long Version() const;
  void Version(unsigned long value);
  long Type() const;  // the MsgType field
  void Type(unsigned long value);
  long Priority() const;
  void Priority(unsigned long value);
  long Persistence() const;
  void Persistence(unsigned long value);
  long Format() const;
  void Format(unsigned long value);
  long Feedback() const;
  void Feedback(unsigned long value);
  long Expiry() const;
  void Expiry(unsigned long value);
  long CodePage() const;
  void CodePage(unsigned long value);
  long Encoding() const;
  void Encoding(unsigned long value);
  long Status() const;
  void Status(unsigned long value);
  long MsgLength() const;
  // Cut to the size of the body held: a length can shrink what is sent, never grow it.
  void MsgLength(unsigned long value);
  long TagLength() const;
  // Cut to the size of the tag data held.
  void TagLength(unsigned long value);

  // Sets the name (null counts as empty; cut at 132 characters) and Format -1.
  void FormatName(const char* name);
  // Copies 132 raw bytes (borrowed; all 132 are read) and leaves Format alone.
  void FormatName(const unsigned char* raw);
  // The name, terminated; owned by this message until its next FormatName call.
  const char* FormatName() const;

  // Copy exactly 24 bytes (borrowed).
  void setId(const unsigned char* id);
  void setCorrelId(const unsigned char* id);
  // Convert 48 hexadecimal digits of a terminated text (setQLXMSGID). 1 on success; 0 with
  // the id unchanged when the text holds fewer than 48 digits or another character first.
  int setId(const char* hex);
  int setCorrelId(const char* hex);
  void getId(unsigned char* out) const;
  void getCorrelId(unsigned char* out) const;

  // Replaces the body by a copy of `length` bytes of `data` (borrowed; it may point into
  // the current body). A length of 0 with data present takes `data` as a terminated text.
  // Null data leaves no body. MsgLength becomes the length copied.
  void MsgBuffer(const void* data, unsigned long length);
  // The body (MsgLength bytes plus a NUL), or null; owned by this message until the next
  // MsgBuffer call or its destruction.
  const char* MsgBuffer() const;
  // The same for the tag data and TagLength.
  void TagBuffer(const void* data, unsigned long length);
  const char* TagBuffer() const;

  // Prompts "<label> [DEFAULT=<current>]: " on standard output and reads one line (at most
  // 1024 characters are looked at; the rest of a longer line is consumed) from standard
  // input. The line's leading decimal number, or `current` when the line is empty, holds no
  // number, or input has ended.
  unsigned long read(unsigned long current, const char* label) const;
  // Prompts "<label>:\n" and reads one line (newline removed; at most 16383 characters
  // kept, the rest of a longer line consumed). `out` gets a new text the caller frees with
  // delete[]; returns its length (0 and an empty text at end of input).
  unsigned long read(char*& out, const char* label) const;
  // Asks for the message interactively: with `full`, every numeric field from Signature to
  // Status first and the tag after the body. 1 when a body line was read; 0 when standard
  // input ended before it (the message then keeps its earlier body).
  int enterMessage(unsigned full);
  // Writes the message to standard output: a rule of 79 hyphens, with `full` the numeric
  // fields, format name and both ids, then the body's hex dump and with `full` the tag's.
  void Print(unsigned full) const;

  // The descriptor, whose buffers point at this message's copies (borrowed from it).
  const QLXMSG& descriptor() const;

 private:
  void _takeOver(const QLXMSG& from);

  QLXMSG descriptor_;
  mutable char formatName_[kFormatNameArea];
  std::unique_ptr<char[]> body_;
  std::unique_ptr<char[]> tag_;
};

// Converts 48 hexadecimal digits ("0"-"9", "A"-"F", "a"-"f") into 24 bytes, two digits a
// byte, high digit first. `hex` is a terminated text, read no further than its terminator.
// 1 on success; 0 with `out` unchanged when a non-digit (or the end) comes first.
int setQLXMSGID(unsigned char* out, const char* hex);
// The same over `length` characters of `hex` (which need not be terminated).
int setQLXMSGID(unsigned char* out, const char* hex, size_t length);

// The hex dump of Print: one line per 16 bytes, the offset in 8 digits, ":", four groups of
// four bytes, the bytes as characters ("." for those that do not print), a blank and a
// newline; empty for no data. `data` is borrowed; null counts as no data.
std::string zvrPrintDump(const void* data, unsigned long length);

#endif  // ZVR_MESSAGE_H
