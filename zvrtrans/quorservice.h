// The root of the component service classes: what every server process is before it knows
// what it does with a request.
//
// One service object exists per server process (zvrbc, zvrtbc). QuorService holds the
// business element name, the syncpoint choice and the request-logging flag, connects as a
// business element, and runs the request loop: get a request under a unit of work, hand it
// to processMessageAndReply, commit, until an interrupt (SIGINT or SIGTERM) or an
// unrecoverable error. The derived classes decide what happens to one request:
//   QuorService -> BrokerService (poison messages, error profile)
//               -> TBCService (marshal, transform, start-up sequence)
//               -> TsiService (transformation options)
//               -> TsiBC (zvrbc) / TsiTBC (zvrtbc)
// The virtual operations are declared in one fixed slot order that derived classes never
// change; new operations are only ever added after the inherited ones.
#ifndef ZVR_QUORSERVICE_H
#define ZVR_QUORSERVICE_H

#include <signal.h>

#include <memory>
#include <ostream>

class QuorBusinessElement;
class QuorRequest;

class QuorService {
 public:
  // `name` (the business element name) is borrowed: it must outlive the object (main's
  // argv or a literal). Installs signal_handler for SIGINT and SIGTERM, and a handler
  // that does nothing for SIGRTMIN, the signal signal_handler nudges the process with.
  explicit QuorService(const char* name);
  // Deletes the business element, which ends the middleware connection.
  virtual ~QuorService();                                                    // slot 1
  QuorService(const QuorService&) = delete;
  QuorService& operator=(const QuorService&) = delete;

  // The request loop. Returns the exit status: 0 after an interrupt or an option's single
  // pass, 1 after three failed gets in a row, a failed commit or a failed processing step.
  virtual int run();                                                         // slot 2
  // Writes the start banner for `title` to the log.
  virtual void helloWorld(const char* title) const;                          // slot 3
  // Connects as the business element (a failed connection ends the process with status
  // 1). 1 on success, 0 when the object cannot be allocated.
  virtual int initQuor();                                                    // slot 4
  // The "Operating Parameters" text. Returns its length; `text` gets a new text the
  // caller frees with delete[].
  virtual int display(char*& text) const;                                    // slot 5
  // Looks at argv[index]: 1 when recognised. An option with a value is recognised only
  // when the value follows; it then reads argv[index + 1] and advances `index` by one.
  // The pointers are kept, not copied.
  virtual int getOptions(int& index, int argc, const char* const* argv);     // slot 6
  // 1 when the options go together; 0 after logging why.
  virtual int validOptions();                                                // slot 7
  // Writes the usage text for `program` to standard error; derived classes append to it
  // on the same line.
  virtual void usage(const char* program) const;                             // slot 8
  // Disposes of a request whose processing failed (error pending in ZVRerror).
  virtual int handleError(const QuorRequest& request) const = 0;             // slot 9
  // 1 when the request may be committed; 0 ends the loop with status 1.
  virtual int processMessageAndReply(const QuorRequest& request) = 0;        // slot 10
  // Everything between option parsing and the first get; ends the process on failure.
  virtual void initialize() = 0;                                             // slot 11

  // Clears _okToRun and sets _sigintCaptured, and starts a timer that sends the process
  // SIGRTMIN every 100 ms, so that a wait for a request that began just after the
  // interrupt still ends at once (async-signal-safe).
  static void signal_handler(int signalNumber);

  // The loop goes on while non-zero; cleared by an interrupt and by the one-pass options.
  static volatile sig_atomic_t _okToRun;
  // Set when an interrupt stopped the loop.
  static volatile sig_atomic_t _sigintCaptured;

  // Null until initQuor; owned by this object.
  QuorBusinessElement* businessElement() const { return element_.get(); }
  const char* name() const { return name_; }

 protected:
  const char* name_;
  std::unique_ptr<QuorBusinessElement> element_;
  int processFlag_ = 1;  // 0: requests are taken and committed without processing
  int syncType_ = 1;     // 1 local units of work, 0 none
  int logFlag_ = 0;      // 1: every request got is written to the log

 private:
  // One pass of the loop after a get. false ends the loop with `status` set.
  bool _serve(QuorRequest& request, int& status);
  // A get that failed. false ends the loop with status 1 (the third in a row).
  bool _missedGet(int& retries);
  void _shutdown(bool clearedOne) const;
};

std::ostream& operator<<(std::ostream& os, const QuorService& service);

#endif  // ZVR_QUORSERVICE_H
