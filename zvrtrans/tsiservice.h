// The transformation layer of the component services: the options that choose maps, the
// transform object made from them, the marshalled form of each request, and the process's
// dictionary cache.
//
// initTrans runs once after the middleware connection is made: it makes the one transform
// object (TsiSimpleTransform from -prefix, TsiFixedTransform from -map,
// TsiDestinationTransform with -destination) and, with -destination -keyinmem, fills the
// cache pZvrHash from the dictionary record, which the destination transform then reads
// through getHashObject. The leaves TsiBC (zvrbc) and TsiTBC (zvrtbc) derive from here.
#ifndef ZVR_TSISERVICE_H
#define ZVR_TSISERVICE_H

#include <ostream>

#include "tbcservice.h"

class QuorDictionary;
class zvrhash;

class TsiService : public TBCService {
 public:
  // Bucket count of the process's dictionary cache.
  static constexpr int kHashBuckets = 1024;

  // As for TBCService; every transformation option empty or cleared.
  TsiService(const char* name, const char* title);
  ~TsiService() override;

  // TBCService's text, then the transformation options ("None" where empty), the
  // dictionary key ("ZVRBroker" where empty) and whether it is kept in memory.
  int display(char*& text) const override;
  // TBCService's options, then -options, -path, -map, -prefix, -key (each with a value,
  // kept as the pointer into argv), -keyinmem and -destination.
  int getOptions(int& index, int argc, const char* const* argv) override;
  // ZVRTS0001 for -destination with -prefix, -destination with -map, -prefix with -map
  // (the first pair that holds; logged); then TBCService::validOptions.
  int validOptions() override;
  void usage(const char* program) const override;
  int validTransform(unsigned long length) const override;                   // slot 13
  // Makes the dictionary record object and the transform object; with -destination and
  // -keyinmem fills the cache first. 0 when the cache cannot be filled or no transform
  // object can be made (the process then ends with status 1).
  int initTrans() override;                                                  // slot 17
  // A new TsiMarshall of `request` with the include-header flag; the caller deletes it.
  Marshall* marshall(const QuorRequest& request) const override;             // slot 18
  // Fills pZvrHash with `buckets` buckets from the dictionary record named by -key
  // (borrowed `dictionary`). 1 on success; 0 when the record is missing or empty
  // (already logged).
  virtual int buildHashTable(int buckets, QuorDictionary* dictionary) const; // slot 19

  // The process's dictionary cache, or null before buildHashTable. Never deleted.
  static zvrhash* getHashObject();
  static zvrhash* pZvrHash;

 protected:
  // The leaf constructors' shared steps, called from their bodies (so that the virtual
  // calls reach the leaf): parseArgs, then validOptions; if either fails, usage(argv[0])
  // and exit status 1. Then the prefix becomes "k" unless -destination or a prefix was
  // given.
  void _configure(int argc, const char* const* argv);
  // The leaves' parseArgs: every argument from argv[1] on through getOptions, stopping at
  // the first one no class takes. 1 when all were taken.
  int _parseAll(int argc, const char* const* argv);
  // MercInitAPI; a failure is written to standard error and ends the process with 1.
  static void _startEngine();

  const char* key_ = "";
  const char* prefix_ = "";
  const char* map_ = "";
  const char* options_ = "";
  const char* path_ = "";
  int destination_ = 0;
  int keyInMemory_ = 0;
};

std::ostream& operator<<(std::ostream& os, const TsiService& service);

#endif  // ZVR_TSISERVICE_H
