// TsiDestinationTransform: map and options from the dictionary entry named by the format
// name and the destination, read from the directory or from the in-memory cache.
#include <cstring>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "quordirectory.h"
#include "text.h"
#include "transform.h"
#include "trc.h"
#include "zvrhash.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

namespace {

char* _heapText(const std::string& text) {
  trc::Scope trace(kTrace);
  char* out = nullptr;
  zvrNewText(text, out);
  return out;
}

zvrhash* _noCache() {
  trc::Scope trace(kTrace);
  return trace.result<zvrhash*>(nullptr);
}

// "'<path>'<sep><options>": the map keeps its quotes. A quote that is never closed, or
// closes at once, names no map (the engine would otherwise read a name running into the
// options).
void _splitQuoted(const std::string& value, TsiMapEntry& entry) {
  trc::Scope trace(kTrace);
  entry.quoted = true;
  std::size_t close = value.find('\'', 1);
  if (close == std::string::npos || close == 1) return;
  entry.hasMap = true;
  entry.map = value.substr(0, close + 1);
  if (close + 1 < value.size()) {
    entry.hasOptions = true;
    entry.options = value.substr(close + 2);  // without the separating character
  }
}

// "<map> <options>": the first word is the map. Leading blanks are skipped so that a value
// with them still names its map rather than an empty one.
void _splitBare(const std::string& value, TsiMapEntry& entry) {
  trc::Scope trace(kTrace);
  std::size_t start = value.find_first_not_of(' ');
  if (start == std::string::npos) return;
  std::size_t end = value.find(' ', start);
  entry.hasMap = true;
  entry.map = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (end != std::string::npos) {
    entry.hasOptions = true;
    entry.options = value.substr(end + 1);
  }
}

}  // namespace

zvrhash* (*TsiDestinationTransform::getHashObject)() = _noCache;

TsiMapEntry zvrSplitMapEntry(const char* value) {
  trc::Scope trace(kTrace);
  TsiMapEntry entry;
  std::string text = value != nullptr ? value : "";
  if (!text.empty() && text[0] == '\'')
    _splitQuoted(text, entry);
  else
    _splitBare(text, entry);
  return entry;
}

TsiDestinationTransform::TsiDestinationTransform(const char* path, const char* map,
                                                 const char* prefix, const char* options,
                                                 const char* key, unsigned keyInMemory,
                                                 QuorDictionary* dictionary)
    : TsiTransform(path, map, prefix, options, key, keyInMemory, dictionary) {
  trc::Scope trace(kTrace);
}

TsiDestinationTransform::~TsiDestinationTransform() {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog("\nDeleting destination");
}

bool TsiDestinationTransform::_entryValue(const char* formatName, const char* destination,
                                          std::string& value) const {
  trc::Scope trace(kTrace);
  QuorDictionary* record = dictionary();
  if (!keyInMemory_ && record != nullptr) _readRecord();
  std::string name = zvrFormat("%s %s", formatName ? formatName : "",
                               destination ? destination : "");
  const char* found = nullptr;
  if (keyInMemory_) {
    zvrhash* cache = getHashObject != nullptr ? getHashObject() : nullptr;
    if (cache != nullptr) found = cache->FindEntry(name.c_str());
  } else if (record != nullptr) {
    found = record->getEntryValue(name.c_str());
  }
  if (found == nullptr) {
    std::string text = zvrFormat(ZVRTXT_D0006, name.c_str());
    ErrorADT* error = new ErrorADT(ZVRID_D0006, kZvrError, text.c_str());
    error->writeLog();
    zvrSetError(error);
    return trace.result(false);
  }
  value = found;
  return trace.result(true);
}

char* TsiDestinationTransform::lookupMap(const char* formatName,
                                         const char* destination) const {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog((std::string("\nDictionary key: ") + key_).c_str());
  std::string value;
  if (!_entryValue(formatName, destination, value)) return trace.result<char*>(nullptr);
  if (ZVRdebug) zvrWriteLog((std::string("\nFound dictionary entry: ") + value).c_str());
  TsiMapEntry entry = zvrSplitMapEntry(value.c_str());
  if (!entry.hasMap) {
    if (entry.quoted) zvrSetError(new ErrorADT(ZVRID_T0003, kZvrError, ZVRTXT_T0003));
    return trace.result<char*>(nullptr);
  }
  return trace.result(_heapText(entry.map));
}

char* TsiDestinationTransform::mercOptions(const char* formatName,
                                           const char* destination) const {
  trc::Scope trace(kTrace);
  std::string value;
  if (!_entryValue(formatName, destination, value)) return trace.result<char*>(nullptr);
  TsiMapEntry entry = zvrSplitMapEntry(value.c_str());
  if (!entry.hasMap) {
    ErrorADT* error = new ErrorADT(ZVRID_T0003, kZvrError, ZVRTXT_T0003);
    error->writeLog();
    zvrSetError(error);
    return trace.result<char*>(nullptr);
  }
  if (!entry.hasOptions) return trace.result<char*>(nullptr);
  return trace.result(_heapText(entry.options));
}
