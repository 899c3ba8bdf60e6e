// Placeholder definitions so that the system links while the broker is being written.
// Every call fails. Replaced by the real broker.
#include <cstring>

#include "qlx.h"
#include "qlxdir.h"

namespace {
QLXERROR gLast{};
int fail() {
  gLast = QLXERROR{};
  gLast.Flags = kQlxErrorReason;
  gLast.Reason.Code = 99;
  std::strcpy(gLast.Reason.Text, "not implemented");
  return 0;
}
}  // namespace

extern "C" {
int qlxSPIInitialize(const QLXADDR*, int32_t, QLXHANDLE*, void**, void*) { return fail(); }
int qlxClientInitialize(const QLXADDR*, QLXHANDLE*) { return fail(); }
int qlxTerminate(QLXHANDLE*) { return fail(); }
int qlxGetRequest(QLXHANDLE, QLXMSG*, QLXGETOPT*, QLXSYNCP, QLXHANDLE*) { return fail(); }
int qlxGetResponse(QLXHANDLE, QLXMSG*, QLXGETOPT*, QLXSYNCP, QLXHANDLE*) { return fail(); }
int qlxPutResponse(QLXHANDLE, QLXMSG*, QLXPUTOPT*, QLXSYNCP, QLXHANDLE*) { return fail(); }
int qlxPutRequest(QLXHANDLE, const QLXSERVICE*, QLXMSG*, QLXPUTOPT*, QLXSYNCP, QLXHANDLE*) {
  return fail();
}
int qlxCommit(QLXHANDLE, QLXSYNCP) { return fail(); }
int qlxRollback(QLXHANDLE, QLXSYNCP) { return fail(); }
int qlxGetLastError(QLXERROR* error) {
  *error = gLast;
  return 1;
}
int qlxFormatError(const QLXERRDETAIL* detail, int32_t, char* text, uint32_t* length) {
  if (*length == 0) return 0;
  std::strncpy(text, detail->Text, *length - 1);
  text[*length - 1] = 0;
  *length = static_cast<uint32_t>(std::strlen(text));
  return 1;
}
int qlxQueryTheme(QLXHANDLE, QLXHANDLE, int32_t, QLXBUFFER*) { return fail(); }
int qlxBuildTheme(QLXHANDLE, QLXHANDLE, int32_t, const QLXBUFFER*, QLXHANDLE*) {
  return fail();
}
int qlxCloseHandle(QLXHANDLE, QLXHANDLE*) { return fail(); }
int qlxFreeBuffer(QLXHANDLE, QLXBUFFER*) { return fail(); }
int qlxWriteLog(const QLXLOG*) { return 0; }
int qlxReportError(QLXHANDLE, QLXEPOPT*, QLXMSG*, QLXEXCEPTION*, QLXSYNCP, QLXHANDLE*) {
  return fail();
}
int qlxStoreError(QLXERROR* error, QLXERRDETAIL** sub, unsigned long, unsigned long,
                  unsigned long, unsigned long, unsigned long, unsigned long, unsigned long,
                  unsigned long, unsigned long, unsigned long) {
  *error = QLXERROR{};
  *sub = &error->SubReason;
  return 1;
}
}

