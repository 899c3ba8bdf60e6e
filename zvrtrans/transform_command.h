// The engine command buffer of a transform object: map name, input-card option, input
// bytes and output options in the one layout the engine reads.
//
//   <map name> -ie1s<input length> <input bytes><tail>
//
// where the tail is " <-options value>\0", " <dictionary options>\0" or " -oe1s\0", in
// that order of precedence. The buffer is kept between runs: it grows when a command needs
// more room than any earlier one, never shrinks, and is zero-filled up to the size of the
// current command before it is written, so nothing of an earlier, longer command survives
// behind the new tail.
#ifndef ZVR_TRANSFORM_COMMAND_H
#define ZVR_TRANSFORM_COMMAND_H

#include <cstddef>
#include <memory>
#include <string>

class TsiCommandBuffer {
 public:
  // The head (map name, " -ie1s", length, blank) is limited to the engine's 512-character
  // area; a longer one is refused, never cut (a cut head would misstate the input length).
  static constexpr std::size_t kMaxHead = 512;

  // Which tail build() chose.
  enum Tail { kNoTail = 0, kCommandLineOptions, kDictionaryOptions, kDefaultOptions };
  // Why build() refused a command (kNoTail).
  enum Refusal {
    kNotRefused = 0,
    kHeadTooLong,     // the head exceeds kMaxHead
    kUnreadableName,  // the engine would read another map name (and input length) back
    kNoMemory,
  };

  TsiCommandBuffer() = default;
  TsiCommandBuffer(const TsiCommandBuffer&) = delete;
  TsiCommandBuffer& operator=(const TsiCommandBuffer&) = delete;

  // Builds the command for `mapName` over `length` bytes of `input` (borrowed; may be null
  // only when length is 0). `options` is the -options value, `dictionaryOptions` what the
  // dictionary gave (either may be null or empty: then it does not apply). Returns the
  // tail chosen; kNoTail, leaving the earlier command in place, when refusal() gives a
  // reason: the head is too long (headLength() tells by how much), the map name would not
  // read back as itself, or memory runs out.
  //
  // The engine ends a bare map name at its first blank and a quoted one at the first
  // "' -ie1s"; a name that holds either inside (from a path, a map option or the format
  // name of a request) would make it read another name and take the rest of the name for
  // the input length, so such a name is refused rather than sent.
  Tail build(const char* mapName, const void* input, unsigned long length,
             const char* options, const char* dictionaryOptions);

  // The command bytes; owned by this object until the next build.
  const char* data() const { return buffer_.get(); }
  // Head + input + tail including its NUL: the bytes the engine is given.
  std::size_t length() const { return length_; }
  // Bytes allocated (0 before the first build).
  std::size_t capacity() const { return capacity_; }
  // Length of the head of the last build attempt (also of a refused one).
  std::size_t headLength() const { return headLength_; }
  // Why the last build attempt was refused; kNotRefused after one that was not.
  Refusal refusal() const { return refusal_; }

 private:
  bool _reserve(std::size_t size);
  // Writes head, input and tail (" <options>\0", or " -oe1s\0" for null options) into
  // the buffer, which has room; returns the bytes written.
  std::size_t _write(const std::string& head, const void* input, unsigned long length,
                     const char* options);

  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
  std::size_t headLength_ = 0;
  Refusal refusal_ = kNotRefused;
};

// True when the engine reads `mapName` back as itself from a command head: a bare name
// holds no blank; a quoted one ends at its first "' -ie1s" only when that is its own
// closing quote.
bool zvrMapNameReadsBack(const char* mapName);

#endif  // ZVR_TRANSFORM_COMMAND_H
