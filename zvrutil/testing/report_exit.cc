// An error-action exit for tests: it replaces the actions of every analysed failure with
// the number in the environment variable ZVR_TEST_EXIT_ACTIONS (read at each call), or
// leaves the profile alone while the variable is unset. Loaded by the embedded broker
// from the path an element's directory entry names.
#include <cstdlib>

#include "qlx.h"

namespace {

QLXERRPROFILE gProfile{};

int init(QLXXCTL*, QLXCONFIG*, unsigned long) { return 1; }
int term(QLXXCTL*, unsigned long) { return 1; }

int analyse(QLXXCTL*, QLXEXCDTL* detail, QLXEXCACT* action) {
  const char* actions = std::getenv("ZVR_TEST_EXIT_ACTIONS");
  if (!actions || !detail || !detail->Profile || !action) return 1;
  gProfile = *detail->Profile;
  gProfile.Actions = static_cast<uint32_t>(std::strtoul(actions, nullptr, 0));
  action->Flags |= kQlxExcActProfile;
  action->Profile = &gProfile;
  return 1;
}

const QLXEXITFUNCS kFunctions = {init, term, analyse};
const QLXEXITDEF kDefinition = {{'X', 'C', 'X', 'T'}, 1, {5, 3, 1, 1, 2, 3}, &kFunctions};

}  // namespace

extern "C" __attribute__((visibility("default"))) int qlxExitEntry(void** definition) {
  *definition = const_cast<QLXEXITDEF*>(&kDefinition);
  return 1;
}
