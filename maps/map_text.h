// Small helpers the sample maps share: where the body of a marshalled request begins,
// where its header ends, and reading the map's options.
//
// A marshalled request is either the body alone or "<Header>" CR LF, the descriptor
// fields one per line, "</Header>" CR LF, then the body bytes. The helpers look for the
// first "</Header>" line; a request whose raw ids or tag happen to hold that line is
// beyond what these sample maps handle.
#ifndef ZVR_MAPS_MAP_TEXT_H
#define ZVR_MAPS_MAP_TEXT_H

#include "merc_map.h"

#include <cstring>
#include <string>
#include <string_view>

namespace maps {

inline constexpr std::string_view kHeaderBegin = "<Header>\r\n";
inline constexpr std::string_view kHeaderEnd = "</Header>\r\n";

inline std::string_view inputText(const MapInput* input) {
  return {static_cast<const char*>(input->data), input->length};
}

// Offset of the "</Header>" line, or npos when the text has no header.
inline std::size_t headerEnd(std::string_view text) {
  // The begin line must be followed by at least one byte to open a header.
  if (text.size() <= kHeaderBegin.size() || text.substr(0, kHeaderBegin.size()) != kHeaderBegin) {
    return std::string_view::npos;
  }
  return text.find(kHeaderEnd, kHeaderBegin.size());
}

// Offset of the first body byte: after the header, or 0 without one.
inline std::size_t bodyStart(std::string_view text) {
  std::size_t end = headerEnd(text);
  return end == std::string_view::npos ? 0 : end + kHeaderEnd.size();
}

// The word after `name` in the blank-separated options, or `fallback`.
inline std::string optionValue(const char* options, std::string_view name,
                               const std::string& fallback) {
  std::string_view rest(options != nullptr ? options : "");
  bool wanted = false;
  while (!rest.empty()) {
    std::size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    std::size_t end = rest.find_first_of(" \t", start);
    std::string_view word = rest.substr(start, end == std::string_view::npos ? end : end - start);
    if (wanted) return std::string(word);
    wanted = word == name;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  return fallback;
}

// Upper-cases the ASCII letters of `text` from `from` on.
inline void upperFrom(std::string& text, std::size_t from) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
}

inline int appendText(MapOutput* output, unsigned card, std::string_view text) {
  return output->append(output, card, text.data(), text.size());
}

}  // namespace maps

#endif  // ZVR_MAPS_MAP_TEXT_H
