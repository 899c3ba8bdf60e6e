#include "zvrlog.h"

#include <cstdio>
#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrutil"};

int ZVRdebug = 0;
int ZVRverbose = 1;
int isLogAssert = 0;

namespace {

// The line that sets a log text apart on standard error.
constexpr char kStars[] = "****************************************";
static_assert(sizeof kStars == 41);

void echoToStderr(const char* text) {
  trc::Scope trace(kTrace);
  // One write per text keeps lines of concurrent processes from interleaving mid-text.
  std::fprintf(stderr, "%s%s\n", kStars, text);
  std::fflush(stderr);
}

}  // namespace

void logAssert() {
  trc::Scope trace(kTrace);
  isLogAssert = 1;
}

int zvrWriteLog(const char* text, unsigned long severity) {
  trc::Scope trace(kTrace);
  if (!isLogAssert) logAssert();
  if (!text) text = "";  // a missing text is logged as an empty one, never dereferenced
  if (ZVRdebug || ZVRverbose) echoToStderr(text);
  QLXLOG record;
  std::memcpy(&record, &kQlxLogDefault, sizeof record);
  record.Severity = static_cast<uint32_t>(severity);
  record.Reserved = 0;
  record.Text = text;
  return trace.result(qlxWriteLog(&record) == 0 ? 1 : 0);
}

int zvrWriteLog(const char* text) {
  trc::Scope trace(kTrace);
  return trace.result(zvrWriteLog(text, 0));
}

bool zvrActionsAgree(unsigned long requested, unsigned long performed) {
  trc::Scope trace(kTrace);
  bool agree = performed == kQlxActionNone || ((performed & 2) && (requested & 2)) ||
               ((performed & 1) && (requested & 1)) || performed == requested;
  return trace.result(agree);
}

bool zvrReportError(unsigned long handle, QLXEPOPT* options, QLXMSG* msg,
                    QLXEXCEPTION* exception, QLXSYNCP sync, QLXHANDLE* context) {
  trc::Scope trace(kTrace);
  int result = qlxReportError(static_cast<QLXHANDLE>(handle), options, msg, exception, sync,
                              context);
  unsigned long requested = options ? options->DefaultActions : 0;
  unsigned long performed = options ? options->ActionsPerformed : 0;
  if (kTrace.printfs()) {
    TRC1_Printf(kTrace.name, "MsgStatus: %02x, actionsRequested: %02x, actionsPerformed: %02x",
                msg ? static_cast<unsigned>(msg->Status) : 0u,
                static_cast<unsigned>(requested), static_cast<unsigned>(performed));
  }
  if (result != 1) return trace.result(false);
  if (zvrActionsAgree(requested, performed)) return trace.result(true);
  if (kTrace.printfs()) {
    TRC1_Printf(kTrace.name, "SEVERE ERROR: Actions did not equal DefaultAction");
    TRC1_Printf(kTrace.name, "Actions = [%ld]", static_cast<long>(performed));
    TRC1_Printf(kTrace.name, "DefaultActions = [%ld]", static_cast<long>(requested));
  }
  return trace.result(false);
}
