#include "quorservice.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

volatile sig_atomic_t QuorService::_okToRun = 1;
volatile sig_atomic_t QuorService::_sigintCaptured = 0;

namespace {

constexpr int kMaxFailedGets = 3;

const char* _yesNo(int flag) { return flag ? "Yes" : "No"; }

// After an interrupt the process nudges itself with a signal of its own every
// kNudgeMillis. The loop reads _okToRun before each get, but the middleware's wait for a
// request only ends early for a signal that arrives once the wait has begun; an interrupt
// that lands between the check and the start of the wait would otherwise leave the server
// waiting for the next request. The nudge ends such a wait at once. Waiting in short slices
// instead would make every empty slice a failed call, which the middleware hands to the
// element's error-action exit and logs, several times a second while idle.
constexpr long kNudgeMillis = 100;
timer_t gNudgeTimer;
volatile sig_atomic_t gNudgeReady = 0;
pid_t gNudgeOwner = 0;  // a forked child inherits no timer: it makes its own

void _nudged(int) {}

void _armNudge() {
  if (!gNudgeReady) return;
  struct itimerspec every {};
  every.it_value.tv_nsec = kNudgeMillis * 1000000L;
  every.it_interval.tv_nsec = kNudgeMillis * 1000000L;
  timer_settime(gNudgeTimer, 0, &every, nullptr);  // async-signal-safe
}

// SIGINT and SIGTERM both stop the loop: service managers stop processes with SIGTERM.
// SA_RESTART keeps file and database calls from failing half-way through the request in
// hand; the middleware's wait for a message is never restarted, so a signal ends it.
void _installHandlers() {
  trc::Scope trace(kTrace);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = _nudged;
  sigaction(SIGRTMIN, &action, nullptr);
  if (!gNudgeReady || gNudgeOwner != getpid()) {
    struct sigevent event {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGRTMIN;
    gNudgeReady = timer_create(CLOCK_MONOTONIC, &event, &gNudgeTimer) == 0;
    gNudgeOwner = getpid();
  }
  action.sa_handler = QuorService::signal_handler;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

QuorService::QuorService(const char* name) : name_(name ? name : "") {
  trc::Scope trace(kTrace);
  _installHandlers();
}

QuorService::~QuorService() {
  trc::Scope trace(kTrace);
  element_.reset();
}

void QuorService::signal_handler(int) {
  _okToRun = 0;
  _sigintCaptured = 1;
  _armNudge();
}

void QuorService::helloWorld(const char* title) const {
  trc::Scope trace(kTrace);
  std::string banner = zvrFormat(
      "\n%s (%s %s)\nA server component of the Quor message broker, running Mercator maps over "
      "its requests.\nCopyright Velmar Technologies. All rights reserved.",
      title ? title : "", __DATE__, __TIME__);
  zvrWriteLog(banner.c_str());
}

int QuorService::initQuor() {
  trc::Scope trace(kTrace);
  zvrWriteLog("\nInitializing Quor Business Element...");
  element_.reset(new (std::nothrow) QuorBusinessElement(name_, syncType_));
  if (!element_) return trace.result(0);
  if (ZVRdebug) {
    char* text = nullptr;
    element_->display(text);
    zvrWriteLog(text);
    delete[] text;
  }
  return trace.result(1);
}

int QuorService::display(char*& text) const {
  trc::Scope trace(kTrace);
  const char* sync = syncType_ ? "Local" : "None";
  std::string out =
      ZVRdebug ? zvrFormat("\nOperating Parameters\n--------------------\nBusiness Element "
                           "Name: %s\nSyncpointing: %s\nLog All Requests: %s\nDebug Flag: "
                           "%s\nVerbose Flag: %s",
                           name_, sync, _yesNo(logFlag_), _yesNo(ZVRdebug), _yesNo(ZVRverbose))
               : zvrFormat("\nOperating Parameters\n--------------------\nBusiness Element "
                           "Name: %s\nSyncpointing: %s\nLog All Requests: %s",
                           name_, sync, _yesNo(logFlag_));
  return trace.result(zvrNewText(out, text));
}

int QuorService::getOptions(int& index, int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  const char* arg = argv[index];
  if (std::strcmp(arg, "-e") == 0) {
    if (index + 1 >= argc) return trace.result(0);
    name_ = argv[++index];
    return trace.result(1);
  }
  if (std::strcmp(arg, "-logMsg") == 0) {
    logFlag_ = 1;
    return trace.result(1);
  }
  return trace.result(0);
}

int QuorService::validOptions() {
  trc::Scope trace(kTrace);
  return trace.result(1);
}

void QuorService::usage(const char* program) const {
  trc::Scope trace(kTrace);
  std::cerr << std::endl << "Usage: " << (program ? program : "") << " [ -e be_name ] [ -logMsg ]";
}

int QuorService::run() {
  trc::Scope trace(kTrace);
  initialize();
  if (!element_ && !initQuor()) return trace.result(1);
  int status = 0;
  int retries = 0;
  bool gotOne = false;
  std::unique_ptr<QuorRequest> request;
  for (;;) {
    request.reset();
    zvrClearError();
    request.reset(element_->getRequest());
    gotOne = request != nullptr;
    if (request) {
      retries = 0;
      if (!_serve(*request, status)) break;
    } else if (_sigintCaptured) {
      break;  // the interrupt ended the wait: a stop, not a failed get
    } else if (!_missedGet(retries)) {
      status = 1;
      break;
    }
    if (!_okToRun) break;
  }
  request.reset();
  _shutdown(gotOne);
  return trace.result(status);
}

bool QuorService::_missedGet(int& retries) {
  trc::Scope trace(kTrace);
  if (ZVRverbose && ZVRerror) ZVRerror->writeLog();
  if (++retries < kMaxFailedGets) return trace.result(true);
  std::string text = zvrFormat(ZVRTXT_S0002, retries);
  QuorError(ZVRID_S0002, kZvrSevere, text.c_str()).writeLog();
  return trace.result(false);
}

bool QuorService::_serve(QuorRequest& request, int& status) {
  trc::Scope trace(kTrace);
  if (logFlag_ || ZVRdebug) {
    char* text = nullptr;
    request.display(text);
    zvrWriteLog(text);
    delete[] text;
  }
  if (processFlag_ && !processMessageAndReply(request)) {
    status = 1;
    return trace.result(false);
  }
  if (!element_->commit()) {
    if (ZVRerror) ZVRerror->writeLog();
    status = 1;
    return trace.result(false);
  }
  return trace.result(true);
}

void QuorService::_shutdown(bool gotOne) const {
  trc::Scope trace(kTrace);
  if (!_okToRun && !processFlag_ && gotOne && syncType_ == 0)
    ErrorADT(ZVRID_S0004, kZvrInfo, ZVRTXT_S0004, ZVRUA_S0004).writeLog();
  zvrWriteLog(_sigintCaptured
                  ? "\nQuor Transformation Component Shutting Down.\nReason: Interrupted by user."
                  : "\nQuor Transformation Component Shutting Down.");
}

std::ostream& operator<<(std::ostream& os, const QuorService& service) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, service);
}
