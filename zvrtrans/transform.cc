#include "transform.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "catalog.h"
#include "dump.h"
#include "erroradt.h"
#include "quordirectory.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

constexpr uint32_t kExitParamsSize = 480;
constexpr char kDefaultRecord[] = "ZVRBroker";

// A heap copy for the interfaces that hand out char*; the caller frees it with delete[].
char* _heapText(const std::string& text) {
  trc::Scope trace(kTrace);
  char* out = nullptr;
  zvrNewText(text, out);
  return out;
}

void _debugLog(const std::string& text) {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog(text.c_str());
}

// Seven characters of the format name: of a "qlxMsg..." name its last seven, else its
// first seven (fewer when it is shorter).
std::string _formatPart(const char* formatName) {
  trc::Scope trace(kTrace);
  std::string format = formatName != nullptr ? formatName : "";
  if (format.rfind("qlxMsg", 0) == 0 && format.size() > 6) return format.substr(format.size() - 7);
  return format.substr(0, 7);
}

bool _isWarning(int32_t code) {
  trc::Scope trace(kTrace);
  return trace.result(code == 14 || code == 18 || code == 21);
}

}  // namespace

// --- Transformation -----------------------------------------------------------------------

Transformation::~Transformation() { trc::Scope trace(kTrace); }

char* Transformation::outFormatName(const char*, const char*) const {
  trc::Scope trace(kTrace);
  return trace.result<char*>(nullptr);
}

std::ostream& operator<<(std::ostream& os, const Transformation& transformation) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, transformation);
}

// --- TsiTransform -------------------------------------------------------------------------

TsiTransform::TsiTransform(const char* path, const char* map, const char* prefix,
                           const char* options, const char* key, unsigned keyInMemory,
                           QuorDictionary* dictionary)
    : key_(key ? key : ""),
      options_(options ? options : ""),
      path_(path ? path : ""),
      map_(map ? map : ""),
      prefix_(prefix ? prefix : ""),
      keyInMemory_(keyInMemory),
      dictionary_(dictionary) {
  trc::Scope trace(kTrace);
  params_.dwSize = kExitParamsSize;
}

TsiTransform::~TsiTransform() {
  trc::Scope trace(kTrace);
  std::free(params_.lpDataFromApp);
  params_.lpDataFromApp = nullptr;
}

int TsiTransform::transform(const char* destination, const char* formatName, const char*,
                            const void* input, unsigned long inputLength, void*& output,
                            unsigned long& outputLength) {
  trc::Scope trace(kTrace);
  outputLength = 0;
  struct RunScope {
    TsiTransform& self;
    explicit RunScope(TsiTransform& t) : self(t) { self.inRun_ = true; }
    ~RunScope() {
      self.inRun_ = false;
      self.recordRead_ = false;
    }
  } run(*this);
  std::unique_ptr<char[]> mapName(lookupMap(formatName, destination));
  std::unique_ptr<char[]> dictionaryOptions(mercOptions(formatName, destination));
  if (!mapName) {
    zvrSetError(new ErrorADT(ZVRID_T0003, kZvrError, ZVRTXT_T0003));
    return trace.result(0);
  }
  _debugLog(zvrFormat("\nUsing map: %s, options: -oe1s", mapName.get()));
  if (!_buildCommand(mapName.get(), input, inputLength, dictionaryOptions.get()))
    return trace.result(0);
  _runMap();
  if (!_classifyReturn()) return trace.result(0);
  if (ZVRdebug) _logBuffers();
  output = params_.lpDataFromApp;
  // An engine that hands back no output has no bytes to offer, whatever length it states.
  outputLength = params_.lpDataFromApp != nullptr ? params_.dwFromLen : 0;
  return trace.result(1);
}

int TsiTransform::_buildCommand(const char* mapName, const void* input,
                                unsigned long inputLength, const char* dictionaryOptions) {
  trc::Scope trace(kTrace);
  switch (command_.build(mapName, input, inputLength, options_.c_str(), dictionaryOptions)) {
    case TsiCommandBuffer::kCommandLineOptions:
      _debugLog(std::string("\nUsing map: ") + mapName + ", options: " + options_);
      return trace.result(1);
    case TsiCommandBuffer::kDictionaryOptions:
      _debugLog(zvrFormat("\nUsing map: %s, options: %s", mapName, dictionaryOptions));
      return trace.result(1);
    case TsiCommandBuffer::kDefaultOptions:
      _debugLog(zvrFormat("\nUsing map: %s, options: -oe1s", mapName));
      return trace.result(1);
    case TsiCommandBuffer::kNoTail:
      break;
  }
  if (command_.refusal() == TsiCommandBuffer::kHeadTooLong) {
    // The engine reads its head from a 512-character area: a longer one is refused here
    // rather than overflowing it or being cut (a cut head would misstate the input length).
    ErrorADT* error = new ErrorADT(ZVRID_T0003, kZvrError, ZVRTXT_T0003);
    std::string info = zvrFormat("The command head of %zu characters exceeds %zu: %.64s...",
                                 command_.headLength(), TsiCommandBuffer::kMaxHead, mapName);
    error->addInfo(info.c_str(), nullptr, 0);
    zvrSetError(error);
  } else if (command_.refusal() == TsiCommandBuffer::kUnreadableName) {
    ErrorADT* error = new ErrorADT(ZVRID_T0003, kZvrError, ZVRTXT_T0003);
    std::string info = zvrFormat(
        "The engine would not read the map name back as sent (a blank in a bare name, or "
        "\"' -ie1s\" inside a quoted one): %.64s", mapName);
    error->addInfo(info.c_str(), nullptr, 0);
    zvrSetError(error);
  } else {
    zvrSetError(new TransformError(ZVRID_T0002, kZvrError, ZVRTXT_T0002, ZVRUA_T0002, nullptr,
                                   "no memory for the command buffer"));
  }
  return trace.result(0);
}

void TsiTransform::_runMap() {
  trc::Scope trace(kTrace);
  std::free(params_.lpDataFromApp);
  params_.lpDataFromApp = nullptr;
  params_.dwFromLen = 0;
  params_.nReturn = 0;
  params_.Errmsg[0] = '\0';
  params_.lpDataToApp = const_cast<char*>(command_.data());
  RunMap(&params_);
}

// The engine's message, read within its field even when the engine left it unterminated.
std::string TsiTransform::_errorMessage() const {
  trc::Scope trace(kTrace);
  return std::string(params_.Errmsg, strnlen(params_.Errmsg, sizeof params_.Errmsg));
}

int TsiTransform::_classifyReturn() {
  trc::Scope trace(kTrace);
  const int32_t code = params_.nReturn;
  if (code == 0) return trace.result(1);
  const std::string reason = _errorMessage();
  const bool warning = _isWarning(code);
  TransformError* error =
      warning ? new TransformError(ZVRID_T0001, kZvrWarning, ZVRTXT_T0001, ZVRUA_T0001, code,
                                   reason.c_str())
              : new TransformError(ZVRID_T0002, kZvrError, ZVRTXT_T0002, ZVRUA_T0002, code,
                                   reason.c_str());
  if (ZVRverbose) {
    std::string dump = zvrDumpHex(command_.data(), command_.length());
    error->addInfo("Original Marshall Buffer", dump.c_str(), static_cast<unsigned>(dump.size()));
  }
  if (!warning) {
    zvrSetError(error);
    return trace.result(0);
  }
  if (ZVRdebug || ZVRverbose) error->writeLog();
  delete error;
  return trace.result(1);
}

void TsiTransform::_logBuffers() const {
  trc::Scope trace(kTrace);
  std::string input = "\nTransformation Input Buffer follows";
  input += zvrDumpHex(command_.data(), command_.length());
  zvrWriteLog(input.c_str());
  std::string output = "\nTransformation Output Buffer follows";
  if (params_.lpDataFromApp != nullptr)
    output += zvrDumpHex(params_.lpDataFromApp, params_.dwFromLen);
  zvrWriteLog(output.c_str());
}

char* TsiTransform::inFormatName(const char* formatName, const char* name) const {
  trc::Scope trace(kTrace);
  return trace.result(_heapText(_composeMapName(formatName, name)));
}

std::string TsiTransform::_composeMapName(const char* formatName,
                                          const char* explicitName) const {
  trc::Scope trace(kTrace);
  std::string name;
  if (!path_.empty()) {
    name = path_.substr(0, kMapNameArea - 1);
    name += '/';
  }
  const std::size_t room = kMapNameArea - name.size();
  if (explicitName != nullptr)
    name.append(explicitName, strnlen(explicitName, room));
  else if (!map_.empty())
    name += map_.substr(0, room);
  else if (!prefix_.empty())
    name += (prefix_ + _formatPart(formatName)).substr(0, room);
  return "'" + name + "'";
}

const char* TsiTransform::_recordName() const {
  trc::Scope trace(kTrace);
  return trace.result(key_.empty() ? kDefaultRecord : key_.c_str());
}

int TsiTransform::_readRecord() const {
  trc::Scope trace(kTrace);
  if (inRun_ && recordRead_) return trace.result(1);
  // A record not found is looked for again (and its absence logged again) as before.
  const int found = dictionary_ ? dictionary_->lookupEntry(_recordName()) : 0;
  recordRead_ = inRun_ && found == 1;
  return trace.result(found);
}

int TsiTransform::display(char*& text) const {
  trc::Scope trace(kTrace);
  std::string command = zvrDumpHex(command_.data(), command_.capacity());
  std::string output;
  if (params_.lpDataFromApp != nullptr)
    output = zvrDumpHex(params_.lpDataFromApp, params_.dwFromLen);
  std::string out = zvrFormat(
      "\nMercator Transformation\n-----------------------\nPath: %s Map: %s Prefix: %s "
      "Options: %s\nExitParams: dwSize=%d dwFromLen=%d nReturn=%d\nErrmsg=%s\n"
      "lpDataToApp: %s\nlpDataFromApp: %s",
      path_.c_str(), map_.c_str(), prefix_.c_str(), options_.c_str(),
      static_cast<int>(params_.dwSize), static_cast<int>(params_.dwFromLen),
      static_cast<int>(params_.nReturn), _errorMessage().c_str(), command.c_str(),
      output.c_str());
  return trace.result(zvrNewText(out, text));
}

// --- TsiSimpleTransform, TsiFixedTransform --------------------------------------------------

TsiSimpleTransform::TsiSimpleTransform(const char* path, const char* map, const char* prefix,
                                       const char* options, const char* key, unsigned,
                                       QuorDictionary* dictionary)
    : TsiTransform(path, map, prefix, options, key, 0, dictionary) {
  trc::Scope trace(kTrace);
}

TsiSimpleTransform::~TsiSimpleTransform() {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog("\nDeleting simple");
}

char* TsiSimpleTransform::lookupMap(const char* formatName, const char*) const {
  trc::Scope trace(kTrace);
  return trace.result(_heapText(_composeMapName(formatName, nullptr)));
}

char* TsiSimpleTransform::mercOptions(const char*, const char*) const {
  trc::Scope trace(kTrace);
  return trace.result<char*>(nullptr);
}

TsiFixedTransform::TsiFixedTransform(const char* path, const char* map, const char* prefix,
                                     const char* options, const char* key, unsigned,
                                     QuorDictionary* dictionary)
    : TsiTransform(path, map, prefix, options, key, 0, dictionary) {
  trc::Scope trace(kTrace);
}

TsiFixedTransform::~TsiFixedTransform() {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog("\nDeleting fixed");
}

char* TsiFixedTransform::lookupMap(const char* formatName, const char*) const {
  trc::Scope trace(kTrace);
  return trace.result(_heapText(_composeMapName(formatName, nullptr)));
}

char* TsiFixedTransform::mercOptions(const char*, const char*) const {
  trc::Scope trace(kTrace);
  return trace.result<char*>(nullptr);
}
