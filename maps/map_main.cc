// Runs a sample map as a child of the stand-in engine: input card 1 from standard input,
// card 1 to standard output, cards 2, 3, ... as files in $MERC_CARD_DIR, the map's message
// to standard error, and its return code as the exit status.
//
// The process starts for every request, and each page it touches first costs a page
// fault, dear on a virtual machine; so the wrapper talks to its descriptors with plain
// system calls: no stdio streams (each allocates a buffer on first use) and no large
// buffer on the stack (a new stack page far below the rest).
#include "merc_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Card 1 is written out in pieces of about this size, so a large output streams to the
// engine while the map still works instead of piling up here.
constexpr std::size_t kCardFlush = 64 * 1024;
// The first read's room: a typical request fits, in a page or two of the heap.
constexpr std::size_t kFirstRead = 4096;

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
  std::string card1;  // not yet written to standard output
  bool failed = false;  // a write of card 1 failed: the rest is not written either
};

int _flushCard1(ChildOutput& child) {
  if (!child.failed && _writeAll(STDOUT_FILENO, child.card1.data(), child.card1.size()) != 0) {
    child.failed = true;
  }
  child.card1.clear();
  return child.failed ? -1 : 0;
}

int _writeCardFile(const std::string& path, const void* data, std::size_t length) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  bool ok = _writeAll(fd, static_cast<const char*>(data), length) == 0;
  ok = close(fd) == 0 && ok;
  return ok ? 0 : -1;
}

int _appendCard1(ChildOutput& child, const void* data, std::size_t length) {
  if (child.failed) return -1;
  try {
    child.card1.append(static_cast<const char*>(data), length);
  } catch (const std::exception&) {
    return -1;
  }
  return child.card1.size() >= kCardFlush ? _flushCard1(child) : 0;
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
  std::string input;
  if (!_readAll(input)) {
    const char* why = "cannot read input card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  const char* options = std::getenv("MERC_OPTIONS");
  const char* cardDir = std::getenv("MERC_CARD_DIR");
  ChildOutput child{cardDir != nullptr ? cardDir : "", {}, false};
  MapInput in{kZvrMapAbiVersion, argv[0], input.data(), input.size(),
              options != nullptr ? options : ""};
  MapOutput out{&child, _append, _message};
  int code = zvrMapRun(&in, &out);
  if (_flushCard1(child) != 0) {
    const char* why = "cannot write output card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  return code & 0xFF;
}
