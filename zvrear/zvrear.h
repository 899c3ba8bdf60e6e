// The error-action exit: a shared library that the middleware loads for a business element
// and calls whenever one of its calls fails for a program of this system. For each failure
// it takes the error profile the middleware would apply, decides from the failed call's
// type and the reason code which of the profile's actions must not be performed, and hands
// an adjusted copy back. The only entry point the library exports is qlxExitEntry; the
// middleware reaches Init, Term and Analyse through the function table of the definition
// record. Everything here is declared for the library's own files and its tests.
#ifndef ZVREAR_H
#define ZVREAR_H

#include <stdint.h>

#include "qlx.h"

extern "C" {

// One entry of a profile table: for failures with this reason code, the entry actions
// E that the rules of zvrEARProcessProfile apply to the profile's actions word. A table
// ends with reason code 0, whose actions serve every reason code the table does not list.
struct ZVREARPROFILE {
  int32_t ReasonCode;
  uint32_t Actions;
};
static_assert(sizeof(ZVREARPROFILE) == 8);

// Entry point looked up by name. Stores the address of the exit definition record
// ("XCXT", version 1, classification 5, 3, 1, 1, 2, 3, then &zvrEARFuncs) in *definition
// and returns 1; returns 0 and stores nothing when `definition` is null. The record is
// read-only and lives as long as the library is loaded.
__attribute__((visibility("default"))) int qlxExitEntry(void** definition);

// Init, Term and Analyse in that order.
extern const QLXEXITFUNCS zvrEARFuncs;

// Allocates the 428-byte work area through the control block's service table (first
// entry), clears it and stores its address in xctl->WorkArea. Returns the allocation
// result: non-zero on success; 0 when there is no control block, no service table or no
// allocation entry, when the allocation fails, or when it reports success without storage
// (then nothing is stored). `config` is not used.
int zvrEARInit(QLXXCTL* xctl, QLXCONFIG* config, unsigned long reserved);

// Releases a stored work area through the service table's second entry (when the table has
// one) and clears xctl->WorkArea. Without a control block or a work area it does nothing.
// Returns 0.
int zvrEARTerm(QLXXCTL* xctl, unsigned long reserved);

// Decides the actions for one failure. Clears action->Flags, chooses the table from the
// exception record's call type (and the detail's peek flag), finds the entry for its
// reason code and applies it with zvrEARProcessProfile. Returns 1 when a table exists for
// the call type, 0 for an unknown call type (DefProfile is applied then).
// Does nothing and returns 0 without a control block. Without a detail or exception record
// only the flags are cleared and 0 is returned.
// Without a work area (Init obtained none) the result is as above but nothing is written
// except the cleared flags: kQlxExcActProfile stays off, so the middleware applies the
// element's own profile unchanged, and action->Profile is left as it was.
int zvrEARAnalyse(QLXXCTL* xctl, QLXEXCDTL* detail, QLXEXCACT* action);

// Stores in *table the table for `callType` (for call types 2 and 4 the peek table when
// detail->Flags has kQlxExcDtlPeek) and returns 1. For call types of 28 and above returns
// 0 and leaves *table as it was. The tables are read-only.
int zvrEARLocateTable(QLXXCTL* xctl, unsigned long callType, QLXEXCDTL* detail,
                      const ZVREARPROFILE** table);

// Copies detail->Profile into the work area, changes the copy's actions word by the seven
// rules for `entry`, then sets kQlxExcActProfile in action->Flags and points
// action->Profile at the work area. Writes nothing when the work area, the detail's
// profile, the entry or the action record is missing.
void zvrEARProcessProfile(QLXXCTL* xctl, QLXEXCDTL* detail, const ZVREARPROFILE* entry,
                          QLXEXCACT* action);

// The profile tables, one per call type, and the table for unknown call types.
extern const ZVREARPROFILE ApplicationProfile[];
extern const ZVREARPROFILE PutReqProfile[];
extern const ZVREARPROFILE GetReqProfile[];
extern const ZVREARPROFILE GetReqPeekProfile[];
extern const ZVREARPROFILE PutRspProfile[];
extern const ZVREARPROFILE GetRspProfile[];
extern const ZVREARPROFILE GetRspPeekProfile[];
extern const ZVREARPROFILE BridgePutProfile[];
extern const ZVREARPROFILE BridgeGetProfile[];
extern const ZVREARPROFILE PutExceptionProfile[];
extern const ZVREARPROFILE InitializeProfile[];
extern const ZVREARPROFILE TerminateProfile[];
extern const ZVREARPROFILE CommitProfile[];
extern const ZVREARPROFILE RollbackProfile[];
extern const ZVREARPROFILE FreeBufferProfile[];
extern const ZVREARPROFILE CloseHandleProfile[];
extern const ZVREARPROFILE InterpretMsgProfile[];
extern const ZVREARPROFILE WriteLogProfile[];
extern const ZVREARPROFILE SendAlertProfile[];
extern const ZVREARPROFILE OpenStorageQProfile[];
extern const ZVREARPROFILE CloseStorageQProfile[];
extern const ZVREARPROFILE DeleteStorageQProfile[];
extern const ZVREARPROFILE PutToStorageQProfile[];
extern const ZVREARPROFILE GetFromStorageQProfile[];
extern const ZVREARPROFILE QueryThemeProfile[];
extern const ZVREARPROFILE BuildThemeProfile[];
extern const ZVREARPROFILE PurgeQToEMSProfile[];
extern const ZVREARPROFILE ReportErrorProfile[];
extern const ZVREARPROFILE QueryContextProfile[];
extern const ZVREARPROFILE SetLDAPServiceProfile[];
extern const ZVREARPROFILE DefProfile[];

}  // extern "C"

// Call types 0..27 have a table; 28 and above are unknown.
inline constexpr unsigned long kZvrEARCallTypes = 28;
// The actions value a profile gets when every one of its actions is cleared.
inline constexpr uint32_t kZvrEARAllCleared = 32;

#endif  // ZVREAR_H
