// An error-action exit for the broker's tests. It records every call in the file named by
// QLX_TEST_EXIT_LOG and performs the default actions with the store bit (0x1) cleared and
// the log bit (0x4) set, so a test can tell its decision from the defaults.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qlx.h"

namespace {

void note(const char* format, long a, long b, long c) {
  const char* path = std::getenv("QLX_TEST_EXIT_LOG");
  if (!path) return;
  FILE* out = std::fopen(path, "a");
  if (!out) return;
  std::fprintf(out, format, a, b, c);
  std::fputc('\n', out);
  std::fclose(out);
}

int init(QLXXCTL* ctl, QLXCONFIG*, unsigned long) {
  void* area = nullptr;
  if (!ctl || !ctl->Services || !ctl->Services->Allocate) return 0;
  int ok = ctl->Services->Allocate(ctl->Handle, 0, kQlxErrProfileSize, &area);
  if (ok && area) ctl->WorkArea = area;
  note("init %ld %ld %ld", ok, area != nullptr, 0);
  return ok;
}

int term(QLXXCTL* ctl, unsigned long) {
  if (ctl && ctl->WorkArea) {
    ctl->Services->Release(ctl->Handle, ctl->WorkArea);
    ctl->WorkArea = nullptr;
  }
  note("term %ld %ld %ld", 0, 0, 0);
  return 0;
}

int analyse(QLXXCTL* ctl, QLXEXCDTL* detail, QLXEXCACT* action) {
  if (!ctl || !ctl->WorkArea || !detail || !detail->Exception || !detail->Profile) return 0;
  auto* profile = static_cast<QLXERRPROFILE*>(ctl->WorkArea);
  std::memcpy(profile, detail->Profile, sizeof *profile);
  profile->Actions = (profile->Actions & ~kQlxActionStore) | kQlxActionLog;
  action->Flags = kQlxExcActProfile;
  action->Profile = profile;
  note("analyse %ld %ld %ld", detail->Exception->CallType,
       detail->Exception->Error.Reason.Code, static_cast<long>(profile->Actions));
  return 1;
}

const QLXEXITFUNCS kFunctions = {init, term, analyse};
const QLXEXITDEF kDefinition = {{'X', 'C', 'X', 'T'}, 1, {5, 3, 1, 1, 2, 3}, &kFunctions};

}  // namespace

extern "C" __attribute__((visibility("default"))) int qlxExitEntry(void** definition) {
  *definition = const_cast<QLXEXITDEF*>(&kDefinition);
  return 1;
}
