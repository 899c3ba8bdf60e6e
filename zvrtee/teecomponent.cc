#include "teecomponent.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "erroradt.h"
#include "message.h"
#include "messagefile.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtee"};

unsigned full_message = 0;
unsigned hex_dump = 0;

volatile sig_atomic_t ZvrTeeComponent::_okToRun = 1;

namespace {

// SIGINT and SIGTERM end the loop: a signal during the wait for a request makes that get
// fail, and one that arrives during a pass lets the pass finish and commit first.
// SA_RESTART keeps the broker's file and database calls from failing half-way; its wait
// for a message is never restarted.
// A stop that arrives after the loop's check but before the broker's wait began would be
// missed by that wait: after a stop, SIGALRM interrupts whatever wait comes once a second.
void _nudged(int) { alarm(1); }

void _installHandler() {
  trc::Scope trace(kTrace);
  struct sigaction action {};
  action.sa_handler = _nudged;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
  action.sa_handler = ZvrTeeComponent::signal_handler;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool _is(const char* arg, const char* option) { return std::strcmp(arg, option) == 0; }

// A step's failure text, then the pending error (if any) and a newline, to standard error.
void _writeFailure(const char* text) {
  trc::Scope trace(kTrace);
  std::cerr << text;
  if (ZVRerror != nullptr) std::cerr << *ZVRerror;
  std::cerr << "\n" << std::flush;
}

}  // namespace

int zvrParseTeeOptions(int argc, const char* const* argv, ZvrTeeOptions& options) {
  trc::Scope trace(kTrace);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (_is(arg, "-e") && hasValue) {
      options.be_name = argv[++i];
    } else if (_is(arg, "-o") && hasValue) {
      options.out_filename = argv[++i];
    } else if (_is(arg, "-hdr")) {
      full_message = 1;
    } else if (_is(arg, "-hex")) {
      hex_dump = 1;
    } else if (_is(arg, "-noforward")) {
      options.eat_msgs = true;
    } else {
      return trace.result(0);
    }
  }
  return trace.result(1);
}

void zvrTeeUsage(FILE* to) {
  trc::Scope trace(kTrace);
  std::fputs("Usage: zvrtee [ -e be_name ] [ -hdr ] [ -o outfile ] [ -noforward ] [ -hex ]\n",
             to);
  std::fflush(to);
}

ZvrTeeComponent::ZvrTeeComponent(const ZvrTeeOptions& options) : options_(options) {}

void ZvrTeeComponent::signal_handler(int) {
  _okToRun = 0;
  alarm(1);
}

ZvrTeeComponent::~ZvrTeeComponent() = default;

void ZvrTeeComponent::_banner() const {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat("Quor Tee Component ( %s %s )\n\n", __DATE__, __TIME__);
  text += "\n" + std::string(52, '=') + "\n";
  text += "The tee server program forwards messages it receives\n";
  text += " and also writes them to a file or to stdout.\n";
  text += std::string(53, '=') + "\n\n";
  text += "Operating Parameters\n--------------------\n";
  text += zvrFormat("Business Element Name: %s\n", options_.be_name);
  if (options_.out_filename) text += zvrFormat("Output File: %s\n", options_.out_filename);
  if (full_message) text += "Write full message structure\n";
  if (options_.eat_msgs) text += "Do not forward messages\n";
  text += "Quor Tee Server starting...  \n";
  std::cerr << text << std::flush;
}

int ZvrTeeComponent::_canWriteOutput() const {
  trc::Scope trace(kTrace);
  // Opened for appending, so nothing is emptied before the check has passed; the message
  // file then empties it and writes its header.
  std::FILE* probe = std::fopen(options_.out_filename, "a");
  if (probe == nullptr) {
    const int reason = errno;
    std::cerr << "zvrtee: unable to create the output file " << options_.out_filename << ": "
              << std::strerror(reason) << ". Nothing was taken off the queue.\n" << std::flush;
    return trace.result(0);
  }
  std::fclose(probe);
  return trace.result(1);
}

int ZvrTeeComponent::_appendToFile(const Message& message) const {
  trc::Scope trace(kTrace);
  const int written = file_->writeMsg(message);
  if (!written) {
    // The message file has shown the failure on standard output; the operator who watches
    // the broker's log learns of the lost record there too.
    const std::string text = zvrFormat(
        options_.eat_msgs
            ? "zvrtee: unable to append a record to %s; the request stays on the queue."
            : "zvrtee: unable to append a record to %s; the request was forwarded unrecorded.",
        options_.out_filename);
    zvrWriteLog(text.c_str(), 2);
  }
  // Without -noforward the request still goes on, so only the record is lost.
  return trace.result(written || !options_.eat_msgs ? 1 : 0);
}

int ZvrTeeComponent::_printToStdout(const Message& message) const {
  trc::Scope trace(kTrace);
  message.Print(full_message);
  // Flushed per request: what was committed has been shown, even if the tee is killed.
  const bool shown = std::fflush(stdout) == 0 && !std::ferror(stdout);
  return trace.result(shown || !options_.eat_msgs ? 1 : 0);
}

int ZvrTeeComponent::_record(const Message& message) const {
  trc::Scope trace(kTrace);
  // With -noforward the record is all that is left of a request once it is committed, so
  // a record that could not be written keeps the request on the queue instead.
  return trace.result(file_ ? _appendToFile(message) : _printToStdout(message));
}

int ZvrTeeComponent::_pass(QuorBusinessElement& element) {
  trc::Scope trace(kTrace);
  zvrClearError();
  std::unique_ptr<QuorRequest> request(element.getRequest());
  if (!request) {
    // A get cut short by a stop signal is the normal end, not a failure to report.
    if (_okToRun) _writeFailure("");
    return trace.result(0);
  }
  const Message message(*request);
  if (!_record(message)) {
    _writeFailure("Unable to record the request.");
    return trace.result(0);
  }
  if (!options_.eat_msgs) {
    // The response carries the request's own body and tag: the request outlives it.
    std::unique_ptr<QuorResponse> response(request->createResponse());
    if (!response) {
      _writeFailure("Unable to create a response.");
      return trace.result(0);
    }
    if (!element.putResponse(response.get())) {
      _writeFailure("putResponse failed.");
      return trace.result(0);
    }
  }
  if (!element.commit()) {
    _writeFailure("Commit failed.");
    return trace.result(0);
  }
  return trace.result(1);
}

int ZvrTeeComponent::run() {
  trc::Scope trace(kTrace);
  _banner();
  if (options_.out_filename) {
    if (!_canWriteOutput()) return trace.result(1);
    file_ = std::make_unique<MessageFile>(options_.out_filename, 0, full_message, hex_dump, 1,
                                          0, 1);
  }
  QuorBusinessElement element(options_.be_name, 1);
  std::cerr << "Quor Server initialized.\n" << std::flush;
  _installHandler();
  while (_okToRun && _pass(element)) {
  }
  element.rollback();
  return trace.result(0);
}
