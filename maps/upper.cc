// upper: upper-cases the body of the request and leaves its header as it is, so that the
// descriptor fields read back unchanged (a text without a header is all body).
#include "map_text.h"

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  std::string text(maps::inputText(input));
  maps::upperFrom(text, maps::bodyStart(text));
  if (maps::appendText(output, 1, text) != 0) {
    output->message(output, "upper: cannot write output card 1\n");
    return 8;
  }
  return 0;
}
