// Fault injection: rows of the fault table make the next calls of a kind fail with a
// chosen reason (and sub-reason), for connections of one name or of any name, a number of
// times. `qlxadm fault` and the tests add them; every call of the broker takes one before
// doing its work.
#ifndef QLX_FAULTS_H
#define QLX_FAULTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qlx {

class Store;

struct FaultKind {
  const char* name;  // as given to `qlxadm fault`
  int32_t callType;  // as the exception record and the exit see it
};

// Every kind of call that can be made to fail.
const std::vector<FaultKind>& faultKinds();
const FaultKind* findFaultKind(std::string_view name);

struct Fault {
  int64_t id = 0;
  std::string call;
  int32_t reason = 0;
  std::optional<int32_t> subReason;
  int64_t remaining = 0;
  std::optional<std::string> name;  // none: any connection
};

// Takes one pending fault for `call` and connection `name` (counting it down). True with
// `fault` filled when one applies.
bool takeFault(Store& store, const char* call, std::string_view name, Fault& fault);

bool addFault(Store& store, const Fault& fault, std::string& error);
bool listFaults(Store& store, std::vector<Fault>& faults, std::string& error);
bool clearFaults(Store& store, std::string& error);
// Tells calls that the fault table need not be read (after it was emptied).
void forgetFaultMarker(Store& store);

}  // namespace qlx

#endif  // QLX_FAULTS_H
