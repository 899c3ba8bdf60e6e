// Runs a sample map as a child of the stand-in engine: input card 1 from standard input,
// card 1 to standard output, cards 2, 3, ... as files in $MERC_CARD_DIR, the map's message
// to standard error, and its return code as the exit status.
#include "merc_map.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct ChildOutput {
  std::string cardDir;
};

int _writeCardFile(const std::string& path, const void* data, std::size_t length) {
  FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return -1;
  bool ok = length == 0 || std::fwrite(data, 1, length, file) == length;
  ok = std::fclose(file) == 0 && ok;
  return ok ? 0 : -1;
}

int _append(MapOutput* out, unsigned card, const void* data, std::size_t length) {
  auto* child = static_cast<ChildOutput*>(out->context);
  if (card == 0 || card > kZvrMapMaxCards || (data == nullptr && length != 0)) return -1;
  if (card == 1) return length == 0 || std::fwrite(data, 1, length, stdout) == length ? 0 : -1;
  if (child->cardDir.empty()) return -1;
  return _writeCardFile(child->cardDir + "/card" + std::to_string(card), data, length);
}

void _message(MapOutput*, const char* text) {
  if (text != nullptr) std::fputs(text, stderr);
}

std::string _readAll(FILE* from) {
  std::string data;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, from)) > 0) data.append(buffer, n);
  return data;
}

}  // namespace

int main(int, char** argv) {
  std::string input = _readAll(stdin);
  const char* options = std::getenv("MERC_OPTIONS");
  const char* cardDir = std::getenv("MERC_CARD_DIR");
  ChildOutput child{cardDir != nullptr ? cardDir : ""};
  MapInput in{kZvrMapAbiVersion, argv[0], input.data(), input.size(),
              options != nullptr ? options : ""};
  MapOutput out{&child, _append, _message};
  int code = zvrMapRun(&in, &out);
  if (std::fflush(stdout) != 0) {
    std::fputs("cannot write output card 1\n", stderr);
    return 1;
  }
  return code & 0xFF;
}
