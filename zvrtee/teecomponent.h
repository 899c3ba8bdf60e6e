// The tee component: a business element placed in a workflow to watch its traffic. Each
// request is recorded (appended to a message file that the test client can replay, or
// printed to standard output) and forwarded unchanged along its workflow, and the unit of
// work is committed. The loop ends when a middleware call fails or on SIGINT or SIGTERM;
// the open unit is then rolled back, so the request in hand stays on the queue.
#ifndef ZVR_TEECOMPONENT_H
#define ZVR_TEECOMPONENT_H

#include <signal.h>

#include <cstdio>
#include <memory>

class Message;
class MessageFile;
class QuorBusinessElement;

// Process-wide flags set by the command line: write full messages (-hdr), write bodies as
// hexadecimal digits (-hex).
extern unsigned full_message;
extern unsigned hex_dump;

// Settings from the command line. The texts are borrowed from argv.
struct ZvrTeeOptions {
  const char* be_name = "ZVRTee1";
  const char* out_filename = nullptr;  // null: print to standard output
  bool eat_msgs = false;               // -noforward
};

// Reads argv[1..argc-1] into `options` and the two process-wide flags; a later occurrence
// of an option overrides an earlier one. 0 when an argument is not an option (or "-e" or
// "-o" lacks its value), else 1.
int zvrParseTeeOptions(int argc, const char* const* argv, ZvrTeeOptions& options);

// Writes the usage line to `to`.
void zvrTeeUsage(FILE* to);

class ZvrTeeComponent {
 public:
  explicit ZvrTeeComponent(const ZvrTeeOptions& options);
  ~ZvrTeeComponent();
  ZvrTeeComponent(const ZvrTeeComponent&) = delete;
  ZvrTeeComponent& operator=(const ZvrTeeComponent&) = delete;

  // Banner, output file (emptied), connection, then the request loop until a step fails.
  // Returns 0 once the loop has ended and its unit is rolled back; 1 before connecting when
  // the output file cannot be created (its reason on standard error). A connection that
  // cannot be made ends the process with status 1 inside.
  int run();

  // Stops the loop after the pass in hand (or cuts short the wait for a request).
  static void signal_handler(int);
  static volatile sig_atomic_t _okToRun;

 private:
  void _banner() const;
  // 1 when the output file can be opened for writing; else 0, the reason shown.
  int _canWriteOutput() const;
  // One pass: get, record, forward, commit. 0 when a step failed (its message written).
  int _pass(QuorBusinessElement& element);
  // 1 when the message was written whole to the output. A file record that could not be
  // appended has been reported by the message file and in the log; without -noforward that
  // loses the record only, so it counts as written.
  int _record(const Message& message) const;
  int _appendToFile(const Message& message) const;
  int _printToStdout(const Message& message) const;

  const ZvrTeeOptions options_;
  std::unique_ptr<MessageFile> file_;
};

#endif  // ZVR_TEECOMPONENT_H
