#include "tsiservice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "marshall.h"
#include "merc.h"
#include "quorbusinesselement.h"
#include "quordirectory.h"
#include "text.h"
#include "transform.h"
#include "trc.h"
#include "zvrhash.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrtrans"};

zvrhash* TsiService::pZvrHash = nullptr;

namespace {

constexpr char kDefaultRecord[] = "ZVRBroker";
constexpr char kDefaultPrefix[] = "k";

const char* _orNone(const char* text) { return *text ? text : "None"; }

void _incompatible(const char* first, const char* second) {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat(ZVRTXT_TS0001, first, second);
  ErrorADT(ZVRID_TS0001, kZvrError, text.c_str(), ZVRUA_TS0001).writeLog();
}

}  // namespace

TsiService::TsiService(const char* name, const char* title) : TBCService(name, title) {
  trc::Scope trace(kTrace);
}

TsiService::~TsiService() { trc::Scope trace(kTrace); }

int TsiService::display(char*& text) const {
  trc::Scope trace(kTrace);
  char* base = nullptr;
  TBCService::display(base);
  std::string out = zvrFormat(
      "%s\nTransformation Options: %s\nTransformation Path: %s\nTransformation Map: "
      "%s\nTransformation Prefix: %s\nTransformation Dictionary Key: %s\nTransformation "
      "Dictionary Key in Memory: %s",
      base ? base : "", _orNone(options_), _orNone(path_), _orNone(map_), _orNone(prefix_),
      *key_ ? key_ : kDefaultRecord, keyInMemory_ ? "Yes" : "No");
  delete[] base;
  return trace.result(zvrNewText(out, text));
}

int TsiService::getOptions(int& index, int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  if (TBCService::getOptions(index, argc, argv)) return trace.result(1);
  const char* arg = argv[index];
  struct ValueOption {
    const char* name;
    const char** value;
  };
  const ValueOption valued[] = {{"-options", &options_}, {"-path", &path_}, {"-map", &map_},
                                {"-prefix", &prefix_},   {"-key", &key_}};
  for (const ValueOption& option : valued) {
    if (std::strcmp(arg, option.name) != 0) continue;
    if (index + 1 >= argc) return trace.result(0);  // a value option needs its value
    *option.value = argv[++index];
    return trace.result(1);
  }
  if (std::strcmp(arg, "-keyinmem") == 0)
    keyInMemory_ = 1;
  else if (std::strcmp(arg, "-destination") == 0)
    destination_ = 1;
  else
    return trace.result(0);
  return trace.result(1);
}

int TsiService::validOptions() {
  trc::Scope trace(kTrace);
  if (destination_ && *prefix_) {
    _incompatible("-prefix", "-destination");
    return trace.result(0);
  }
  if (destination_ && *map_) {
    _incompatible("-destination", "-map");
    return trace.result(0);
  }
  if (*prefix_ && *map_) {
    _incompatible("-prefix", "-map");
    return trace.result(0);
  }
  return trace.result(TBCService::validOptions());
}

void TsiService::usage(const char* program) const {
  trc::Scope trace(kTrace);
  TBCService::usage(program);
  std::cerr << " [ -options map_options ] [ -path path ]"
            << " [ -map mapname ] [ -prefix prefix_char ]"
            << " [ -key dictionary ] [ -destination ] [-keyinmem]";
}

int TsiService::validTransform(unsigned long length) const {
  trc::Scope trace(kTrace);
  return trace.result(length != 0 ? 1 : 0);
}

int TsiService::initTrans() {
  trc::Scope trace(kTrace);
  std::unique_ptr<QuorDictionary> dictionary(
      new (std::nothrow) QuorDictionary(element_->directoryHandle()));
  if (!dictionary) return trace.result(0);
  if (destination_ && keyInMemory_ && !buildHashTable(kHashBuckets, dictionary.get()))
    return trace.result(0);
  TsiDestinationTransform::getHashObject = &TsiService::getHashObject;
  const unsigned inMemory = static_cast<unsigned>(keyInMemory_);
  if (destination_)
    transform_.reset(new (std::nothrow) TsiDestinationTransform(
        path_, map_, prefix_, options_, key_, inMemory, dictionary.release()));
  else if (*prefix_)
    transform_.reset(new (std::nothrow) TsiSimpleTransform(path_, map_, prefix_, options_, key_,
                                                           inMemory, dictionary.release()));
  else if (*map_)
    transform_.reset(new (std::nothrow) TsiFixedTransform(path_, map_, prefix_, options_, key_,
                                                          inMemory, dictionary.release()));
  return trace.result(transform_ ? 1 : 0);
}

Marshall* TsiService::marshall(const QuorRequest& request) const {
  trc::Scope trace(kTrace);
  // create, not new: a marshaller whose text could not be allocated is no marshaller, and
  // the map must never run over an empty text in its place.
  return trace.result<Marshall*>(
      TsiMarshall::create(request, static_cast<unsigned>(includeHeader_)));
}

int TsiService::buildHashTable(int buckets, QuorDictionary* dictionary) const {
  trc::Scope trace(kTrace);
  if (ZVRdebug) zvrWriteLog((std::string("\nDictionary key: ") + key_).c_str());
  const int found = dictionary->lookupEntry(*key_ ? key_ : kDefaultRecord);
  if (found != 1) return trace.result(found);
  char** names = nullptr;
  char** values = nullptr;
  const int count = dictionary->getAllEntries(&names, &values);
  if (count == 0) return trace.result(0);
  // Built aside and published whole, so that a lookup never meets a half-filled cache.
  auto* cache = new (std::nothrow) zvrhash(buckets);
  if (cache == nullptr) return trace.result(0);
  for (int i = 0; i < count && names[i] != nullptr && values[i] != nullptr; ++i) {
    cache->AddEntry(names[i], values[i]);
    if (ZVRdebug) std::printf("Value %s %s\n", names[i], values[i]);
  }
  delete pZvrHash;
  pZvrHash = cache;
  return trace.result(1);
}

zvrhash* TsiService::getHashObject() {
  trc::Scope trace(kTrace);
  return trace.result(pZvrHash);
}

void TsiService::_configure(int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  if (!parseArgs(argc, argv) || !validOptions()) {
    usage(argc > 0 ? argv[0] : "");
    std::exit(1);
  }
  if (!destination_ && !*prefix_) prefix_ = kDefaultPrefix;
}

int TsiService::_parseAll(int argc, const char* const* argv) {
  trc::Scope trace(kTrace);
  for (int i = 1; i < argc; ++i) {
    if (!getOptions(i, argc, argv)) return trace.result(0);
  }
  return trace.result(1);
}

void TsiService::_startEngine() {
  trc::Scope trace(kTrace);
  const int rc = MercInitAPI();
  if (rc == 0) return;
  std::cerr << "MercInitAPI failed, return code: " << rc << std::endl;
  std::exit(1);
}

std::ostream& operator<<(std::ostream& os, const TsiService& service) {
  trc::Scope trace(kTrace);
  // The base's writer goes through the virtual display, so the text is TsiService's own.
  return os << static_cast<const QuorService&>(service);
}
