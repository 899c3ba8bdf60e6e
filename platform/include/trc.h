// Trace facility of the middleware platform.
//
// Every function of the system opens with one guard line that emits an entry event and,
// when the scope ends, an exit event. Levels are set per module by the platform (the
// embedded middleware reads them once, at start-up, from QLX_TRACE, for example
// "zvrutil=0xC0,*=0x40"). While a module's level lacks a bit, a trace point of that kind
// costs one test of a word already in memory. Trace points never change behaviour.
#ifndef TRC_H
#define TRC_H

#include <type_traits>

extern "C" {

// Level bits the system uses.
enum { TRC_LEVEL_EVENT = 0x40, TRC_LEVEL_PRINTF = 0x80 };

// The level word of a module (0 when tracing is off for it). Reads the configuration once
// per process.
unsigned TRC1_Sync(const char* module);

// One entry or exit event. `event` is "entry" or "exit"; `hasResult` tells whether
// `result` carries the function's result.
void TRC1_Event(const char* module, const char* function, const char* event, int hasResult,
                long result);

// One formatted trace line (printf format).
void TRC1_Printf(const char* module, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // extern "C"

namespace trc {

// One per source file: `static trc::Module kTrace{"zvrutil"};`. The name must outlive
// the module object (a literal).
struct Module {
  explicit Module(const char* moduleName) : name(moduleName), level(TRC1_Sync(moduleName)) {}
  bool events() const { return (level & TRC_LEVEL_EVENT) != 0; }
  bool printfs() const { return (level & TRC_LEVEL_PRINTF) != 0; }
  const char* const name;
  const unsigned level;
};

// Entry event on construction, exit event on destruction. `result(v)` records the value
// that the exit event carries.
class Scope {
 public:
  // `function` defaults to the name of the function the guard stands in (a builtin that
  // both GCC and clang offer, where std::source_location is not yet available to clang).
  explicit Scope(const Module& module, const char* function = __builtin_FUNCTION())
      : module_(module), function_(function) {
    if (module_.events()) TRC1_Event(module_.name, function_, "entry", 0, 0);
  }
  ~Scope() {
    if (module_.events()) TRC1_Event(module_.name, function_, "exit", hasResult_, result_);
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  // Returns `value` so that `return trace.result(x);` reads naturally.
  template <typename T>
  T result(T value) {
    hasResult_ = 1;
    if constexpr (std::is_pointer_v<T>)
      result_ = reinterpret_cast<long>(value);
    else
      result_ = static_cast<long>(value);
    return value;
  }

 private:
  const Module& module_;
  const char* const function_;
  int hasResult_ = 0;
  long result_ = 0;
};

}  // namespace trc

#endif  // TRC_H
