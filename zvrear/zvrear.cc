// The error-action exit: the entry point with its definition record, the three functions
// the middleware calls through the record's table, and the seven rules that adjust the
// actions of one error profile. The tables themselves are in zvrear_profiles.cc.
#include "zvrear.h"

#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrear"};

extern "C" {
constexpr QLXEXITFUNCS zvrEARFuncs = {zvrEARInit, zvrEARTerm, zvrEARAnalyse};
}

namespace {

// The classification words are the middleware's; they are handed back as they stand.
constexpr QLXEXITDEF kDefinition = {{'X', 'C', 'X', 'T'}, 1, {5, 3, 1, 1, 2, 3}, &zvrEARFuncs};

// The shape of rules 1 to 6: an entry bit that clears one action wins over the entry bit
// that sets it, and the set is skipped when the detail's flags carry `unless`.
uint32_t clearOrSet(uint32_t a, uint32_t e, uint32_t f, uint32_t clearWhen, uint32_t setWhen,
                    uint32_t unless, uint32_t bit) {
  trc::Scope trace(kTrace);
  if (e & clearWhen) return trace.result(a & ~bit);
  if ((e & setWhen) && !(f & unless)) return trace.result(a | bit);
  return trace.result(a);
}

uint32_t rule1(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x2, 0x1, 0, 0x8));
}

uint32_t rule2(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x8, 0x4, kQlxExcDtlNoLog, 0x4));
}

uint32_t rule3(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x80, 0x40, kQlxExcDtlNoStore, 0x2));
}

uint32_t rule4(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x800, 0x400, kQlxExcDtlNoStore, 0x40));
}

uint32_t rule5(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x20, 0x10, kQlxExcDtlNoAlert, 0x1));
}

uint32_t rule6(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  return trace.result(clearOrSet(a, e, f, 0x200, 0x100, 0, 0x10));
}

// A profile left with no action at all is told apart from "not adjusted" by the value 32,
// which the service programs accept as agreeing with whatever they requested.
uint32_t rule7(uint32_t a, uint32_t e, uint32_t) {
  trc::Scope trace(kTrace);
  if ((e & 0x1000) || a == 0) return trace.result(kZvrEARAllCleared);
  return trace.result(a);
}

using Rule = uint32_t (*)(uint32_t a, uint32_t e, uint32_t f);
constexpr Rule kRules[] = {rule1, rule2, rule3, rule4, rule5, rule6, rule7};

uint32_t applyRules(uint32_t a, uint32_t e, uint32_t f) {
  trc::Scope trace(kTrace);
  for (Rule rule : kRules) a = rule(a, e, f);
  return trace.result(a);
}

// Every table ends with reason code 0, so the walk always stops inside it.
const ZVREARPROFILE* findEntry(const ZVREARPROFILE* table, int32_t reason) {
  trc::Scope trace(kTrace);
  while (table->ReasonCode != reason && table->ReasonCode != 0) ++table;
  return trace.result(table);
}

}  // namespace

extern "C" {

int qlxExitEntry(void** definition) {
  trc::Scope trace(kTrace);
  if (!definition) return trace.result(0);
  // The middleware only reads the record; the slot's type is fixed as void*.
  *definition = const_cast<QLXEXITDEF*>(&kDefinition);
  return trace.result(1);
}

int zvrEARInit(QLXXCTL* xctl, QLXCONFIG*, unsigned long) {
  trc::Scope trace(kTrace);
  if (!xctl || !xctl->Services || !xctl->Services->Allocate) return trace.result(0);
  void* area = nullptr;
  const int allocated = xctl->Services->Allocate(xctl->Handle, 0, sizeof(QLXERRPROFILE), &area);
  // A service that claims success without storage leaves the exit without a work area
  // rather than with a null one it would write through.
  if (allocated == 0 || area == nullptr) return trace.result(0);
  std::memset(area, 0, sizeof(QLXERRPROFILE));
  xctl->WorkArea = area;
  return trace.result(allocated);
}

int zvrEARTerm(QLXXCTL* xctl, unsigned long) {
  trc::Scope trace(kTrace);
  if (!xctl || !xctl->WorkArea) return trace.result(0);
  if (xctl->Services && xctl->Services->Release)
    xctl->Services->Release(xctl->Handle, xctl->WorkArea);
  xctl->WorkArea = nullptr;
  return trace.result(0);
}

int zvrEARAnalyse(QLXXCTL* xctl, QLXEXCDTL* detail, QLXEXCACT* action) {
  trc::Scope trace(kTrace);
  if (!xctl) return trace.result(0);
  if (action) action->Flags = 0;
  if (!detail || !detail->Exception) return trace.result(0);
  const QLXEXCEPTION& exception = *detail->Exception;
  // A negative call type reads as a large unsigned one and so counts as unknown.
  const unsigned long callType = static_cast<uint32_t>(exception.CallType);
  const ZVREARPROFILE* table = DefProfile;
  const int known = zvrEARLocateTable(xctl, callType, detail, &table);
  zvrEARProcessProfile(xctl, detail, findEntry(table, exception.Error.Reason.Code), action);
  return trace.result(known);
}

void zvrEARProcessProfile(QLXXCTL* xctl, QLXEXCDTL* detail, const ZVREARPROFILE* entry,
                          QLXEXCACT* action) {
  trc::Scope trace(kTrace);
  // Without a work area there is nowhere of the exit's own to put the copy; the flags stay
  // clear and the middleware applies the element's profile as it is.
  if (!xctl || !xctl->WorkArea || !detail || !detail->Profile || !entry || !action) {
    if (kTrace.printfs()) TRC1_Printf(kTrace.name, "No work area or profile: not adjusted.");
    return;
  }
  const QLXERRPROFILE* profile = detail->Profile;
  auto* copy = static_cast<QLXERRPROFILE*>(xctl->WorkArea);
  if (kTrace.printfs())
    TRC1_Printf(kTrace.name, "ErrProfile Actions = %ld", static_cast<long>(profile->Actions));
  // memmove: the middleware may hand back the copy made for the previous failure.
  std::memmove(copy, profile, sizeof(QLXERRPROFILE));
  copy->Actions = applyRules(copy->Actions, entry->Actions, detail->Flags);
  if (kTrace.printfs()) {
    TRC1_Printf(kTrace.name, "ErrProfile Actions = %ld", static_cast<long>(profile->Actions));
    TRC1_Printf(kTrace.name, "pProfile Actions = %ld", static_cast<long>(copy->Actions));
  }
  action->Flags |= kQlxExcActProfile;
  action->Profile = copy;
}

}  // extern "C"
