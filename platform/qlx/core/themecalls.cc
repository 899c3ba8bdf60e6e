// qlxQueryTheme, qlxBuildTheme and qlxCloseHandle.
#include <cstring>

#include "buffers.h"
#include "connection.h"
#include "errors.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

Theme* findTheme(int32_t call, Connection& c, QLXHANDLE theme) {
  Theme* t = c.themes.find(theme);
  if (!t) fail(call, kReasonInvalidTheme, "%s: theme handle %u is not open", callName(call), theme);
  return t;
}

int doQueryTheme(Connection& c, QLXHANDLE theme, int32_t code, QLXBUFFER* result) {
  const int32_t call = kQlxCallQueryTheme;
  if (!result)
    return failSub(call, kReasonInvalidArgument, 4, "qlxQueryTheme: no result field");
  const Theme* t = findTheme(call, c, theme);
  if (!t) return 0;
  std::vector<unsigned char> list;
  if (!renderThemeList(*t, code, list))
    return fail(call, kReasonUnsupported, "qlxQueryTheme: query code %d is not known", code);
  if (!giveBuffer(*result, list.data(), list.size()))
    return fail(call, kReasonBuffer, "qlxQueryTheme: out of memory");
  return 1;
}

// The service record a buffer field describes; null (with the error set) when the field
// does not hold a whole "BXSV" record.
const QLXSERVICE* serviceRecord(const QLXBUFFER* service) {
  if (!service || !service->Data || service->Length < sizeof(QLXSERVICE) ||
      std::memcmp(service->Data, "BXSV", 4) != 0) {
    failSub(kQlxCallBuildTheme, kReasonInvalidArgument, 4,
            "qlxBuildTheme: the service field does not hold a \"BXSV\" record of %zu bytes",
            sizeof(QLXSERVICE));
    return nullptr;
  }
  return static_cast<const QLXSERVICE*>(service->Data);
}

int doBuildTheme(Connection& c, QLXHANDLE theme, int32_t option, const QLXBUFFER* service,
               QLXHANDLE* newTheme) {
  const int32_t call = kQlxCallBuildTheme;
  if (option != kQlxBuildInsert && option != kQlxBuildReplace)
    return fail(call, kReasonUnsupported, "qlxBuildTheme: option %d is neither 8 nor 16", option);
  const QLXSERVICE* record = serviceRecord(service);
  if (!record) return 0;
  if (!newTheme)
    return failSub(call, kReasonInvalidArgument, 5, "qlxBuildTheme: no place for the new theme");
  const Theme* from = findTheme(call, c, theme);
  if (!from) return 0;
  const std::string name(record->Name, strnlen(record->Name, sizeof record->Name));
  std::vector<Hop> hops;
  std::string detail;
  if (int32_t reason = loadServiceHops(*c.store, name, originHop(from->origin), hops, detail))
    return fail(call, reason, "qlxBuildTheme: %.180s", detail.c_str());
  *newTheme = c.themes.add(qlx::buildTheme(*from, hops, option));
  return 1;
}

}  // namespace
}  // namespace qlx

using namespace qlx;

extern "C" int qlxQueryTheme(QLXHANDLE handle, QLXHANDLE theme, int32_t code,
                             QLXBUFFER* result) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallQueryTheme, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(doQueryTheme(*c, theme, code, result)));
}

extern "C" int qlxBuildTheme(QLXHANDLE handle, QLXHANDLE theme, int32_t option,
                             const QLXBUFFER* service, QLXHANDLE* newTheme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallBuildTheme, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  return trace.result(call.done(doBuildTheme(*c, theme, option, service, newTheme)));
}

extern "C" int qlxCloseHandle(QLXHANDLE handle, QLXHANDLE* theme) {
  trc::Scope trace(kTrace);
  CallScope call(kQlxCallCloseHandle, handle);
  if (call.injected()) return trace.result(0);
  Connection* c = call.connection();
  if (!c) return trace.result(0);
  if (!theme || !c->themes.close(*theme))
    return trace.result(call.done(fail(kQlxCallCloseHandle, kReasonInvalidTheme,
                                       "qlxCloseHandle: theme handle %u is not open",
                                       theme ? *theme : 0)));
  *theme = 0;
  return trace.result(1);
}
