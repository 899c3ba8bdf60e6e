// Bodies of the marshalling fuzz targets in fuzz/ (each built as a libFuzzer program in a
// fuzz build, and as a plain test that replays its committed seed corpus in every build).
//
// Each body takes arbitrary bytes as engine output and aborts (__builtin_trap) when an
// invariant of the reader breaks; the sanitizers report any read past the input.
#ifndef ZVR_MARSHALL_FUZZ_H
#define ZVR_MARSHALL_FUZZ_H

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "erroradt.h"
#include "marshall.h"
#include "quorrequest.h"
#include "zvrlog.h"
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

// The marshaller of that request, made once: reading back and framing never change it.
inline const TsiMarshall& marshallFuzzMarshall() {
  static const TsiMarshall* marshall = new TsiMarshall(marshallFuzzRequest(), 1);
  return *marshall;
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

// With ZVRverbose set a failed read attaches a hex dump of the whole piece to its error.
// That path runs for inputs of odd length only: the dump costs more than the read, and an
// input whose frames all fail would spend nearly all its time in dumps.
inline void marshallFuzzVerbosity(size_t size) { ZVRverbose = static_cast<int>(size & 1); }

// Target "marshall_read_fuzz": the input is one transformed piece.
inline int marshallFuzzCreateResponse(const uint8_t* data, size_t size) {
  marshallFuzzVerbosity(size);
  const TsiMarshall& marshall = marshallFuzzMarshall();
  marshallFuzzReadPiece(marshall, reinterpret_cast<const char*>(data), size);
  zvrClearError();
  return 0;
}

// Target "marshall_frames_fuzz": the input is a whole engine output, split into frames as
// the broker component does, each frame read into a response.
inline int marshallFuzzSplitFrames(const uint8_t* data, size_t size) {
  marshallFuzzVerbosity(size);
  const TsiMarshall& marshall = marshallFuzzMarshall();
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

// The Routing section of a piece, either as raw bytes or as well-formed entries built
// from the input (see marshallFuzzRouting).
struct MarshallFuzzRoute {
  std::string action, service;  // empty: the field is left out
};

// "<Name>value</Name>" CR LF, or nothing for an empty value.
inline std::string marshallFuzzField(const char* name, const std::string& value) {
  if (value.empty()) return std::string();
  return std::string("<") + name + ">" + value + "</" + name + ">\r\n";
}

// What the list keeps of a value: its first 128 bytes, up to a NUL (the list holds texts).
inline std::string marshallFuzzKept(const std::string& value) {
  std::string cut = value.substr(0, 128);
  return cut.substr(0, cut.find('\0'));
}

// Well-formed entries read back exactly: values are the input's lines (so they hold no
// LF, and never a closing tag), taken two by two as action and service.
inline void marshallFuzzWellFormedRoutes(const TsiMarshall& marshall, const char* data,
                                         size_t size) {
  std::vector<MarshallFuzzRoute> routes(1);
  bool service = false;
  for (size_t at = 0, end; at <= size; at = end + 1) {
    end = std::min(size, static_cast<size_t>(std::find(data + at, data + size, '\n') - data));
    std::string value(data + at, end - at);
    if (service) routes.back().service = value;
    else routes.back().action = value;
    if (service && end < size) routes.emplace_back();
    service = !service;
  }
  std::string piece = "<Header>\r\n<Routing>\r\n";
  for (const MarshallFuzzRoute& route : routes)
    piece += "<Route>\r\n" + marshallFuzzField("Action", route.action) +
             marshallFuzzField("Service", route.service) + "</Route>\r\n";
  piece += "</Routing>\r\n</Header>\r\nbody";
  void* text = piece.data();
  unsigned long length = piece.size();
  ZvrRouteList list;
  std::unique_ptr<QuorResponse> response(marshall.createResponse(text, length, &list));
  if (!response || list.getCount() != routes.size()) __builtin_trap();
  char* gotService = nullptr;
  char* gotAction = nullptr;
  list.toHead();
  for (const MarshallFuzzRoute& route : routes) {
    if (!list.getAndNext(gotService, gotAction)) __builtin_trap();
    if (marshallFuzzKept(route.service) != gotService ||
        marshallFuzzKept(route.action) != gotAction)
      __builtin_trap();
  }
}

// Target "marshall_routing_fuzz": the first byte chooses the form. Even: the rest follows
// "<Header>" CR LF "<Routing>" CR LF as raw bytes and is read like any piece. Odd: the rest
// gives the values of well-formed entries, which must read back as written.
inline int marshallFuzzRouting(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  marshallFuzzVerbosity(size);
  const TsiMarshall& marshall = marshallFuzzMarshall();
  const char* rest = reinterpret_cast<const char*>(data + 1);
  if (data[0] & 1) {
    marshallFuzzWellFormedRoutes(marshall, rest, size - 1);
  } else {
    static const std::string kStart = "<Header>\r\n<Routing>\r\n";
    std::string piece = kStart + std::string(rest, size - 1);
    marshallFuzzReadPiece(marshall, piece.data(), piece.size());
  }
  zvrClearError();
  return 0;
}

}  // namespace zvr::fuzz

#endif  // ZVR_MARSHALL_FUZZ_H
