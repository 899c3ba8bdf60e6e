#include "quorworkflow.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

namespace {
trc::Module kTrace{"zvrutil"};

constexpr const char* kNativeName = "ZVRNative";

// The name at `offset` of the next-hop record: up to its terminator, its area's end or the
// data's end.
std::string readName(const unsigned char* record, size_t length, size_t offset) {
  trc::Scope trace(kTrace);
  if (offset >= length) return std::string();
  const size_t area = std::min<size_t>(kNextHopNameArea, length - offset);
  const auto* start = reinterpret_cast<const char*>(record + offset);
  return std::string(start, strnlen(start, area));
}

// Stores a workflow error as ZVRerror, with the request under ZVRverbose.
void workflowError(ErrorADT* error, const QuorRequest& request) {
  trc::Scope trace(kTrace);
  if (ZVRverbose) {
    char* text = nullptr;
    const int length = request.display(text);
    error->addInfo("Quor Request follows:", text, static_cast<unsigned>(length));
    delete[] text;
  }
  zvrSetError(error);
}
}  // namespace

ZvrWorkflowRead zvrReadNextHop(const unsigned char* data, size_t length, ZvrNextHop& hop) {
  trc::Scope trace(kTrace);
  uint32_t remaining = 0;
  if (!zvrLoad32(data, length, kWorkflowRemaining, remaining)) return trace.result(kWorkflowShort);
  hop.remaining = static_cast<int32_t>(remaining);
  if (hop.remaining < 1) return trace.result(kWorkflowEnded);
  if (!zvrLoad32(data, length, kWorkflowNextHop + kNextHopType, hop.type))
    return trace.result(kWorkflowShort);
  const unsigned char* record = data + kWorkflowNextHop;
  const size_t recordLength = length - kWorkflowNextHop;
  hop.clientName = readName(record, recordLength, kNextHopClientName);
  hop.componentName = readName(record, recordLength, kNextHopComponentName);
  return trace.result(kWorkflowOk);
}

QuorWorkflowComponent* QuorWorkflowComponent::createWorkflowComponent(const QuorRequest& request,
                                                                      const unsigned long handle,
                                                                      const void* directory) {
  trc::Scope trace(kTrace);
  const auto connection = static_cast<QLXHANDLE>(handle);
  QLXBUFFER result{0, 0, nullptr};
  QuorWorkflowComponent* hop = nullptr;
  ZvrThemeItem item;
  ZvrNextHop next;
  if (!qlxQueryTheme(connection, static_cast<QLXHANDLE>(request.theme()), kQlxQueryWorkflow,
                     &result)) {
    workflowError(new QuorError(ZVRID_D0001, kZvrError, ZVRTXT_D0001, ZVRUA_D0001), request);
  } else if (!zvrFindThemeItem(result.Data, result.Length, kQlxItemWorkflow, item)) {
    // The middleware always lists a workflow; a list without one is a failed look-up.
    workflowError(new QuorError(ZVRID_D0001, kZvrError, ZVRTXT_D0001, ZVRUA_D0001), request);
  } else if (zvrReadNextHop(item.data, item.length, next) != kWorkflowOk) {
    workflowError(new QuorError(ZVRID_D0002, kZvrError, ZVRTXT_D0002, ZVRUA_D0002), request);
  } else {
    hop = _fromNextHop(next, const_cast<void*>(directory), request);
  }
  zvrReleaseBuffer(connection, result);
  return trace.result(hop);
}

QuorWorkflowComponent* QuorWorkflowComponent::_fromNextHop(const ZvrNextHop& next, void* directory,
                                                           const QuorRequest& request) {
  trc::Scope trace(kTrace);
  switch (next.type) {
    case kHopBusinessComponent:
      return trace.result(new QuorWorkflowComponent(next.componentName.c_str(), directory));
    case kHopClient:
      return trace.result(new QuorWorkflowClient(next.clientName.c_str(), directory));
    case kHopNative:
    case kHopNativeOther:
      return trace.result(static_cast<QuorWorkflowComponent*>(new QuorWorkflowNative()));
    default:
      workflowError(new QuorError(ZVRID_D0007, kZvrError,
                                  zvrFormat(ZVRTXT_D0007, next.type).c_str(), ZVRUA_D0007),
                    request);
      return trace.result(static_cast<QuorWorkflowComponent*>(nullptr));
  }
}

QuorWorkflowComponent::QuorWorkflowComponent(const char* name, void* directory)
    : QuorDirectory(directory), name_(name ? name : "") {
  trc::Scope trace(kTrace);
}

QuorWorkflowComponent::~QuorWorkflowComponent() { trc::Scope trace(kTrace); }

const char* QuorWorkflowComponent::name() const {
  trc::Scope trace(kTrace);
  return name_.c_str();
}

int QuorWorkflowComponent::acceptFormat(const char* formatName) const {
  trc::Scope trace(kTrace);
  qlxBusinessComponent entry;
  if (_lookupEntry(name(), qlxEntryBusinessComponent, entry))
    return trace.result(entry.isValidMsgType(formatName ? formatName : ""));
  QuorError(ZVRID_D0004, kZvrWarning, zvrFormat(ZVRTXT_D0004, name()).c_str(), ZVRUA_D0004, stError)
      .writeLog();
  return trace.result(0);
}

QuorWorkflowClient::QuorWorkflowClient(const char* name, void* directory)
    : QuorWorkflowComponent(name, directory) {
  trc::Scope trace(kTrace);
}

QuorWorkflowClient::~QuorWorkflowClient() { trc::Scope trace(kTrace); }

int QuorWorkflowClient::acceptFormat(const char* formatName) const {
  trc::Scope trace(kTrace);
  qlxClient entry;
  if (_lookupEntry(name(), qlxEntryClient, entry))
    return trace.result(entry.isValidMsgType(formatName ? formatName : ""));
  QuorError(ZVRID_D0005, kZvrWarning, zvrFormat(ZVRTXT_D0005, name()).c_str(), ZVRUA_D0005, stError)
      .writeLog();
  return trace.result(0);
}

QuorWorkflowNative::QuorWorkflowNative() : QuorWorkflowComponent(kNativeName, nullptr) {
  trc::Scope trace(kTrace);
}

QuorWorkflowNative::~QuorWorkflowNative() { trc::Scope trace(kTrace); }

int QuorWorkflowNative::acceptFormat(const char*) const {
  trc::Scope trace(kTrace);
  return trace.result(0);
}
