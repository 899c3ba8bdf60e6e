// emptyfirst: two output cards, the first empty and the second the input unchanged; framed,
// the output begins with a frame of length 0.
#include "map_text.h"

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  if (maps::appendText(output, 1, "") != 0 ||
      maps::appendText(output, 2, maps::inputText(input)) != 0) {
    output->message(output, "emptyfirst: cannot write the output cards\n");
    return 8;
  }
  return 0;
}
