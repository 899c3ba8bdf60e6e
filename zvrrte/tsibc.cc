#include "tsibc.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <climits>
#include <iostream>
#include <string>

#include "catalog.h"
#include "dump.h"
#include "erroradt.h"
#include "marshall.h"
#include "merc.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"
#include "zvrroute.h"
#include "zvrsubscription.h"

static trc::Module kTrace{"zvrrte"};

TsiBC::TsiBC(int argc, const char* const* argv, const char* title)
    : TsiService(kDefaultName, title) {
  trc::Scope trace(kTrace);
  _configure(argc, argv);
  routes_ = std::make_unique<ZvrRouteList>();
  alwaysTransform_ = 1;
  _startEngine();
}

TsiBC::~TsiBC() {
  trc::Scope trace(kTrace);
  routes_.reset();
  marshall_.reset();
  MercExitAPI();
}

int TsiBC::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(TsiService::display(text));
}

int TsiBC::validOptions() {
  trc::Scope trace(kTrace);
  if (!alwaysTransform_) return trace.result(0);
  return trace.result(TsiService::validOptions());
}

void TsiBC::usage(const char* program) const {
  trc::Scope trace(kTrace);
  TsiService::usage(program);
  std::cerr << std::endl;
}

int TsiBC::parseArgs(int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  return trace.result(_parseAll(argc, argv));
}

int TsiBC::validTransform(unsigned long length) const {
  trc::Scope trace(kTrace);
  return trace.result(length != 0 ? 1 : 0);
}

int TsiBC::process_buffer(void*& buffer, unsigned long& length, Marshall* marshall,
                          const QuorRequest& request) {
  trc::Scope trace(kTrace);
  bool built = false;
  unframed_ = false;
  while (length > 0) {
    if (ZVRdebug) zvrWriteLog(zvrDumpHex(buffer, length).c_str());
    char* const start = static_cast<char*>(buffer);
    const unsigned long total = length;
    QuorResponse* response = nullptr;
    const int done = _do_response(marshall, buffer, length, response);
    built = built || response != nullptr;
    delete response;
    if (!done) {
      buffer = start;
      length = total;
      const int handled = handleError(request);
      // After handleError: a report to the error profile names the request's theme.
      if (built) _closeRequestTheme(request);
      return trace.result(handled);
    }
    // splitMultiBuffer takes at least one byte off and never more than it was given.
    const unsigned long prefix = static_cast<unsigned long>(static_cast<char*>(buffer) - start);
    assert(prefix > 0 && prefix <= total && length <= total - prefix);
    buffer = static_cast<char*>(buffer) + length;
    length = total - prefix - length;
  }
  // Output that is not in frame form at all would read as nothing but skipped empty frames
  // and the request would be committed away unprocessed: it goes to handleError instead.
  if (!built && unframed_) {
    auto* error = new TransformError(ZVRID_TB0008, kZvrError, ZVRTXT_TB0008, ZVRUA_TB0008);
    error->addInfo("The engine output is not a sequence of frames. Add the output framing "
                   "option -oe1s to the map's engine options.", nullptr, 0);
    zvrSetError(error);
    return trace.result(handleError(request));
  }
  // Closed once for the whole output, also when its last frame was empty: the request's
  // theme is not needed after its last response.
  if (built) _closeRequestTheme(request);
  return trace.result(1);
}

int TsiBC::_do_response(Marshall* marshall, void*& buffer, unsigned long& length,
                        QuorResponse*& response) {
  trc::Scope trace(kTrace);
  response = nullptr;
  unsigned error = 0;
  const bool startsFrame =
      length > 0 && std::isdigit(static_cast<unsigned char>(*static_cast<const char*>(buffer)));
  marshall->splitMultiBuffer(buffer, length, error);
  if (error) return trace.result(0);
  int result = 0;
  if (length == 0) {
    if (!startsFrame) unframed_ = true;
    if (ZVRdebug) TransformError(ZVRID_TB0008, kZvrError, ZVRTXT_TB0008, ZVRUA_TB0008).writeLog();
    // The frame is skipped: its "length is zero" warning is dealt with.
    zvrClearError();
    result = 1;
  } else {
    response = marshall->createResponse(buffer, length, routes_.get());
    // Routing and dumps work on the piece from here on; without its copy (ZVRM0004
    // pending) the frame fails rather than being routed over the previous piece.
    if (response != nullptr && marshall->setBuffer(buffer, length)) {
      result = routes_->getCount() == 0 ? _putAlongWorkflow(*marshall, *response)
                                        : _route(marshall, *response);
    }
  }
  routes_->erase();
  return trace.result(result);
}

int TsiBC::_route(Marshall* marshall, const QuorResponse& response) {
  trc::Scope trace(kTrace);
  ZVRSubscription subscription(element_.get(), response.theme(), marshall);
  int result = 1;
  bool routed = false;
  // An empty entry before any routed one sends the response along the workflow; once is
  // enough, however many empty entries follow.
  bool forwarded = false;
  char* service = nullptr;
  char* action = nullptr;
  routes_->toHead();
  while (result == 1 && routes_->getAndNext(service, action)) {
    const int outcome = subscription.route(service, action);
    if (outcome == ZVRSubscription::kRouteFailed) {
      result = 0;
    } else if (outcome == ZVRSubscription::kRouted) {
      routed = true;
    } else if (ZVRdebug) {
      _logWithDump(ZVRID_TB0002, ZVRTXT_TB0002, *marshall);
    }
    if (result == 1 && !routed && !forwarded) {
      result = _putAlongWorkflow(*marshall, response);
      forwarded = true;
    }
  }
  return trace.result(result);
}

int TsiBC::_putAlongWorkflow(const Marshall& marshall, const QuorResponse& response) const {
  trc::Scope trace(kTrace);
  if (!element_->putResponse(&response)) return trace.result(0);
  _logWithDump(ZVRID_TB0007, ZVRTXT_TB0007, marshall);
  return trace.result(1);
}

void TsiBC::_logWithDump(const char* id, const char* text, const Marshall& marshall) const {
  trc::Scope trace(kTrace);
  ErrorADT warning(id, kZvrWarning, text, nullptr);
  const std::string dump = zvrDumpHex(marshall.buffer(), marshall.length());
  warning.addInfo("Transformed Buffer follows:", dump.c_str(),
                  static_cast<unsigned>(std::min<size_t>(dump.size(), UINT_MAX)));
  warning.writeLog();
}

void TsiBC::_closeRequestTheme(const QuorRequest& request) const {
  trc::Scope trace(kTrace);
  QLXHANDLE theme = static_cast<QLXHANDLE>(request.theme());
  qlxCloseHandle(static_cast<QLXHANDLE>(element_->handle()), &theme);
}

std::ostream& operator<<(std::ostream& os, const TsiBC& service) {
  trc::Scope trace(kTrace);
  // The base's writer goes through the virtual display, so the text is TsiBC's own.
  return os << static_cast<const TsiService&>(service);
}
