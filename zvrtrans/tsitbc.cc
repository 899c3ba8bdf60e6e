#include "tsitbc.h"

#include <iostream>
#include <memory>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "framecheck.h"
#include "marshall.h"
#include "merc.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"
#include "zvrroute.h"

static trc::Module kTrace{"zvrtrans"};

TsiTBC::TsiTBC(int argc, const char* const* argv, const char* title)
    : TsiService(kDefaultName, title) {
  trc::Scope trace(kTrace);
  _configure(argc, argv);
  _startEngine();
}

TsiTBC::~TsiTBC() {
  trc::Scope trace(kTrace);
  MercExitAPI();
}

int TsiTBC::display(char*& text) const {
  trc::Scope trace(kTrace);
  char* base = nullptr;
  TsiService::display(base);
  std::string out =
      zvrFormat("%s\nAlways Transform: %s", base ? base : "", alwaysTransform_ ? "Yes" : "No");
  delete[] base;
  return trace.result(zvrNewText(out, text));
}

int TsiTBC::validOptions() {
  trc::Scope trace(kTrace);
  return trace.result(TsiService::validOptions());
}

void TsiTBC::usage(const char* program) const {
  trc::Scope trace(kTrace);
  TsiService::usage(program);
  std::cerr << " [ -required ]" << std::endl;
}

int TsiTBC::parseArgs(int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  return trace.result(_parseAll(argc, argv));
}

int TsiTBC::validTransform(unsigned long length) const {
  trc::Scope trace(kTrace);
  return trace.result(length != 0 ? 1 : 0);
}

int TsiTBC::process_buffer(void*& buffer, unsigned long& length, Marshall* marshall,
                           const QuorRequest& request) {
  trc::Scope trace(kTrace);
  char* const start = static_cast<char*>(buffer);
  const unsigned long total = length;
  QuorResponse* response = nullptr;
  // Only one frame is put, so the rest of the output is checked first: output that is not
  // framed must reach the error profile whole, not go on as its first few bytes.
  unsigned long frames = 0;
  if (!zvrCheckFrames(buffer, length, frames)) return trace.result(handleError(request));
  if (!_do_response(marshall, buffer, length, response)) return trace.result(handleError(request));
  // _do_response left `buffer` at the frame's data and `length` at its size; both lie
  // within the output (splitMultiBuffer never takes more than it was given).
  const unsigned long prefix = static_cast<unsigned long>(static_cast<char*>(buffer) - start);
  const unsigned long rest = total - prefix - length;
  buffer = static_cast<char*>(buffer) + length;
  length = rest;
  if (rest != 0)
    ErrorADT(ZVRID_TT0006, kZvrWarning, ZVRTXT_TT0006, ZVRUA_TT0006).writeLog();
  return trace.result(1);
}

int TsiTBC::_do_response(Marshall* marshall, void*& buffer, unsigned long& length,
                         QuorResponse*& response) {
  trc::Scope trace(kTrace);
  response = nullptr;
  ZvrRouteList routes;
  unsigned error = 0;
  marshall->splitMultiBuffer(buffer, length, error);
  if (!error && length == 0) {
    if (ZVRdebug) TransformError(ZVRID_TT0005, kZvrWarning, ZVRTXT_TT0005).writeLog();
    return trace.result(0);
  }
  if (error) return trace.result(0);
  std::unique_ptr<QuorResponse> built(marshall->createResponse(buffer, length, &routes));
  if (!built) return trace.result(0);
  if (routes.getCount() != 0) {
    ErrorADT(ZVRID_TT0004, kZvrWarning, ZVRTXT_TT0004, ZVRUA_TT0004).writeLog();
    routes.erase();
  }
  const int put = element_->putResponse(built.get());
  _closeTheme(*built);
  return trace.result(put);
}

std::ostream& operator<<(std::ostream& os, const TsiTBC& service) {
  trc::Scope trace(kTrace);
  // The base's writer goes through the virtual display, so the text is TsiTBC's own.
  return os << static_cast<const TsiService&>(service);
}
