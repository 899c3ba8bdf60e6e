// twocards: two output cards from one request: card 1 is the input unchanged, card 2 the
// input with its body upper-cased (as the upper map does).
#include "map_text.h"

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  std::string second(maps::inputText(input));
  maps::upperFrom(second, maps::bodyStart(second));
  if (maps::appendText(output, 1, maps::inputText(input)) != 0 ||
      maps::appendText(output, 2, second) != 0) {
    output->message(output, "twocards: cannot write the output cards\n");
    return 8;
  }
  return 0;
}
