// saveinput: passes the request on unchanged (card 1 is the input) and also saves the
// input, byte for byte, in the file named by the option "-save PATH" (replacing it).
// Without the option it saves nothing. Tests compare what a component hands the engine
// with other renderings of the same request.
#include "map_text.h"

#include <cstdio>
#include <string>

namespace {

int _save(const std::string& path, std::string_view data) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return -1;
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
  ok = std::fclose(file) == 0 && ok;
  return ok ? 0 : -1;
}

}  // namespace

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  std::string path = maps::optionValue(input->options, "-save", "");
  if (!path.empty() && _save(path, maps::inputText(input)) != 0) {
    output->message(output, "saveinput: cannot write the file named by -save\n");
    return 8;
  }
  if (maps::appendText(output, 1, maps::inputText(input)) != 0) {
    output->message(output, "saveinput: cannot write output card 1\n");
    return 8;
  }
  return 0;
}
