// zvrclnt: sends requests from a message file or typed in by hand to a service and shows
// the responses.
#include "clientoptions.h"
#include "testclient.h"
#include "version.h"

int main(int argc, char** argv) {
  if (zvrVersionAsked(argc, argv)) return zvrPrintVersion("zvrclnt", __DATE__, __TIME__);
  ClientOptions options;
  switch (zvrParseClientOptions(argc, argv, options)) {
    case ZvrClientCommand::kInvalid:
      zvrClientUsage();
      return 1;
    case ZvrClientCommand::kHelp:
      zvrClientUsage();
      return 0;
    case ZvrClientCommand::kRun:
      break;
  }
  ZvrTestClient client(options);
  return client.run();
}
