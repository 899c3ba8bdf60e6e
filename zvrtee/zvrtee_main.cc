// zvrtee: records every request that passes and forwards it unchanged.
#include <cstdio>

#include "teecomponent.h"
#include "version.h"

int main(int argc, char** argv) {
  if (zvrVersionAsked(argc, argv)) return zvrPrintVersion("zvrtee", __DATE__, __TIME__);
  ZvrTeeOptions options;
  if (!zvrParseTeeOptions(argc, argv, options)) {
    zvrTeeUsage(stderr);
    return 1;
  }
  ZvrTeeComponent component(options);
  return component.run();
}
