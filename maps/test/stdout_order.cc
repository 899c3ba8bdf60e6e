// stdout_order: appends to card 1 and prints to standard output itself in turn (printf,
// std::cout, and once more than a stdio buffer holds), so that a test can see the
// wrapper keep the map's order. Built for the tests only; not a sample map.
#include "../map_text.h"

#include <cstdio>
#include <iostream>

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  maps::appendText(output, 1, "1 appended\n");
  std::printf("2 printed\n");
  std::cout << "3 streamed\n";
  maps::appendText(output, 1, maps::inputText(input));
  for (int i = 0; i < 10000; ++i) std::printf("5 printed at length\n");
  maps::appendText(output, 1, "6 appended\n");
  std::printf("7 printed last\n");
  return 0;
}
