// Body of the message-file fuzz target, shared by the libFuzzer program in fuzz/ and by
// the plain test that replays its committed seed corpus (messagefile_corpus_test.cc).
//
// The input is a whole message file. Each record is read into one message, as the test
// client does, and must leave the message's lengths within the data it holds; a record
// read without damage must then survive a round trip through the writer in hexadecimal
// form unchanged. A broken invariant aborts (__builtin_trap); the sanitizers report any
// read past the input.
#ifndef ZVR_MESSAGEFILE_FUZZ_H
#define ZVR_MESSAGEFILE_FUZZ_H

#include <stdio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "message.h"
#include "messagerecord.h"

namespace zvr::fuzz {

// True when the message's lengths stay within the copies it holds.
inline bool messageFuzzLengthsHeld(const Message& m) {
  const QLXMSG& d = m.descriptor();
  if (d.MsgLength && (d.MsgBuffer.Data == nullptr || d.MsgLength > d.MsgBuffer.Length))
    return false;
  if (d.TagLength && (d.TagBuffer.Data == nullptr || d.TagLength > d.TagBuffer.Length))
    return false;
  return std::strlen(m.FormatName()) <= kQlxFormatNameLength;
}

inline bool messageFuzzSame(const Message& a, const Message& b) {
  const QLXMSG& x = a.descriptor();
  const QLXMSG& y = b.descriptor();
  // Format is left out: the writer always names the format, which reads back as -1.
  return a.Signature() == b.Signature() && x.Version == y.Version && x.MsgType == y.MsgType &&
         x.Priority == y.Priority && x.Persistence == y.Persistence &&
         x.Feedback == y.Feedback && x.Expiry == y.Expiry && x.Encoding == y.Encoding &&
         std::memcmp(x.MsgId, y.MsgId, sizeof x.MsgId) == 0 &&
         std::memcmp(x.CorrelId, y.CorrelId, sizeof x.CorrelId) == 0 &&
         std::strcmp(a.FormatName(), b.FormatName()) == 0 && x.MsgLength == y.MsgLength &&
         x.TagLength == y.TagLength &&
         (x.MsgLength == 0 || std::memcmp(a.MsgBuffer(), b.MsgBuffer(), x.MsgLength) == 0) &&
         (x.TagLength == 0 || std::memcmp(a.TagBuffer(), b.TagBuffer(), x.TagLength) == 0);
}

inline void messageFuzzRecord(const std::string& line, Message& m) {
  const char* fault = zvrParseRecord(line.data(), line.size(), m);
  if (!messageFuzzLengthsHeld(m)) __builtin_trap();
  if (fault) return;
  std::string record = zvrFormatRecord(m, 1, 1);
  if (record.empty() || record.back() != '\n') __builtin_trap();
  Message back;
  if (zvrParseRecord(record.data(), record.size() - 1, back) != nullptr) __builtin_trap();
  if (!messageFuzzSame(m, back)) __builtin_trap();
}

// Target "messagefile_fuzz": the input is a whole message file.
inline int messageFuzzReadFile(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) return 0;
  std::string line;
  MessageFileSettings settings;
  if (zvrReadLine(file, line, kHeaderLineLimit) != kLineEnd)
    zvrParseHeader(line.data(), line.size(), settings);
  Message message;
  for (ZvrLineStatus status; (status = zvrReadLine(file, line, kRecordTextLimit)) != kLineEnd;) {
    if (line.size() > kRecordTextLimit) __builtin_trap();
    if (status == kLineTooLong || (!line.empty() && line[0] == '#')) continue;
    messageFuzzRecord(line, message);
  }
  fclose(file);
  return 0;
}

}  // namespace zvr::fuzz

#endif  // ZVR_MESSAGEFILE_FUZZ_H
