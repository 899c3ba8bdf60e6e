// Marshalling: the tagged text a map reads and writes, and the framing of the engine output.
//
// For each request being transformed the service builds one TsiMarshall: its constructor
// writes the request's descriptor fields, tag and body as tagged text (the map's input
// card). After the map has run, splitMultiBuffer takes one length-prefixed frame off the
// engine's output, and createResponse reads that piece back into the descriptor, tag, body
// and route entries of a response. The layout of the text is in marshall_format.h.
//
// Reading never copies the body or the tag: a response built from a piece points into it,
// so the piece must outlive the response. Every read stays within the length given.
#ifndef ZVR_MARSHALL_H
#define ZVR_MARSHALL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string_view>

#include "qlx.h"

class QuorRequest;
class QuorResponse;
class ZvrRouteList;

// Size of the error-text area handed to _unMarshallRoute.
enum { kMarshallErrorTextSize = 512 };

class Marshall {
 public:
  // Records the request's theme handle, get options, ids, theme id and descriptor. The
  // request is borrowed: it must outlive this object. `flags` non-zero: the text carries
  // the descriptor header; 0: the text is the body alone. The text is empty until the
  // subclass builds it.
  Marshall(const QuorRequest& request, const unsigned flags);
  virtual ~Marshall();
  Marshall(const Marshall&) = delete;
  Marshall& operator=(const Marshall&) = delete;

  // Reads one transformed piece (already stripped of its frame; neither argument is
  // changed) into a new response that the caller deletes, appending the piece's route
  // entries to `routes` (may be null: entries are then checked and dropped). The response
  // points into the piece for its body and tag: the piece must outlive it. Null on
  // failure with ZVRerror set (ZVRM0001, ZVRM0002 or ZVRM0004); entries appended before
  // a failure stay in the list.
  virtual QuorResponse* createResponse(void*& piece, unsigned long& length,
                                       ZvrRouteList* routes) const;
  virtual unsigned long length() const;
  // The text; owned by this object until it is destroyed or setBuffer replaces it.
  virtual void* buffer() const;
  // "\nMarshall Buffer\n---------------\nLength: <n>\n\n" and a hex dump of the text.
  // Returns the length; `out` gets a new text the caller frees with delete[].
  virtual int display(char*& out) const;
  // Takes one frame off the front of an engine output. This base class has no framing:
  // it changes nothing and returns 0.
  virtual unsigned long splitMultiBuffer(void*& text, unsigned long& length,
                                         unsigned& error) const;

  // Replaces the text with a copy of `length` bytes of `data` (borrowed; may lie inside
  // the current text). Returns 1: success, by the rule that 0 means failure. 0 when memory
  // for the copy runs out: the text is then empty and ZVRerror is ZVRM0004.
  int setBuffer(const void* data, const unsigned long length);

  // Bytes allocated for the text: the writers' upper bound (or the copy's size after
  // setBuffer); 0 when there is no text.
  size_t capacity() const { return capacity_; }

 protected:
  // Writing: each writes at `at` and returns the number of bytes written. The subclass
  // constructor allocates the text with _allocateText and the writers stay inside it.
  // The helpers below the five operations carry no trace points of their own: they run
  // dozens of times for each text.
  size_t _marshallHeader(char* at);
  size_t _marshallAttributes(char* at);
  size_t _marshallFormat(char* at);
  size_t _marshallTag(char* at);
  size_t _marshallMsgBuffer(char* at);
  // One field "<Name>", `size` bytes of `value`, "</Name>" CR LF.
  size_t _marshallField(char* at, unsigned tag, const void* value, size_t size);
  // One field with `value` in signed decimal.
  size_t _marshallNumber(char* at, unsigned tag, int32_t value);
  // Copies `size` bytes to `at`; they must fit in the writers' bound (asserted).
  size_t _put(char* at, const void* bytes, size_t size);
  // Copies the whole padded area `markup` (kMarshallTagArea bytes) to `at` and returns
  // `size`, the markup's own length: the bytes past it are overwritten by what follows or
  // lie in the slack allocated behind the bound.
  size_t _putMarkup(char* at, const char* markup, size_t size);
  // Bytes of a request buffer that may be read: `length` (MsgLength or TagLength), but
  // never more than the buffer's own Length, and none when its address is null.
  static size_t _readable(const QLXBUFFER& buffer, uint32_t length);
  // Allocates the text for `capacity` bytes (the writers' upper bound); no text for 0.
  // False when memory runs out: the text stays empty and ZVRerror is ZVRS0012.
  bool _allocateText(size_t capacity);
  // The allocated text (null before _allocateText, or when it failed).
  char* _text() const { return text_.get(); }
  // Sets the length of the text the writers produced.
  void _setLength(size_t length);

  // Reading: 1 for success, 0 for failure with ZVRerror set. The piece is borrowed.
  int _unMarshall(const void* piece, const unsigned long length, QLXMSG& msg,
                  ZvrRouteList* routes) const;
  int _unMarshallHeader(const char*& cursor, const unsigned long length, QLXMSG& msg,
                        ZvrRouteList* routes) const;
  // 1 with the value's bounds when the field is at the cursor (the cursor moves past it).
  // 0 without moving: value start null when the field is absent; value start and end just
  // after the opening tag when the field is broken (no closing tag "</Name>" CR LF after
  // it). Raises no error.
  int _unMarshallField(const char*& cursor, const void* end, const char* name,
                       const char*& valueStart, const char*& valueEnd) const;
  // As _unMarshallField for an optional field of the table: 1 present, 0 absent; a broken
  // field raises ZVRM0001 naming it and gives -1.
  int _unMarshallOptional(const char*& cursor, const char* end, unsigned tag,
                          const char*& valueStart, const char*& valueEnd) const;

  // Section lines and the time stamp, supplied by the framing subclass.
  virtual size_t _marshallBegin(char* at, const unsigned tag) = 0;
  virtual size_t _marshallEnd(char* at, const unsigned tag) = 0;
  virtual size_t _marshallTimestamp(char* at, const QLXTIMESTAMP timeStamp) = 0;
  // Reads the route entries before `</Header>`; the default reads nothing and returns 1.
  virtual int _unMarshallRoute(const char*& cursor, const char* end, const char*& valueStart,
                               const char*& valueEnd, char* errorText, const void* piece,
                               const unsigned long pieceLength, ZvrRouteList* routes) const;
  // 1 with the cursor past the delimiter when it is there; 0 and the cursor unmoved
  // otherwise. Raise no error.
  virtual int _unMarshallBegin(const char*& cursor, const char* end,
                               const unsigned tag) const = 0;
  virtual int _unMarshallEnd(const char*& cursor, const char* end,
                             const unsigned tag) const = 0;
  // Reads an optional time stamp field within `left` bytes; 0 with ZVRerror for a broken one.
  virtual int _unMarshallTimestamp(const char*& cursor, const unsigned long left) const = 0;

  const QLXMSG& request() const { return *request_; }
  const QLXGETOPT& requestGetOptions() const { return getOptions_; }
  unsigned flags() const { return flags_; }

 private:
  int _unMarshallAttributes(const char*& cursor, const char* end, QLXMSG& msg) const;
  int _unMarshallFormat(const char*& cursor, const char* end, QLXMSG& msg) const;
  int _unMarshallTag(const char*& cursor, const char* end, QLXMSG& msg) const;
  void _startResponse(QLXMSG& msg) const;
  QLXPUTOPT _responsePutOptions(const QLXMSG& msg) const;

  std::unique_ptr<char[]> text_;
  unsigned long textLength_ = 0;
  const unsigned long theme_;
  QLXGETOPT getOptions_;
  QLXMSGID requestMsgId_;
  QLXMSGID requestCorrelId_;
  const QLXMSG* const request_;
  const unsigned flags_;
  QLXMSGID themeId_;
  size_t capacity_ = 0;  // bytes allocated for the writers
};

// The Marshall used with the transformation engine: section lines "<Name>" CR LF and
// "</Name>" CR LF, the time stamp "<TimeStamp>sec.usecs</TimeStamp>", the Routing section
// on reading, and frames "<decimal length><white space><data>" in the engine output.
class TsiMarshall : public Marshall {
 public:
  // The marshalled request, or null when memory for its text runs out (ZVRerror is then
  // ZVRS0012). The request is borrowed as by the constructor; the caller deletes the result.
  static TsiMarshall* create(const QuorRequest& request, const unsigned flags);

  // Builds the whole text at once in a buffer sized from the upper bound of the header and
  // the bytes of tag and body that can be read. A constructor cannot fail: when memory for
  // the text runs out the object holds no text (length 0) and ZVRerror is ZVRS0012, which
  // is why callers use create().
  TsiMarshall(const QuorRequest& request, const unsigned flags);

  // On entry `text` and `length` describe the rest of the engine output. On return `text`
  // is the first data byte of the frame, `length` the frame's data length, `error` 0 or 1;
  // the result is the number of bytes taken off (digits and terminator), never more than
  // the given length. Errors (ZVRerror): ZVRM0005 digits run to the end; ZVRM0006 a byte
  // that is neither digit nor white space, a length beyond 32 bits, or a length beyond the
  // bytes that follow; with error 1, `length` is 0. A length of 0 (also no digits at all)
  // gives error 0 and the warning ZVRM0007.
  unsigned long splitMultiBuffer(void*& text, unsigned long& length,
                                 unsigned& error) const override;

 protected:
  size_t _marshallBegin(char* at, const unsigned tag) override;
  size_t _marshallEnd(char* at, const unsigned tag) override;
  size_t _marshallTimestamp(char* at, const QLXTIMESTAMP timeStamp) override;
  int _unMarshallRoute(const char*& cursor, const char* end, const char*& valueStart,
                       const char*& valueEnd, char* errorText, const void* piece,
                       const unsigned long pieceLength, ZvrRouteList* routes) const override;
  int _unMarshallBegin(const char*& cursor, const char* end,
                       const unsigned tag) const override;
  int _unMarshallEnd(const char*& cursor, const char* end, const unsigned tag) const override;
  int _unMarshallTimestamp(const char*& cursor, const unsigned long left) const override;

 private:
  size_t _textBound() const;
  // Raises the frame's error, if any, and returns the error flag. `failure` is the id met
  // while scanning the digits (null when a terminator was found), `value` the length read
  // (saturated past 32 bits), `following` the bytes after the prefix.
  unsigned _frameError(const char* failure, uint64_t value, unsigned long following) const;
  int _unMarshallRouteEntry(const char*& cursor, const char* end, const char*& valueStart,
                            const char*& valueEnd, ZvrRouteList* routes) const;
};

// Writes the display text.
std::ostream& operator<<(std::ostream& os, const Marshall& marshall);

#endif  // ZVR_MARSHALL_H
