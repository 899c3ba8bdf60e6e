// Fault injection: rows of the fault table make the next calls of a kind fail with a
// chosen reason (and sub-reason), for connections of one name or of any name, a number of
// times. `qlxadm fault` and the tests add them; every call of the broker takes one before
// doing its work (the store keeps them: BrokerStore::takeFault).
#ifndef QLX_FAULTS_H
#define QLX_FAULTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qlx {

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

}  // namespace qlx

#endif  // QLX_FAULTS_H
