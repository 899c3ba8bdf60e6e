// warn: passes the request on unchanged but ends with a warning: return code 14, or the
// number given with the option "-rc N".
#include "map_text.h"

#include <cstdlib>

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  int code = std::atoi(maps::optionValue(input->options, "-rc", "14").c_str());
  if (maps::appendText(output, 1, maps::inputText(input)) != 0) {
    output->message(output, "warn: cannot write output card 1\n");
    return 8;
  }
  std::string text = "warn: message passed on with a warning (return code " +
                     std::to_string(code) + ")\n";
  output->message(output, text.c_str());
  return code;
}
