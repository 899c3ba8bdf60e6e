// The engine API: RunMap reads the command buffer, finds the map, runs it in process
// (shared object), on a process kept between runs (an executable built with the map
// wrapper) or as a child of its own (any other executable) and hands back the output.
#include <merc.h>

#include "merc_engine.h"

#include <cstring>
#include <exception>

namespace merc {
namespace {

int _fail(ExitParams& params, int32_t code, const std::string& message) {
  params.nReturn = code;
  mercSetErrmsg(params, message);
  return code;
}

int _runMap(ExitParams& params) {
  MercCommand command;
  std::string error;
  if (!mercParseCommand(static_cast<const char*>(params.lpDataToApp), command, error)) {
    return _fail(params, kMercBadCommand, error);
  }
  if (command.timeLimitMs == 0 && !mercDefaultTimeLimit(command.timeLimitMs, error)) {
    return _fail(params, kMercBadCommand, error);
  }
  MapFile file;
  if (!mercFindMap(command.mapName, file, error)) {
    // A map removed from disk: the process started ahead for it must not wait for ever.
    mercDropPrestart();
    return _fail(params, kMercMapNotFound, error);
  }
  MapResult result;
  if (mercSharedLoaded(file.path) || mercIsSharedMap(file)) {
    mercDropPrestart();
    mercRunShared(file.path, command, result);
  } else if (mercServingWanted() && mercIsServedMap(file)) {
    mercDropPrestart();
    mercRunServed(file, command, result);
  } else {
    mercRunChild(file, command, result);
  }
  if (result.code != kMercOk && !mercIsWarning(result.code)) {
    return _fail(params, result.code, result.message);
  }
  void* out = nullptr;
  uint32_t length = 0;
  if (!mercBuildOutput(result, command.output, out, length, error)) {
    return _fail(params, kMercResource, error);
  }
  params.lpDataFromApp = out;
  params.dwFromLen = length;
  params.nReturn = result.code;
  mercSetErrmsg(params, result.message);
  return params.nReturn;
}

}  // namespace
}  // namespace merc

extern "C" {

int MercInitAPI(void) { return 0; }

int RunMap(ExitParams* params) {
  if (params == nullptr) return merc::kMercBadCommand;
  // dwSize is not checked: callers store the record's 32-bit size (480), which differs
  // from sizeof on a 64-bit host.
  params->lpDataFromApp = nullptr;
  params->dwFromLen = 0;
  params->nReturn = 0;
  std::memset(params->Errmsg, 0, sizeof params->Errmsg);
  try {
    return merc::_runMap(*params);
  } catch (const std::exception& e) {
    return merc::_fail(*params, merc::kMercResource, std::string("engine failure: ") + e.what());
  }
}

int MercExitAPI(void) {
  merc::mercStopPrestart();
  merc::mercStopServing();
  merc::mercUnloadShared();
  return 0;
}

}  // extern "C"
