// The command line of the test client zvrclnt: its settings with their defaults, the
// parse, and the usage text. Messages about the command line go to standard error.
#ifndef ZVR_CLIENTOPTIONS_H
#define ZVR_CLIENTOPTIONS_H

#include <string>

struct ClientOptions {
  std::string clientName = "ZVRClient1";       // -c
  std::string serviceName = "ZVRTransform";    // -s
  std::string inputFile;                       // -i; empty: interactive mode
  std::string formatName = "qlxMsg00000002";   // -format
  long loopCount = 0;                          // -loop; 0 takes the file's LoopTimes
  bool fullMessages = false;                   // -hdr
  bool anyMessage = false;                     // -anymsg
  bool waitForResponses = true;                // -nowait clears it
  bool hasInputFile() const { return !inputFile.empty(); }
};

enum class ZvrClientCommand { kRun, kHelp, kInvalid };

// Reads argv[1..argc-1] into `options`. kInvalid for an unknown argument, an option that
// lacks its value (-loop included), a -loop value that is not a whole decimal number, -hdr
// with -i, or a non-zero loop count without -i (the last two print their own message
// first). kHelp for "-?" on an otherwise valid command line.
ZvrClientCommand zvrParseClientOptions(int argc, char** argv, ClientOptions& options);

// Writes the usage text to standard error.
void zvrClientUsage();

#endif  // ZVR_CLIENTOPTIONS_H
