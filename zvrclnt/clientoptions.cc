#include "clientoptions.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrclnt"};

namespace {

// A whole decimal number (optional sign) that an int holds; anything else is refused
// rather than read as 0 or as its leading digits.
bool parseLoopCount(const char* text, long& value) {
  trc::Scope trace(kTrace);
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
    return false;
  value = parsed;
  return true;
}

// One argument (and its value) at argv[i]; false when it makes the command line invalid.
bool takeArgument(int argc, char** argv, int& i, ClientOptions& options, bool& help) {
  trc::Scope trace(kTrace);
  const char* arg = argv[i];
  const bool hasValue = i + 1 < argc;
  auto is = [arg](const char* option) { return std::strcmp(arg, option) == 0; };
  if (is("-c") && hasValue) {
    options.clientName = argv[++i];
  } else if (is("-i") && hasValue) {
    options.inputFile = argv[++i];
  } else if (is("-hdr")) {
    options.fullMessages = true;
  } else if (is("-anymsg")) {
    options.anyMessage = true;
  } else if (is("-loop")) {
    // Without a value there is nothing to read: the command line is invalid.
    return hasValue && parseLoopCount(argv[++i], options.loopCount);
  } else if (is("-s") && hasValue) {
    options.serviceName = argv[++i];
  } else if (is("-format") && hasValue) {
    options.formatName = argv[++i];
  } else if (is("-nowait")) {
    options.waitForResponses = false;
  } else if (is("-?")) {
    help = true;
  } else {
    return false;
  }
  return true;
}

}  // namespace

ZvrClientCommand zvrParseClientOptions(int argc, char** argv, ClientOptions& options) {
  trc::Scope trace(kTrace);
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    if (!takeArgument(argc, argv, i, options, help)) return ZvrClientCommand::kInvalid;
  }
  bool valid = true;
  if (options.fullMessages && options.hasInputFile()) {
    std::fputs("ERROR: Incompatible options ``-hdr'' and ``-i'' specified on startup.\n"
               "Do not specify both options on the command line.\n\n",
               stderr);
    valid = false;
  }
  if (options.loopCount != 0 && !options.hasInputFile()) {
    std::fputs("ERROR: Option ``-loop'' requires option ``-i''.\n"
               "Specify both options on the command line.\n\n",
               stderr);
    valid = false;
  }
  if (!valid) return ZvrClientCommand::kInvalid;
  return help ? ZvrClientCommand::kHelp : ZvrClientCommand::kRun;
}

void zvrClientUsage() {
  trc::Scope trace(kTrace);
  std::fputs(
      "Usage: zvrclnt [-anymsg] [-c Client name] [-hdr] [-i infile] [-loop loops] "
      "[-s service name] [-format str] [-nowait] [-?] \n\n"
      "       -anymsg  Retrieve the next message on the response queue (ignore theme).\n"
      "       -c       The name of this client as defined in QOM.\n"
      "       -hdr     When -i is not specified, this indicates full messages\n"
      "                  are entered by hand.\n"
      "                Also this option causes the request and response message \n"
      "                  headers to be displayed.\n"
      "       -i       The name of the input file.\n"
      "       -loop    The number of times to loop through a file.\n"
      "                Command line option overrides the value in the file.\n"
      "                Special Value: -1 causes an infinite loop through the file.\n"
      "       -s       The name of the service to attach as defined in QOM.\n"
      "       -format  Specifies the value to be placed in the message field FormatName.\n"
      "       -nowait  If specified the client will not wait for responses.\n"
      "                NOTE: The input queue for this client will not be cleared.\n"
      "       -?       Request this help message.\n",
      stderr);
}
