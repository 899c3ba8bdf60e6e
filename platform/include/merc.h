// Transformation engine API: the three calls through which the transformation components
// run a map over one marshalled request. The component starts the engine once
// (MercInitAPI), runs one map per request (RunMap) and ends the engine before it exits
// (MercExitAPI). All three are called from one thread, one run at a time.
//
// A site links the engine library it owns; this header is all the system compiles against.
#ifndef ZVR_PLATFORM_MERC_H
#define ZVR_PLATFORM_MERC_H

#include <stddef.h>
#include <stdint.h>

// The record of one run. Field order and widths are fixed: every integer is exactly
// 32 bits and every address field is pointer-sized, so on a 32-bit host the record is
// 480 bytes with the offsets given beside each field; on a 64-bit host the fields after
// the first address shift. Fields not named here are reserved and stay zero.
struct ExitParams {
  uint32_t dwSize;          // @0   in: 480
  uint32_t dwReserved1;     // @4
  uint32_t dwFromLen;       // @8   out: length in bytes of the output at lpDataFromApp
  uint32_t dwReserved2[3];  // @12
  // @24 in: the command buffer, borrowed for the call. Layout:
  //   map name (bare, or enclosed in single quotes), " -ie1s", the input length in
  //   decimal, one blank, exactly that many input bytes (NULs allowed), then the output
  //   options (" -oe1s" or the configured ones) and a terminating NUL.
  void* lpDataToApp;
  // @28 out: the output, allocated by the engine with malloc. The engine never frees it;
  //   the caller releases it with free() (and clears it) before the next run. Must be
  //   null on entry; it is null after a failed run.
  void* lpDataFromApp;
  uint32_t dwReserved3[4];  // @32
  int32_t nReturn;          // @48  out: 0 success; 14, 18, 21 success with warnings;
                            //      any other value failure (what each failure value
                            //      means is the engine's; the stand-in engine keeps
                            //      negative values for its own failures)
  char Errmsg[428];         // @52  out: NUL-terminated message of the run (may be empty)
};

// Offsets that hold on every host (an address field is 4 bytes on ILP32, 8 on LP64).
static_assert(offsetof(ExitParams, dwSize) == 0, "ExitParams layout");
static_assert(offsetof(ExitParams, dwFromLen) == 8, "ExitParams layout");
static_assert(offsetof(ExitParams, lpDataToApp) == 24, "ExitParams layout");
static_assert(offsetof(ExitParams, lpDataFromApp) == 24 + sizeof(void*), "ExitParams layout");
static_assert(offsetof(ExitParams, nReturn) == 48 + 2 * (sizeof(void*) - 4),
              "ExitParams layout");
static_assert(offsetof(ExitParams, Errmsg) == offsetof(ExitParams, nReturn) + 4,
              "ExitParams layout");
static_assert(sizeof(ExitParams) == 480 + 2 * (sizeof(void*) - 4), "ExitParams layout");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ExitParams) == 480, "ExitParams is 480 bytes on a 32-bit host");
static_assert(offsetof(ExitParams, lpDataFromApp) == 28, "ExitParams layout");
static_assert(offsetof(ExitParams, nReturn) == 48, "ExitParams layout");
static_assert(offsetof(ExitParams, Errmsg) == 52, "ExitParams layout");
#endif

extern "C" {

// Starts the engine. 0 means ready; any other value means the engine cannot run maps.
int MercInitAPI(void);

// Runs the map named in params->lpDataToApp over its input. Sets nReturn, Errmsg,
// lpDataFromApp and dwFromLen as described above; the function result repeats nReturn.
// On a failure (nReturn not 0, 14, 18 or 21) no output is handed back.
int RunMap(ExitParams* params);

// Ends the engine and releases what it holds for later runs. Outputs already handed
// back stay valid (they belong to the caller). Returns 0.
int MercExitAPI(void);

}  // extern "C"

#endif  // ZVR_PLATFORM_MERC_H
