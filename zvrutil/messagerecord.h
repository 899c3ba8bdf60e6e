// The text layout of a message file: the header line of run settings and the message
// records, written and read here for MessageFile (messagefile.h), its tests and its fuzz
// target. Nothing here touches a file except zvrReadLine.
//
// Header: "Version: %ld DisplayHdr: %ld HexMsgData: %ld LoopTimes: %ld EveryN: %ld NTimes: %ld \n".
// Record with the descriptor fields: "Signature: .. Version: .. Type: .. Priority: ..
// Persistence: .. Format: .. Feedback: .. Expiry: .. Encoding: .. Status: .. FormatName: ..
// MsgId: <48 hex> CorrelId: <48 hex> MsgLength: .. TagLength: .. " then the body part and
// the tag part; without them the body part only. A body is "MsgBuffer: []" when empty,
// else "MsgBuffer: [text] " or, in hexadecimal form, "MsgBuffer: 414243 ". The tag is the
// same under "TagBuffer: ", ending the line.
//
// Reading stays inside the line it is given: a value is never taken past the line's end, a
// body never claims more bytes than the line carried, and a record that is damaged (a value
// cut short, a bracket left open, malformed digits, a line longer than the limit) is
// reported instead of being half-trusted.
#ifndef ZVR_MESSAGERECORD_H
#define ZVR_MESSAGERECORD_H

#include <cstddef>
#include <cstdio>
#include <string>

class Message;

enum : size_t {
  // Characters of the header line that count; the rest of the line is skipped.
  kHeaderLineLimit = 144,
  // A record line, newline included, is shorter than this.
  kRecordLineLimit = 16384,
  // So a record holds at most this many characters before its newline.
  kRecordTextLimit = kRecordLineLimit - 2,
};

// The run settings of a header line; -1 where the line does not give a value.
struct MessageFileSettings {
  long version = -1;
  long displayHdr = 0;
  long hexMsgData = 0;
  long loopTimes = -1;
  long everyN = -1;
  long nTimes = -1;
};

// The header line, newline included.
std::string zvrFormatHeader(const MessageFileSettings& settings);

// Takes each of "Version: ", "DisplayHdr: ", "HexMsgData: ", "LoopTimes: ", "EveryN: ",
// "NTimes: " found within the first 144 of `length` characters of `line` (borrowed) with
// the number after it into `settings`; others keep their values.
void zvrParseHeader(const char* line, size_t length, MessageFileSettings& settings);

// The record of `message`, newline included: with the descriptor fields when
// `displayHdr` is not 0; bodies and tags in hexadecimal form when `hexMsgData` is 1. A body
// or tag holding a newline is written in hexadecimal form whatever `hexMsgData` says, since
// a newline inside brackets would end the record there.
std::string zvrFormatRecord(const Message& message, unsigned displayHdr, unsigned hexMsgData);

// Reads one record of `length` characters (`line`, borrowed, need not be terminated; no
// newline) into `message`. Fields the record does not carry keep their values; a record
// that carries a format name reads back with Format -1; Status is not read. A bracketed
// body is the text up to the first "]"; a body in hexadecimal form is the bytes its digits
// encode. Returns null when the record was whole; otherwise a short description of the
// first damage found (owned by the program, static) — fields that could be read are set,
// damaged ones are left as they were.
// A line that carries none of a record's labels (an empty line, a stray line of text) is
// damaged too: sent as it is it would be an empty request.
const char* zvrParseRecord(const char* line, size_t length, Message& message);

// True when `length` characters of `line` (borrowed) hold at least one record label where
// a label may begin (at the start or after a blank).
bool zvrHasRecordField(const char* line, size_t length);

enum ZvrLineStatus { kLineEnd = 0, kLineWhole = 1, kLineTooLong = 2 };

// Reads the next line of `file` into `line` (newline removed). kLineEnd at end of file
// with nothing read; kLineTooLong when the line held more than `limit` characters: `line`
// keeps the first `limit` and the rest of the line is consumed, so it never becomes a line
// of its own.
ZvrLineStatus zvrReadLine(std::FILE* file, std::string& line, size_t limit);

#endif  // ZVR_MESSAGERECORD_H
