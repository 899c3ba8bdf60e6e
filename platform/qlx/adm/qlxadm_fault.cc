// qlxadm fault: fault injection.
#include <cstdint>
#include <iostream>

#include "admin.h"
#include "qlxadm.h"

namespace qlx::adm {
namespace {

int faultList(BrokerStore& store) {
  std::vector<Fault> faults;
  std::string error;
  if (!store.listFaults(faults, error)) return complain(1, error);
  for (const Fault& f : faults)
    std::cout << f.call << " reason " << f.reason
              << (f.subReason ? " sub-reason " + std::to_string(*f.subReason) : "")
              << " for " << (f.name ? *f.name : "any connection") << ", " << f.remaining
              << " more\n";
  if (faults.empty()) std::cout << "no faults pending\n";
  return 0;
}

std::string kindNames() {
  std::string names;
  for (const FaultKind& kind : faultKinds()) names += std::string(names.empty() ? "" : ", ") + kind.name;
  return names;
}

// Parses CALL REASON [SUBREASON] [--count N] [--for NAME].
bool parseFault(const Args& args, Fault& fault, std::string& error) {
  std::vector<std::string> words;
  long long count = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--count" || args[i] == "--for") && i + 1 >= args.size()) {
      error = args[i] + " needs a value";
      return false;
    }
    if (args[i] == "--count") {
      if (!parseNumber(args[++i], count) || count < 1) return (error = "--count needs a number above 0"), false;
    } else if (args[i] == "--for") {
      fault.name = args[++i];
    } else {
      words.push_back(args[i]);
    }
  }
  long long reason = 0, sub = 0;
  if (words.size() < 2 || words.size() > 3) return (error = "fault takes CALL REASON [SUBREASON]"), false;
  if (!findFaultKind(words[0])) return (error = "unknown call " + words[0] + "; one of " + kindNames()), false;
  if (!parseNumber(words[1], reason) || (words.size() == 3 && !parseNumber(words[2], sub)))
    return (error = "REASON and SUBREASON are numbers"), false;
  // Reason codes travel in 32-bit fields: a bigger number would arrive as another code.
  if (reason < 1 || reason > INT32_MAX || sub < 0 || sub > INT32_MAX)
    return (error = "REASON must be from 1 and SUBREASON from 0, each up to 2147483647"), false;
  if (fault.name && !checkName("connection", *fault.name, error)) return false;
  fault.call = words[0];
  fault.reason = static_cast<int32_t>(reason);
  if (words.size() == 3) fault.subReason = static_cast<int32_t>(sub);
  fault.remaining = count;
  return true;
}

}  // namespace

int fault(const Args& args) {
  std::unique_ptr<BrokerStore> store = makeBrokerStore();
  std::string error;
  const bool list = args.size() == 1 && args[0] == "list";
  const bool clear = args.size() == 1 && args[0] == "clear";
  Fault f;
  // The command line is checked before the home is opened: a refused one changes nothing.
  if (!list && !clear && !parseFault(args, f, error))
    return complain(2, error + " (see qlxadm --help)");
  if (!store->open(error)) return complain(1, error);
  if (list) return faultList(*store);
  if (clear) return store->clearFaults(error) ? 0 : complain(1, error);
  if (!store->addFault(f, error)) return complain(1, error);
  std::cout << "the next " << f.remaining << " " << f.call << " call(s)"
            << (f.name ? " of " + *f.name : "") << " fail with reason " << f.reason << "\n";
  return 0;
}

}  // namespace qlx::adm
