// Bodies of the marshalling fuzz targets, shared by the libFuzzer programs in fuzz/ and by
// the plain test that replays their committed seed corpora (marshall_corpus_test.cc).
//
// Each body takes arbitrary bytes as engine output and aborts (__builtin_trap) when an
// invariant of the reader breaks; the sanitizers report any read past the input.
#ifndef ZVR_MARSHALL_FUZZ_H
#define ZVR_MARSHALL_FUZZ_H

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "erroradt.h"
#include "marshall.h"
#include "quorrequest.h"
#include "zvrroute.h"

namespace zvr::fuzz {

// For a fuzzer's LLVMFuzzerInitialize: a broker home of its own, so the request's theme
// query touches nothing shared; removed when the fuzzer exits.
inline int marshallFuzzUseOwnHome() {
  static std::string home = "/tmp/zvr-fuzz-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) return 0;
  setenv("QLX_HOME", home.c_str(), 1);
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  });
  return 0;
}

// One request for the whole run (its tag lets a response share it).
inline const QuorRequest& marshallFuzzRequest() {
  static const char body[] = "request body";
  static const char tag[] = "request tag";
  static const QuorRequest* request = [] {
    QLXMSG msg = kQlxMsgDefault;
    std::memcpy(msg.MsgId, "fuzz-message-id-24-bytes", 24);
    std::memcpy(msg.CorrelId, "fuzz-correl-id--24-bytes", 24);
    msg.MsgLength = sizeof body - 1;
    msg.MsgBuffer = {0, msg.MsgLength, const_cast<char*>(body)};
    msg.TagLength = sizeof tag - 1;
    msg.TagBuffer = {0, msg.TagLength, const_cast<char*>(tag)};
    return new QuorRequest(0, &msg, 1, kQlxGetOptDefault);
  }();
  return *request;
}

inline bool withinPiece(const void* data, uint32_t length, const char* piece, size_t size) {
  const char* p = static_cast<const char*>(data);
  return length == 0 || (p >= piece && length <= size &&
                         static_cast<size_t>(p - piece) <= size - length);
}

// Reads one piece into a response and checks that body, tag and routes are sane.
inline void marshallFuzzReadPiece(const TsiMarshall& marshall, const char* piece, size_t size) {
  void* data = const_cast<char*>(piece);
  unsigned long length = size;
  ZvrRouteList routes;
  std::unique_ptr<QuorResponse> response(marshall.createResponse(data, length, &routes));
  if (data != piece || length != size) __builtin_trap();
  if (!response) return;
  const QLXMSG& msg = response->descriptor();
  if (!withinPiece(msg.MsgBuffer.Data, msg.MsgLength, piece, size)) __builtin_trap();
  const QLXMSG& request = marshallFuzzRequest().descriptor();
  if (msg.TagBuffer.Data != request.TagBuffer.Data &&
      !withinPiece(msg.TagBuffer.Data, msg.TagLength, piece, size))
    __builtin_trap();
  char* service = nullptr;
  char* action = nullptr;
  for (routes.toHead(); routes.getAndNext(service, action);)
    if (std::strlen(service) > 128 || std::strlen(action) > 128) __builtin_trap();
}

// Target "marshall_read_fuzz": the input is one transformed piece.
inline int marshallFuzzCreateResponse(const uint8_t* data, size_t size) {
  TsiMarshall marshall(marshallFuzzRequest(), 1);
  marshallFuzzReadPiece(marshall, reinterpret_cast<const char*>(data), size);
  zvrClearError();
  return 0;
}

// Target "marshall_frames_fuzz": the input is a whole engine output, split into frames as
// the broker component does, each frame read into a response.
inline int marshallFuzzSplitFrames(const uint8_t* data, size_t size) {
  TsiMarshall marshall(marshallFuzzRequest(), 1);
  const char* text = reinterpret_cast<const char*>(data);
  const char* end = text + size;
  while (text != end) {
    void* frame = const_cast<char*>(text);
    unsigned long length = end - text;
    unsigned error = 0;
    unsigned long taken = marshall.splitMultiBuffer(frame, length, error);
    if (taken == 0 || taken > static_cast<size_t>(end - text)) __builtin_trap();
    if (frame != text + taken || length > static_cast<size_t>(end - text) - taken)
      __builtin_trap();
    if (error) break;
    if (length != 0) marshallFuzzReadPiece(marshall, static_cast<const char*>(frame), length);
    text += taken + length;
  }
  zvrClearError();
  return 0;
}

}  // namespace zvr::fuzz

#endif  // ZVR_MARSHALL_FUZZ_H
