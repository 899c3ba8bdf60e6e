// Runs a sample map as a child of the stand-in engine: input card 1 from standard input,
// card 1 to standard output, cards 2, 3, ... as files in $MERC_CARD_DIR, the map's message
// to standard error, and its return code as the exit status.
//
// The process starts for every request, and each page it touches first costs a page
// fault, dear on a virtual machine; so the wrapper reads with plain system calls and keeps
// no large buffer on the stack. Card 1 goes through the standard output stream all the
// same, because a map may print to standard output itself (printf, std::cout): its text
// and its appends then share one buffer and reach the engine in the order the map made
// them. That buffer is static, zero-filled memory set before any output: no allocation,
// and its pages are touched only as the card fills them.
#include "merc_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Card 1 is written out in pieces of this size, so a large output streams to the engine
// while the map still works instead of piling up here.
constexpr std::size_t kCardFlush = 64 * 1024;
// The first read's room: a typical request fits, in a page or two of the heap.
constexpr std::size_t kFirstRead = 4096;

char gCard1Buffer[kCardFlush];

int _writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

struct ChildOutput {
  std::string cardDir;
  bool failed = false;  // a write of card 1 failed: the rest is not written either
};

int _writeCardFile(const std::string& path, const void* data, std::size_t length) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  bool ok = _writeAll(fd, static_cast<const char*>(data), length) == 0;
  ok = close(fd) == 0 && ok;
  return ok ? 0 : -1;
}

int _appendCard1(ChildOutput& child, const void* data, std::size_t length) {
  if (!child.failed && std::fwrite(data, 1, length, stdout) != length) child.failed = true;
  return child.failed ? -1 : 0;
}

// What the map printed and appended is all out; false when some of it could not be written.
bool _finishCard1(const ChildOutput& child) {
  return std::fflush(stdout) == 0 && !child.failed && !std::ferror(stdout);
}

int _append(MapOutput* out, unsigned card, const void* data, std::size_t length) {
  auto* child = static_cast<ChildOutput*>(out->context);
  if (card == 0 || card > kZvrMapMaxCards || (data == nullptr && length != 0)) return -1;
  if (card == 1) return length == 0 ? 0 : _appendCard1(*child, data, length);
  // Even an empty append makes its card: the run has as many cards as the highest written.
  if (child->cardDir.empty()) return -1;
  return _writeCardFile(child->cardDir + "/card" + std::to_string(card), data, length);
}

void _message(MapOutput*, const char* text) {
  if (text != nullptr) _writeAll(STDERR_FILENO, text, std::strlen(text));
}

// All of standard input; false when it cannot be read.
bool _readAll(std::string& data) {
  std::size_t used = 0;
  data.resize(kFirstRead);
  while (true) {
    if (used == data.size()) data.resize(data.size() * 2);
    ssize_t n = read(STDIN_FILENO, data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  data.resize(used);
  return true;
}

}  // namespace

int main(int, char** argv) {
  std::setvbuf(stdout, gCard1Buffer, _IOFBF, sizeof gCard1Buffer);
  std::string input;
  if (!_readAll(input)) {
    const char* why = "cannot read input card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  const char* options = std::getenv("MERC_OPTIONS");
  const char* cardDir = std::getenv("MERC_CARD_DIR");
  ChildOutput child{cardDir != nullptr ? cardDir : "", false};
  MapInput in{kZvrMapAbiVersion, argv[0], input.data(), input.size(),
              options != nullptr ? options : ""};
  MapOutput out{&child, _append, _message};
  int code = zvrMapRun(&in, &out);
  if (!_finishCard1(child)) {
    const char* why = "cannot write output card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  return code & 0xFF;
}
