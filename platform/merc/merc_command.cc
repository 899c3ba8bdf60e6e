// Reading the command buffer the transform objects build:
//   name " -ie1s" length " " input-bytes tail NUL
// where the name is bare (ends at the first blank) or enclosed in single quotes (may hold
// blanks), and the tail is empty or a blank followed by options.
#include "merc_engine.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace merc {
namespace {

constexpr std::string_view kInputOption = " -ie1s";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  }
  return true;
}

// Splits the head into the map name and the rest after " -ie1s". A quoted name ends at
// the first "' -ie1s", so a quote inside a path does not cut it short.
int _splitName(std::string_view head, std::string& name, std::size_t& next,
               std::string& error) {
  std::size_t end;
  if (!head.empty() && head[0] == '\'') {
    end = head.find("'" + std::string(kInputOption), 1);
    if (end == std::string_view::npos) {
      error = "command buffer: quoted map name not closed by \"' -ie1s\"";
      return 0;
    }
    name.assign(head.substr(1, end - 1));
    next = end + 1 + kInputOption.size();
  } else {
    end = head.find(' ');
    if (end == std::string_view::npos || head.substr(end, kInputOption.size()) != kInputOption) {
      error = "command buffer: map name not followed by \" -ie1s\"";
      return 0;
    }
    name.assign(head.substr(0, end));
    next = end + kInputOption.size();
  }
  if (name.empty()) {
    error = "command buffer: empty map name";
    return 0;
  }
  return 1;
}

// Reads the decimal input length at `pos` and the one blank after it.
int _readLength(std::string_view head, std::size_t& pos, std::size_t& length,
                std::string& error) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  while (pos < head.size() && head[pos] >= '0' && head[pos] <= '9') {
    value = value * 10 + static_cast<unsigned>(head[pos] - '0');
    if (value > UINT32_MAX) {
      error = "command buffer: input length after -ie1s too large";
      return 0;
    }
    ++pos;
    ++digits;
  }
  if (digits == 0) {
    error = "command buffer: no input length after -ie1s";
    return 0;
  }
  if (pos >= head.size() || head[pos] != ' ') {
    error = "command buffer: input length after -ie1s not followed by one blank";
    return 0;
  }
  ++pos;
  length = static_cast<std::size_t>(value);
  return 1;
}

// Reads one "-oe<n>[s]" word.
int _readOutputOption(std::string_view word, OutputCards& wanted, std::string& error) {
  std::string_view rest = word.substr(3);
  bool framed = !rest.empty() && (rest.back() == 's' || rest.back() == 'S');
  if (framed) rest.remove_suffix(1);
  unsigned card = 0;
  for (char c : rest) {
    if (c < '0' || c > '9' || card > 100000) {
      card = 0;
      break;
    }
    card = card * 10 + static_cast<unsigned>(c - '0');
  }
  if (rest.empty() || card == 0) {
    error = "command buffer: bad output option \"" + std::string(word) +
            "\" (expected -oe<card>[s] with card 1 or more)";
    return 0;
  }
  wanted.firstCard = card;
  wanted.framed = framed;
  return 1;
}

// The longest time limit accepted: a day.
constexpr int64_t kMaxTimeLimitMs = 24LL * 3600 * 1000;

// Reads "<digits>" as milliseconds of a time limit (1 to a day). 1 with `limit` set.
int _readMillis(std::string_view digits, int64_t& limit) {
  if (digits.empty() || digits.size() > 9) return 0;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxTimeLimitMs) return 0;
  limit = value;
  return 1;
}

// "-tl<milliseconds>". A word "-tl" followed by anything but a digit is left to the map.
int _readTimeLimitOption(std::string_view word, int64_t& limit, std::string& error) {
  if (_readMillis(word.substr(3), limit)) return 1;
  error = "command buffer: bad time limit option \"" + std::string(word) +
          "\" (expected -tl<milliseconds> from 1 to " + std::to_string(kMaxTimeLimitMs) + ")";
  return 0;
}

bool _isTimeLimitOption(std::string_view word) {
  return word.size() > 3 && equalsNoCase(word.substr(0, 3), "-tl") && word[3] >= '0' &&
         word[3] <= '9';
}

}  // namespace

int mercDefaultTimeLimit(int64_t& limit, std::string& error) {
  limit = 0;
  const char* text = std::getenv("MERC_MAP_TIMEOUT");
  if (text == nullptr || *text == '\0') return 1;
  if (_readMillis(text, limit)) return 1;
  error = "MERC_MAP_TIMEOUT=\"" + std::string(text).substr(0, 64) +
          "\" is not a time limit in milliseconds from 1 to " + std::to_string(kMaxTimeLimitMs);
  return 0;
}

bool mercIsWarning(int32_t code) { return code == 14 || code == 18 || code == 21; }

int mercParseOptions(const char* tail, MercCommand& command, std::string& error) {
  std::string_view rest(tail);
  while (!rest.empty()) {
    std::size_t start = 0;
    while (start < rest.size() && isBlank(rest[start])) ++start;
    std::size_t end = start;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    std::string_view word = rest.substr(start, end - start);
    rest.remove_prefix(end);
    if (word.empty()) break;
    if (word.size() >= 3 && equalsNoCase(word.substr(0, 3), "-oe")) {
      if (!_readOutputOption(word, command.output, error)) return 0;
      continue;
    }
    if (_isTimeLimitOption(word)) {
      if (!_readTimeLimitOption(word, command.timeLimitMs, error)) return 0;
      continue;
    }
    if (!command.passOptions.empty()) command.passOptions += ' ';
    command.passOptions.append(word);
  }
  return 1;
}

int mercParseCommand(const char* buffer, MercCommand& command, std::string& error) {
  if (buffer == nullptr) {
    error = "command buffer: no command buffer (lpDataToApp is null)";
    return 0;
  }
  // The head holds no NUL, so the first NUL (or the cap) bounds every read of it; the
  // input may begin with a NUL, which is why the head is parsed within this view only.
  std::string_view head(buffer, strnlen(buffer, kMaxHead + 1));
  std::size_t pos = 0;
  if (!_splitName(head, command.mapName, pos, error) ||
      !_readLength(head, pos, command.inputLength, error) || pos > kMaxHead) {
    if (head.size() > kMaxHead) {
      error = "command buffer: command head longer than " + std::to_string(kMaxHead) +
              " bytes";
    }
    return 0;
  }
  command.input = reinterpret_cast<const unsigned char*>(buffer + pos);
  const char* tail = buffer + pos + command.inputLength;
  if (*tail != '\0' && !isBlank(*tail)) {
    error = "command buffer: no blank after the " + std::to_string(command.inputLength) +
            " input bytes (input length does not match the input)";
    return 0;
  }
  return mercParseOptions(tail, command, error);
}

}  // namespace merc
