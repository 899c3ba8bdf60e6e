// The profile tables of the error-action exit and the choice of a table for a failed call.
//
// One table per call type of the middleware. An entry holds a reason code and the entry
// actions for failures with that reason code; the walk stops at the first entry whose
// reason code matches or is 0, so every table ends with reason code 0 and the actions
// that serve every reason code it does not list. What the actions do is decided by the
// rules in zvrear.cc: 0xAA0 clears the profile's actions 0x1, 0x2, 0x10 and 0x40 and keeps
// 0x4 and 0x8; 0xAAA clears all six (a profile left with none gets 32); 0xAA8 keeps only
// 0x8; 0x200 clears only 0x10.
#include <cstdint>
#include <iterator>

#include "trc.h"
#include "zvrear.h"

static trc::Module kTrace{"zvrear"};

extern "C" {

// Call type 0.
constexpr ZVREARPROFILE ApplicationProfile[] = {{0, 0x200}};
// Call type 1.
constexpr ZVREARPROFILE PutReqProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {28, 0xA20}, {29, 0xAAA},
                                           {30, 0xA20}, {31, 0xA20}, {40, 0xA20}, {45, 0xA20},
                                           {53, 0xA20}, {60, 0xAAA}, {61, 0xAAA}, {68, 0xA20},
                                           {74, 0xAAA}, {75, 0xAAA}, {0, 0xAA0}};
// Call type 2.
constexpr ZVREARPROFILE GetReqProfile[] = {{16, 0xAAA}, {20, 0xAAA}, {22, 0xAAA}, {23, 0xAA8},
                                           {24, 0x22A}, {25, 0x2A0}, {29, 0xAAA}, {32, 0xAAA},
                                           {33, 0xAAA}, {49, 0x2A0}, {61, 0x2AA}, {65, 0x280},
                                           {66, 0x280}, {73, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 2 when the failed get was a peek.
constexpr ZVREARPROFILE GetReqPeekProfile[] = {{0, 0xAA0}};
// Call type 3.
constexpr ZVREARPROFILE PutRspProfile[] = {
    {2, 0xA20},  {3, 0xA20},  {5, 0xA20},  {7, 0xA20},  {9, 0xA20},  {11, 0xA20}, {16, 0xAAA},
    {23, 0xAA8}, {28, 0xA00}, {30, 0xA00}, {31, 0xA00}, {40, 0xA00}, {45, 0xA00}, {46, 0xA20},
    {53, 0xA00}, {60, 0xA00}, {61, 0xA20}, {65, 0xA00}, {66, 0xA00}, {67, 0xA80}, {68, 0xA00},
    {69, 0xA00}, {70, 0xA00}, {74, 0xAAA}, {75, 0xA00}, {0, 0xAA0}};
// Call type 4.
constexpr ZVREARPROFILE GetRspProfile[] = {
    {16, 0xAAA}, {20, 0xAAA}, {21, 0xAAA}, {22, 0xAAA}, {23, 0xAA8}, {24, 0x2AA},
    {25, 0x2A0}, {29, 0xAAA}, {33, 0xAAA}, {48, 0xAAA}, {49, 0x2A0}, {61, 0x2AA},
    {65, 0x280}, {66, 0x280}, {73, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 4 when the failed get was a peek.
constexpr ZVREARPROFILE GetRspPeekProfile[] = {{0, 0xAA0}};
// Call type 5.
constexpr ZVREARPROFILE BridgePutProfile[] = {{0, 0xAA0}};
// Call type 6.
constexpr ZVREARPROFILE BridgeGetProfile[] = {{0, 0xAA0}};
// Call type 7.
constexpr ZVREARPROFILE PutExceptionProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {29, 0xAAA}, {60, 0xAAA},
                                                 {61, 0xAAA}, {74, 0xAAA}, {75, 0xAAA}, {0, 0xAA0}};
// Call type 8.
constexpr ZVREARPROFILE InitializeProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {62, 0xAAA},
                                               {64, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 9.
constexpr ZVREARPROFILE TerminateProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 10.
constexpr ZVREARPROFILE CommitProfile[] = {
    {11, 0xAAA}, {16, 0xAAA}, {23, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 11.
constexpr ZVREARPROFILE RollbackProfile[] = {
    {11, 0xAAA}, {16, 0xAAA}, {23, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 12.
constexpr ZVREARPROFILE FreeBufferProfile[] = {{16, 0xAAA}, {29, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 13.
constexpr ZVREARPROFILE CloseHandleProfile[] = {
    {16, 0xAAA}, {23, 0xAA8}, {29, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 14.
constexpr ZVREARPROFILE InterpretMsgProfile[] = {{0, 0xAA0}};
// Call type 15.
constexpr ZVREARPROFILE WriteLogProfile[] = {{16, 0xAAA}, {23, 0xAAA}, {29, 0xAAA},
                                             {41, 0xAAA}, {44, 0xAAA}, {46, 0xAA8},
                                             {48, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 16.
constexpr ZVREARPROFILE SendAlertProfile[] = {{16, 0xAAA}, {29, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 17.
constexpr ZVREARPROFILE OpenStorageQProfile[] = {{0, 0xAA0}};
// Call type 18.
constexpr ZVREARPROFILE CloseStorageQProfile[] = {{0, 0xAA0}};
// Call type 19.
constexpr ZVREARPROFILE DeleteStorageQProfile[] = {{0, 0xAA0}};
// Call type 20.
constexpr ZVREARPROFILE PutToStorageQProfile[] = {{0, 0xAA0}};
// Call type 21.
constexpr ZVREARPROFILE GetFromStorageQProfile[] = {{0, 0xAA0}};
// Call type 22.
constexpr ZVREARPROFILE QueryThemeProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 23.
constexpr ZVREARPROFILE BuildThemeProfile[] = {
    {16, 0xAAA}, {29, 0xAAA}, {60, 0xAAA}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 24.
constexpr ZVREARPROFILE PurgeQToEMSProfile[] = {{0, 0xAA0}};
// Call type 25.
constexpr ZVREARPROFILE ReportErrorProfile[] = {{0, 0xAA0}};
// Call type 26.
constexpr ZVREARPROFILE QueryContextProfile[] = {{16, 0xAAA}, {23, 0xAA8}, {74, 0xAAA}, {0, 0xAA0}};
// Call type 27.
constexpr ZVREARPROFILE SetLDAPServiceProfile[] = {{0, 0xAA0}};

// Call types of 28 and above.
constexpr ZVREARPROFILE DefProfile[] = {{0, 0xAA0}};

}  // extern "C"

namespace {

// Indexed by call type.
constexpr const ZVREARPROFILE* kTables[] = {
    ApplicationProfile,   PutReqProfile,          GetReqProfile,        PutRspProfile,
    GetRspProfile,        BridgePutProfile,       BridgeGetProfile,     PutExceptionProfile,
    InitializeProfile,    TerminateProfile,       CommitProfile,        RollbackProfile,
    FreeBufferProfile,    CloseHandleProfile,     InterpretMsgProfile,  WriteLogProfile,
    SendAlertProfile,     OpenStorageQProfile,    CloseStorageQProfile, DeleteStorageQProfile,
    PutToStorageQProfile, GetFromStorageQProfile, QueryThemeProfile,    BuildThemeProfile,
    PurgeQToEMSProfile,   ReportErrorProfile,     QueryContextProfile,  SetLDAPServiceProfile,
};
static_assert(std::size(kTables) == kZvrEARCallTypes);

// A table without its closing reason code 0 would let the walk run off its end; reading
// past an array is not a constant expression, so such a table fails to compile here.
constexpr bool closed(const ZVREARPROFILE* table) {
  while (table->ReasonCode != 0) ++table;
  return true;
}
constexpr bool allClosed() {
  for (const ZVREARPROFILE* table : kTables)
    if (!closed(table)) return false;
  return closed(GetReqPeekProfile) && closed(GetRspPeekProfile) && closed(DefProfile);
}
static_assert(allClosed());

}  // namespace

extern "C" int zvrEARLocateTable(QLXXCTL*, unsigned long callType, QLXEXCDTL* detail,
                                 const ZVREARPROFILE** table) {
  trc::Scope trace(kTrace);
  if (callType >= kZvrEARCallTypes) {
    if (kTrace.printfs()) TRC1_Printf(kTrace.name, "CallType is unknown.");
    return trace.result(0);
  }
  const bool peek = detail && (detail->Flags & kQlxExcDtlPeek) != 0;
  const ZVREARPROFILE* chosen = kTables[callType];
  if (peek && callType == kQlxCallGetRequest) chosen = GetReqPeekProfile;
  if (peek && callType == kQlxCallGetResponse) chosen = GetRspPeekProfile;
  if (table) *table = chosen;
  return trace.result(1);
}
