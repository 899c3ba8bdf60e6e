// Fault injection and exit consultation around directory reads.
#include "dirguard.h"

#include <cstring>
#include <string>

#include "connection.h"
#include "errors.h"
#include "faults.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// The handler arguments of the directory read in progress on this thread: the guard
// lends the read its own handler to learn the reason, then passes the call on.
struct HandlerCall {
  QLXXEXCFN original = nullptr;
  bool called = false;
  int32_t reason = 0;
  int32_t subReason = 0;
  std::string text;
};
thread_local HandlerCall* tCall = nullptr;

int captureHandler(unsigned long a1, unsigned long a2, unsigned long a3, unsigned long a4,
                   unsigned long a5, unsigned long a6, unsigned long a7, unsigned long a8,
                   unsigned long a9, unsigned long a10) {
  HandlerCall* call = tCall;
  if (!call) return static_cast<int>(a6);
  call->called = true;
  call->reason = static_cast<int32_t>(a1);
  call->subReason = static_cast<int32_t>(a2);
  const auto* text = reinterpret_cast<const char*>(a5);
  call->text = text ? std::string(text, strnlen(text, 200)) : std::string();
  if (call->original) return call->original(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
  return static_cast<int>(a6);
}

class GuardedDirectory final : public qlxDirInterface {
 public:
  GuardedDirectory(std::unique_ptr<qlxDirInterface> inner, Connection& connection)
      : inner_(std::move(inner)), connection_(connection) {}
  int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
          void* reserved) override;

 private:
  int _injected(QLXXCTL* ctl, const char* name, qlxEntryType type, const Fault& fault);
  void _showExit(int32_t reason, int32_t subReason, const std::string& text);

  std::unique_ptr<qlxDirInterface> inner_;
  Connection& connection_;
};

int GuardedDirectory::get(QLXXCTL* ctl, const char* name, qlxEntryType type,
                          qlxDirEntry& entry, void* reserved) {
  trc::Scope trace(kTrace);
  Fault fault;
  if (connection_.store->takeFault("directory", connection_.name, fault))
    return trace.result(_injected(ctl, name, type, fault));
  HandlerCall call;
  QLXXSERVICES lent{};
  QLXXSERVICES* saved = ctl ? ctl->Services : nullptr;
  if (ctl) {
    if (saved) lent = *saved;
    call.original = saved ? saved->ExceptionHandler : nullptr;
    lent.ExceptionHandler = captureHandler;
    ctl->Services = &lent;
  }
  HandlerCall* outer = tCall;
  tCall = &call;
  int found = inner_->get(ctl, name, type, entry, reserved);
  tCall = outer;
  if (ctl) ctl->Services = saved;
  if (!found && call.called) _showExit(call.reason, call.subReason, call.text);
  return trace.result(found);
}

int GuardedDirectory::_injected(QLXXCTL* ctl, const char* name, qlxEntryType type,
                                const Fault& fault) {
  const int32_t sub = fault.subReason ? *fault.subReason : 0;
  static const char kText[] = "injected directory fault";
  _showExit(fault.reason, sub, kText);
  if (ctl && ctl->Services && ctl->Services->ExceptionHandler) {
    static const char kEmpty[] = "";
    ctl->Services->ExceptionHandler(
        static_cast<unsigned long>(fault.reason), static_cast<unsigned long>(sub),
        static_cast<unsigned long>(type), reinterpret_cast<unsigned long>(name ? name : kEmpty),
        reinterpret_cast<unsigned long>(kText), 0, kQlxCallDirectory,
        reinterpret_cast<unsigned long>(ctl), 0, 0);
  }
  return 0;
}

void GuardedDirectory::_showExit(int32_t reason, int32_t subReason, const std::string& text) {
  failSub(kQlxCallDirectory, reason, subReason, "directory: %.180s", text.c_str());
  if (!connection_.exit.active()) return;
  QLXEXCEPTION exception = kQlxExceptionDefault;
  exception.Flags = kQlxExcError | kQlxExcText;
  std::memcpy(&exception.Error, &lastError(), sizeof exception.Error);
  exception.CallType = kQlxCallDirectory;
  exception.TextBuffer = QLXBUFFER{0, static_cast<uint32_t>(text.size()),
                                   const_cast<char*>(text.c_str())};
  exception.TextLength = static_cast<uint32_t>(text.size());
  consultExit(connection_, &exception, connection_.defaultActions, 0,
              "directory read failed with reason " + std::to_string(reason));
}

}  // namespace

std::unique_ptr<qlxDirInterface> guardDirectory(std::unique_ptr<qlxDirInterface> inner,
                                                Connection& connection) {
  return std::make_unique<GuardedDirectory>(std::move(inner), connection);
}

}  // namespace qlx
