// zvrtee: records every request that passes and forwards it unchanged.
#include <cstdio>

#include "teecomponent.h"

int main(int argc, char** argv) {
  ZvrTeeOptions options;
  if (!zvrParseTeeOptions(argc, argv, options)) {
    zvrTeeUsage(stderr);
    return 1;
  }
  ZvrTeeComponent component(options);
  return component.run();
}
