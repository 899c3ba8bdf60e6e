// zvrdumpt: dumps the framed text of one request for map authors.
#include <cstdio>

#include "dumpcomponent.h"
#include "version.h"

int main(int argc, char** argv) {
  if (zvrVersionAsked(argc, argv)) return zvrPrintVersion("zvrdumpt", __DATE__, __TIME__);
  ZvrDumpOptions options;
  switch (zvrParseDumpOptions(argc, argv, options)) {
    case ZvrDumpParse::kInvalid:
      zvrDumpUsage(stderr);
      return 1;
    case ZvrDumpParse::kHelp:
      zvrDumpUsage(stderr);
      return 0;
    case ZvrDumpParse::kRun:
      break;
  }
  ZvrDumpComponent component(options);
  return component.run();
}
