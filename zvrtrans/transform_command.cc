#include "transform_command.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "text.h"
#include "trc.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

constexpr char kDefaultTail[] = " -oe1s";  // sizeof counts its NUL: 7 bytes

bool _given(const char* text) {
  trc::Scope trace(kTrace);
  return trace.result(text != nullptr && text[0] != '\0');
}

}  // namespace

TsiCommandBuffer::Tail TsiCommandBuffer::build(const char* mapName, const void* input,
                                               unsigned long length, const char* options,
                                               const char* dictionaryOptions) {
  trc::Scope trace(kTrace);
  assert(mapName != nullptr && (input != nullptr || length == 0));
  std::string head = zvrFormat("%s -ie1s%ld ", mapName, static_cast<long>(length));
  headLength_ = head.size();
  refusal_ = kHeadTooLong;
  if (head.size() > kMaxHead) return trace.result(kNoTail);
  refusal_ = kUnreadableName;
  if (!zvrMapNameReadsBack(mapName)) return trace.result(kNoTail);
  refusal_ = kNoMemory;

  const std::size_t optionsLength = _given(options) ? std::strlen(options) : 0;
  const std::size_t dictionaryLength =
      _given(dictionaryOptions) ? std::strlen(dictionaryOptions) : 0;
  // Room for the longest tail: a blank, either options text and a NUL, or " -oe1s" and
  // its NUL (7 bytes) when neither is given.
  const std::size_t fixed = head.size() + sizeof kDefaultTail + optionsLength + dictionaryLength;
  if (length > SIZE_MAX - fixed) return trace.result(kNoTail);
  const std::size_t size = fixed + length;
  if (!_reserve(size)) return trace.result(kNoTail);
  refusal_ = kNotRefused;
  // Zero the earlier command too where it was longer: no byte of an earlier message may
  // linger behind the new tail (displays dump the whole buffer).
  std::memset(buffer_.get(), 0, std::max(size, length_));

  Tail tail = kDefaultOptions;
  if (optionsLength != 0)
    tail = kCommandLineOptions;
  else if (dictionaryLength != 0)
    tail = kDictionaryOptions;
  const char* text = tail == kCommandLineOptions   ? options
                     : tail == kDictionaryOptions ? dictionaryOptions
                                                  : nullptr;
  length_ = _write(head, input, length, text);
  assert(length_ <= size);
  return trace.result(tail);
}

std::size_t TsiCommandBuffer::_write(const std::string& head, const void* input,
                                     unsigned long length, const char* options) {
  trc::Scope trace(kTrace);
  char* at = buffer_.get();
  std::memcpy(at, head.data(), head.size());
  at += head.size();
  if (length != 0) std::memcpy(at, input, length);
  at += length;
  if (options != nullptr) {
    *at++ = ' ';
  } else {
    options = kDefaultTail;
  }
  const std::size_t optionsLength = std::strlen(options);
  std::memcpy(at, options, optionsLength + 1);  // with its NUL
  at += optionsLength + 1;
  return trace.result(static_cast<std::size_t>(at - buffer_.get()));
}

bool zvrMapNameReadsBack(const char* mapName) {
  trc::Scope trace(kTrace);
  std::string_view name(mapName);
  if (name.empty() || name[0] != '\'') return trace.result(name.find(' ') == std::string_view::npos);
  // The head goes on with " -ie1s" after the name: its closing quote is found first only
  // when no "' -ie1s" comes before it.
  std::string head = std::string(name) + " -ie1s";
  return trace.result(name.size() >= 2 && head.find("' -ie1s", 1) == name.size() - 1);
}

bool TsiCommandBuffer::_reserve(std::size_t size) {
  trc::Scope trace(kTrace);
  if (size <= capacity_) return trace.result(true);
  std::unique_ptr<char[]> larger(new (std::nothrow) char[size]);
  if (!larger) return trace.result(false);
  buffer_ = std::move(larger);
  capacity_ = size;
  length_ = 0;
  return trace.result(true);
}
