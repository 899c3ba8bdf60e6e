// libFuzzer target: the dictionary values and map options that choose a map, and the engine
// command a transform object builds from them (transform(), end to end).
//
// Input: one byte of switches, then lines: format name, destination, dictionary value,
// -path, -map, -prefix, -options; everything after the seventh line is the marshalled
// input. Switches: bits 0-1 the variant (0, 1 destination with the in-memory cache,
// 2 simple, 3 fixed), bit 2 ZVRverbose, bit 3 ZVRdebug, bits 4-6 the engine's return code,
// bit 7 the display of the transform object afterwards.
//
// The engine and the middleware log are replaced in this program by in-process stand-ins
// (the symbols below take precedence over the platform libraries'): RunMap reads the
// command as the engine does and checks it, and qlxWriteLog discards the line. So an input
// costs no process, file or broker work.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalog.h"
#include "erroradt.h"
#include "merc.h"
#include "qlx.h"
#include "transform.h"
#include "zvrhash.h"
#include "zvrlog.h"

namespace {

struct Case {
  std::string formatName, destination, value, path, map, prefix, options;
  std::string_view input;
};

// What the stand-in engine read and handed back, for the checks after transform().
struct EngineRun {
  bool ran = false;
  bool readable = false;  // the command had the layout the engine reads
  std::string map;        // the map name, quotes removed
  std::string_view input;
  std::string tail;       // the options after the input, up to the NUL
  void* output = nullptr;
  uint32_t outputLength = 0;
  int32_t code = 0;
};

EngineRun engine;
const TsiTransform* running = nullptr;  // the transform object whose command RunMap gets
int32_t nextReturnCode = 0;
zvrhash* cache = nullptr;

zvrhash* currentCache() { return cache; }

void check(bool holds) {
  if (!holds) __builtin_trap();
}

bool isWarningOrSuccess(int32_t code) { return code == 0 || code == 14 || code == 18 || code == 21; }

Case parse(const char* data, size_t size) {
  Case c;
  std::string* lines[] = {&c.formatName, &c.destination, &c.value, &c.path,
                          &c.map,        &c.prefix,      &c.options};
  size_t at = 0;
  for (std::string* line : lines) {
    const void* found = at < size ? std::memchr(data + at, '\n', size - at) : nullptr;
    size_t end = found ? static_cast<const char*>(found) - data : size;
    // Texts reach the transform object as C strings: they end at a NUL.
    std::string text(data + at, end - at);
    *line = text.substr(0, text.find('\0'));
    at = end < size ? end + 1 : size;
  }
  c.input = std::string_view(data + at, size - at);
  return c;
}

// Reads the command of `size` bytes as the engine does: a map name, bare up to the first
// blank or quoted up to the first "' -ie1s"; " -ie1s", the input length in decimal and one
// blank; that many input bytes; the options up to the NUL that ends the command. False
// when the layout is not there.
bool readCommand(std::string_view command, EngineRun& run) {
  size_t next = 0;
  if (!command.empty() && command[0] == '\'') {
    size_t close = command.find("' -ie1s", 1);
    if (close == std::string_view::npos) return false;
    run.map = std::string(command.substr(1, close - 1));
    next = close + 7;
  } else {
    size_t blank = command.find(' ');
    if (blank == std::string_view::npos || command.compare(blank, 6, " -ie1s") != 0) return false;
    run.map = std::string(command.substr(0, blank));
    next = blank + 6;
  }
  size_t digits = command.find_first_not_of("0123456789", next);
  if (digits == next || digits == std::string_view::npos || command[digits] != ' ') return false;
  size_t length = 0;
  for (size_t at = next; at < digits; ++at) {
    length = length * 10 + (command[at] - '0');
    if (length > command.size()) return false;  // more than there is
  }
  size_t input = digits + 1;
  if (length > command.size() - input) return false;
  run.input = command.substr(input, length);
  std::string_view tail = command.substr(input + length);
  if (tail.empty() || tail.back() != '\0') return false;
  tail.remove_suffix(1);
  if (tail.find('\0') != std::string_view::npos) return false;
  run.tail = std::string(tail);
  return true;
}

// The map name as the engine would read it back: quotes removed.
std::string unquoted(const std::string& map) {
  if (map.size() >= 2 && map.front() == '\'' && map.back() == '\'') return map.substr(1, map.size() - 2);
  return map;
}

std::unique_ptr<TsiTransform> makeTransform(const Case& c, int variant) {
  const char* args[] = {c.path.c_str(), c.map.c_str(), c.prefix.c_str(), c.options.c_str(), ""};
  switch (variant) {
    case 2:
      return std::make_unique<TsiSimpleTransform>(args[0], args[1], args[2], args[3], args[4],
                                                  0, nullptr);
    case 3:
      return std::make_unique<TsiFixedTransform>(args[0], args[1], args[2], args[3], args[4], 0,
                                                 nullptr);
    default:
      return std::make_unique<TsiDestinationTransform>(args[0], args[1], args[2], args[3],
                                                       args[4], 1, nullptr);
  }
}

// The map and tail the command must carry, worked out from the case; false when no map
// can be chosen (no dictionary entry, or no map in it).
bool expected(const Case& c, int variant, const TsiTransform& transform, std::string& map,
              std::string& tail) {
  std::string dictionaryOptions;
  if (variant < 2) {
    const char* value = cache->FindEntry((c.formatName + " " + c.destination).c_str());
    if (value == nullptr) return false;
    TsiMapEntry entry = zvrSplitMapEntry(value);
    if (!entry.hasMap) return false;
    map = entry.map;
    if (entry.hasOptions) dictionaryOptions = entry.options;
  } else {
    std::unique_ptr<char[]> composed(transform.inFormatName(c.formatName.c_str(), nullptr));
    map = composed.get();
  }
  if (!c.options.empty())
    tail = " " + c.options;
  else if (!dictionaryOptions.empty())
    tail = " " + dictionaryOptions;
  else
    tail = " -oe1s";
  return true;
}

void checkResult(int done, const Case& c, int variant, const TsiTransform& transform,
                 void* output, unsigned long length) {
  std::string map, tail;
  bool chosen = expected(c, variant, transform, map, tail);
  std::string head = map + " -ie1s" + std::to_string(c.input.size()) + " ";
  // Would the engine read this head back as written? Else the command must not be sent.
  EngineRun probe;
  std::string whole = head + std::string(c.input) + tail + '\0';
  bool readsBack = readCommand(whole, probe) && probe.map == unquoted(map) &&
                   probe.input.size() == c.input.size();
  if (!chosen || head.size() > 512 || !readsBack) {
    // No map, a head too long for the engine's area, or one it would misread: nothing ran.
    check(!engine.ran && !done && length == 0 && ZVRerror != nullptr);
    check(std::strcmp(ZVRerror->id(), ZVRID_T0003) == 0);
    return;
  }
  check(engine.ran);
  // The engine reads back exactly what was chosen: the same map, the input whole, the tail.
  check(engine.readable && engine.map == unquoted(map) && engine.tail == tail);
  check(engine.input == c.input);
  bool failed = !isWarningOrSuccess(engine.code);
  check(done == (failed ? 0 : 1));
  if (failed) {
    check(length == 0 && ZVRerror != nullptr && std::strcmp(ZVRerror->id(), ZVRID_T0002) == 0);
  } else {
    check(output == engine.output && length == engine.outputLength);
  }
}

}  // namespace

// The stand-in engine of this program.
extern "C" int RunMap(ExitParams* params) {
  check(params != nullptr && params->lpDataToApp != nullptr && params->lpDataFromApp == nullptr);
  engine.ran = true;
  // The engine finds the end of the command by reading it; the program knows its length.
  const TsiCommandBuffer& command = running->command();
  check(params->lpDataToApp == command.data());
  engine.readable = readCommand(std::string_view(command.data(), command.length()), engine);
  engine.code = params->nReturn = nextReturnCode;
  // An engine message that fills its field without a terminator.
  std::memset(params->Errmsg, 'E', sizeof params->Errmsg);
  if (isWarningOrSuccess(engine.code)) {
    engine.outputLength = static_cast<uint32_t>(engine.input.size());
    engine.output = std::malloc(engine.input.size() + 1);
    if (!engine.input.empty()) std::memcpy(engine.output, engine.input.data(), engine.input.size());
    params->lpDataFromApp = engine.output;
    params->dwFromLen = engine.outputLength;
  }
  return params->nReturn;
}

extern "C" int qlxWriteLog(const QLXLOG*) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const int32_t kReturnCodes[] = {0, 14, 18, 21, 8, -1, 12, 0};
  const int variant = data[0] & 3;
  ZVRverbose = (data[0] >> 2) & 1;
  ZVRdebug = (data[0] >> 3) & 1;
  nextReturnCode = kReturnCodes[(data[0] >> 4) & 7];
  Case c = parse(reinterpret_cast<const char*>(data + 1), size - 1);

  std::unique_ptr<zvrhash> table;
  if (variant < 2) {
    table = std::make_unique<zvrhash>(7);
    table->AddEntry((c.formatName + " " + c.destination).c_str(), c.value.c_str());
  }
  cache = table.get();
  TsiDestinationTransform::getHashObject = currentCache;
  engine = EngineRun{};

  std::unique_ptr<TsiTransform> transform = makeTransform(c, variant);
  running = transform.get();
  void* output = nullptr;
  unsigned long length = 99;
  int done = transform->transform(c.destination.c_str(), c.formatName.c_str(),
                                  c.destination.c_str(), c.input.data(), c.input.size(), output,
                                  length);
  checkResult(done, c, variant, *transform, output, length);
  if (data[0] & 0x80) {
    char* text = nullptr;
    int shown = transform->display(text);
    check(shown >= 0 && text != nullptr && std::strlen(text) == static_cast<size_t>(shown));
    delete[] text;
  }
  zvrClearError();
  cache = nullptr;
  running = nullptr;
  return 0;
}
