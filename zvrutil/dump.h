// Hex dumps and descriptor displays for operators, and two small string operations.
//
// A hex dump has one 68-character row per 16 bytes: a newline, the 8-digit offset, ":",
// four groups of four bytes in upper-case hex, and the bytes as characters ("." for those
// that do not print). Error objects carry such dumps as added data; request and response
// objects display themselves through displayQLXMSG.
#ifndef ZVR_DUMP_H
#define ZVR_DUMP_H

#include <ostream>
#include <string>

#include "qlx.h"

enum { kDumpRowWidth = 68, kDumpBytesPerRow = 16 };

// Renders `length` bytes of `data` (borrowed; may be null only when length is 0). Returns
// the text's length (rows x 68; 0 for no data); `out` gets a new text the caller frees
// with delete[].
int dumpHex(char*& out, const void* data, const unsigned long length);
// Writes the same text to `os`.
void dumpHex(std::ostream& os, const void* data, unsigned long length);
// The same text as a string.
std::string zvrDumpHex(const void* data, unsigned long length);

// Renders the descriptor's format name, message and correlation ids, message buffer and
// (when TagLength is not 0) tag buffer under `title`. A buffer whose address is null shows
// no data; at most the smaller of the length field and the buffer's own length is read.
// Returns the length; `out` gets a new text the caller frees with delete[].
int displayQLXMSG(char*& out, const QLXMSG& msg, const char* title);

// Upper-cases the ASCII letters of `s` in place; returns `s` (null stays null).
char* strToUpper(char* s);

// The first occurrence of `needle`'s characters within the first `length` bytes of
// `buffer`, or null. An empty needle matches at the start. Never reads past `length`.
const char* _substring(const void* buffer, unsigned length, const char* needle);

#endif  // ZVR_DUMP_H
