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
//
// Started by the engine with a serving channel (merc_map.h), the wrapper instead serves
// one run after another in this one process: each frame's input goes to zvrMapRun, card 1
// still through standard output (which the engine empties before each run), and the
// return code goes back as the answer. The section below tells the engine it may.
#include "merc_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Card 1 is written out in pieces of this size, so a large output streams to the engine
// while the map still works instead of piling up here.
constexpr std::size_t kCardFlush = 64 * 1024;
// The first read's room: a typical request fits, in a page or two of the heap.
constexpr std::size_t kFirstRead = 4096;

char gCard1Buffer[kCardFlush];

// The mark the engine looks for; `retain` keeps it through the linker's --gc-sections.
__attribute__((used, retain, section(ZVR_MAP_SERVE_SECTION))) const char gServeMark[] =
    "zvrMapRun served one run after another by maps/map_main.cc";

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

// What the engine's environment gives every run.
struct RunSetting {
  std::string options;
  std::string cardDir;
  const char* mapPath;
};

RunSetting _setting(const char* mapPath) {
  const char* options = std::getenv("MERC_OPTIONS");
  const char* cardDir = std::getenv("MERC_CARD_DIR");
  return {options != nullptr ? options : "", cardDir != nullptr ? cardDir : "", mapPath};
}

// One run of the map over `input`: card 1 flushed out, the exit status returned.
int _runOnce(const RunSetting& setting, const std::string& input) {
  std::clearerr(stdout);
  ChildOutput child{setting.cardDir, false};
  MapInput in{kZvrMapAbiVersion, setting.mapPath, input.data(), input.size(),
              setting.options.c_str()};
  MapOutput out{&child, _append, _message};
  int code = zvrMapRun(&in, &out);
  std::fflush(stderr);
  if (!_finishCard1(child)) {
    const char* why = "cannot write output card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  return code & 0xFF;
}

// The serving channel the engine named, or -1 for a run of its own. The variable is
// removed either way: the map sees the environment of a one-shot run.
int _servingChannel() {
  const char* named = std::getenv(kZvrMapServeVariable);
  if (named == nullptr) return -1;
  char* end = nullptr;
  const long fd = std::strtol(named, &end, 10);
  const bool number = end != named && *end == '\0' && fd > STDERR_FILENO && fd < 65536;
  unsetenv(kZvrMapServeVariable);
  struct stat st;
  if (!number || fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
  // Programs the map starts do not hold the channel open after it ends.
  fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

// Exactly `length` bytes; false at the end of the channel or on an error.
bool _readExactly(int fd, void* into, std::size_t length) {
  char* to = static_cast<char*>(into);
  while (length > 0) {
    ssize_t n = read(fd, to, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    to += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

uint64_t _loadLittleEndian(const unsigned char* from, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = value << 8 | from[i - 1];
  return value;
}

// Runs frame after frame until the engine closes the channel.
int _serve(int channel, const RunSetting& setting) {
  std::string input;
  unsigned char header[kZvrMapServeHeader];
  while (_readExactly(channel, header, sizeof header)) {
    const uint64_t length = _loadLittleEndian(header, sizeof header);
    if (length > input.max_size()) return 1;
    input.resize(static_cast<std::size_t>(length));
    if (!_readExactly(channel, input.data(), input.size())) return 1;
    const int code = _runOnce(setting, input);
    // The code is 0 to 255: its low byte first, the rest zero.
    const char answer[kZvrMapServeAnswer] = {static_cast<char>(code)};
    if (_writeAll(channel, answer, sizeof answer) != 0) return 1;
  }
  return 0;
}

}  // namespace

int main(int, char** argv) {
  std::setvbuf(stdout, gCard1Buffer, _IOFBF, sizeof gCard1Buffer);
  const int channel = _servingChannel();
  const RunSetting setting = _setting(argv[0]);
  if (channel >= 0) return _serve(channel, setting);
  std::string input;
  if (!_readAll(input)) {
    const char* why = "cannot read input card 1\n";
    _writeAll(STDERR_FILENO, why, std::strlen(why));
    return 1;
  }
  return _runOnce(setting, input);
}
