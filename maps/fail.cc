// fail: rejects every request: no output, return code 8 and a message.
#include "map_text.h"

extern "C" int zvrMapRun(const MapInput*, MapOutput* output) {
  output->message(output, "fail: the map rejects every message\n");
  return 8;
}
