#include "tbcservice.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "catalog.h"
#include "dump.h"
#include "erroradt.h"
#include "marshall.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "quorworkflow.h"
#include "text.h"
#include "transform.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

constexpr char kDatagram[] = "ZVRDatagram";

void _logDisplay(const std::string& title, char* text) {
  trc::Scope trace(kTrace);
  zvrWriteLog((title + (text ? text : "")).c_str());
  delete[] text;
}

// ZVRS0012 with, under ZVRverbose, the request's body dumped; an error already pending
// (the marshaller's own) is kept instead.
void _marshallFailed(const QuorRequest& request) {
  trc::Scope trace(kTrace);
  if (ZVRerror) return;
  auto* error = new ErrorADT(ZVRID_S0012, kZvrError, ZVRTXT_S0012);
  if (ZVRverbose) {
    const QLXMSG& msg = request.descriptor();
    const unsigned long readable = msg.MsgBuffer.Data == nullptr ? 0
                                   : msg.MsgLength < msg.MsgBuffer.Length ? msg.MsgLength
                                                                          : msg.MsgBuffer.Length;
    std::string dump = zvrDumpHex(msg.MsgBuffer.Data, readable);
    error->addInfo("Transformed Buffer follows:", dump.c_str(),
                   static_cast<unsigned>(dump.size()));
  }
  zvrSetError(error);
}

}  // namespace

TBCService::TBCService(const char* name, const char* title)
    : BrokerService(name), title_(title ? title : "") {
  trc::Scope trace(kTrace);
}

TBCService::~TBCService() {
  trc::Scope trace(kTrace);
  transform_.reset();
}

int TBCService::display(char*& text) const {
  trc::Scope trace(kTrace);
  char* base = nullptr;
  BrokerService::display(base);
  std::string out =
      zvrFormat("%s\nInclude QLXMSG header: %s", base ? base : "", includeHeader_ ? "Yes" : "No");
  delete[] base;
  return trace.result(zvrNewText(out, text));
}

int TBCService::getOptions(int& index, int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  if (BrokerService::getOptions(index, argc, argv)) return trace.result(1);
  const char* arg = argv[index];
  if (std::strcmp(arg, "-nosync") == 0)
    syncType_ = 0;
  else if (std::strcmp(arg, "-required") == 0)
    alwaysTransform_ = 0;
  else if (std::strcmp(arg, "-hdr") == 0)
    includeHeader_ = 1;
  else
    return trace.result(0);
  return trace.result(1);
}

int TBCService::validOptions() {
  trc::Scope trace(kTrace);
  return trace.result(BrokerService::validOptions());
}

void TBCService::usage(const char* program) const {
  trc::Scope trace(kTrace);
  BrokerService::usage(program);
  std::cerr << " [ -nosync ] [ -hdr ]";
}

void TBCService::initialize() {
  trc::Scope trace(kTrace);
  helloWorld(title_);
  char* text = nullptr;
  display(text);
  _logDisplay("", text);
  if (!initQuor()) std::exit(1);
  if (!initTrans()) std::exit(1);
  zvrWriteLog(zvrFormat("\n%s Initialized.", title_).c_str());
}

int TBCService::processMessageAndReply(const QuorRequest& request) {
  trc::Scope trace(kTrace);
  if (checkForPoison(request.backoutCount(), request)) return trace.result(1);
  std::unique_ptr<Marshall> marshalled(marshall(request));
  void* output = nullptr;
  unsigned long length = 0;
  const int done = _do_transform(marshalled.get(), request, output, length);
  if (done == kPassThrough) return trace.result(_forward(request));
  if (!done) return trace.result(handleError(request));
  // An empty output puts nothing: the request is consumed by the commit.
  if (!validTransform(length)) return trace.result(1);
  process_buffer(output, length, marshalled.get(), request);
  return trace.result(1);
}

int TBCService::_do_transform(const Marshall* marshalled, const QuorRequest& request,
                              void*& buffer, unsigned long& length) {
  trc::Scope trace(kTrace);
  std::unique_ptr<QuorWorkflowComponent> hop;
  if (!request.isAtEndOfWorkflow()) {
    hop.reset(QuorWorkflowComponent::createWorkflowComponent(request, element_->handle(),
                                                             element_->directoryHandle()));
    if (!hop) return trace.result(0);
  }
  if (!alwaysTransform_ && hop && hop->acceptFormat(request.formatName()))
    return trace.result(kPassThrough);
  if (marshalled == nullptr) {
    _marshallFailed(request);
    return trace.result(0);
  }
  if (ZVRdebug) {
    char* text = nullptr;
    marshalled->display(text);
    _logDisplay("\nMarshalled Request follows:", text);
  }
  assert(transform_ && "initTrans makes the transform object before the first request");
  const char* destination = hop ? hop->name() : kDatagram;
  if (!transform_->transform(destination, request.formatName(), destination,
                             marshalled->buffer(), marshalled->length(), buffer, length))
    return trace.result(0);
  if (ZVRdebug)
    zvrWriteLog(("\nMarshalled Response follows:" + zvrDumpHex(buffer, length)).c_str());
  return trace.result(1);
}

// The request goes on as it came: the response is made from its own message and tag, so
// the next hop, which accepts the request's format, receives exactly what was sent.
int TBCService::_forward(const QuorRequest& request) {
  trc::Scope trace(kTrace);
  std::unique_ptr<QuorResponse> response(request.createResponse());
  if (!response || !element_->putResponse(response.get()))
    return trace.result(handleError(request));
  _closeTheme(*response);
  return trace.result(1);
}

void TBCService::_closeTheme(const QuorResponse& response) const {
  trc::Scope trace(kTrace);
  QLXHANDLE theme = static_cast<QLXHANDLE>(response.theme());
  qlxCloseHandle(static_cast<QLXHANDLE>(element_->handle()), &theme);
}
