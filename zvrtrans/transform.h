// Transform objects: turn one marshalled request into the output of a Mercator map.
//
// For each request the transform object chooses the map and the engine options from the
// message's format name and the next hop of its workflow, builds the engine command
// (transform_command.h), runs the map through RunMap and tells success, success with
// warnings and failure apart. A component has exactly one transform object, made at
// start-up from its command-line options and owned by its service object.
//
//   TsiSimpleTransform, TsiFixedTransform   map name from -path, -map and -prefix
//   TsiDestinationTransform                 map and options from the dictionary entry
//                                           "<format name> <destination>"
#ifndef ZVR_TRANSFORM_H
#define ZVR_TRANSFORM_H

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

#include "merc.h"
#include "transform_command.h"

class QuorDictionary;
class zvrhash;

class Transformation {
 public:
  Transformation() = default;
  virtual ~Transformation();
  Transformation(const Transformation&) = delete;
  Transformation& operator=(const Transformation&) = delete;

  // Runs the map for one message. `destination` is the next hop's name ("ZVRDatagram" at
  // the end of the workflow); the second destination is not read. `input` is borrowed for
  // the call. 1 when the map ran, with or without warnings: `output` and `outputLength`
  // then give the engine's output, owned by this object until the next transform call or
  // its destruction. 0 on failure: `outputLength` is 0, `output` unchanged, and the reason
  // is pending in ZVRerror (ZVRT0003 no map name, ZVRT0002 the engine failed).
  virtual int transform(const char* destination, const char* formatName,
                        const char* destinationAgain, const void* input,
                        unsigned long inputLength, void*& output,
                        unsigned long& outputLength) = 0;
  // The composed map name for `formatName`, or for the explicit `name` when not null;
  // quotes included. The caller frees it with delete[].
  virtual char* inFormatName(const char* formatName, const char* name) const = 0;
  // Null: no map chooses an output format name.
  virtual char* outFormatName(const char* formatName, const char* name) const;
  // Returns the length; `text` gets a new text the caller frees with delete[].
  virtual int display(char*& text) const = 0;
};

std::ostream& operator<<(std::ostream& os, const Transformation& transformation);

class TsiTransform : public Transformation {
 public:
  // The texts the variants compose map names in: at most this many characters, plus the
  // enclosing quotes.
  static constexpr std::size_t kMapNameArea = 512;

  ~TsiTransform() override;

  int transform(const char* destination, const char* formatName, const char* destinationAgain,
                const void* input, unsigned long inputLength, void*& output,
                unsigned long& outputLength) override;
  char* inFormatName(const char* formatName, const char* name) const override;
  // Options, path, map and prefix, the engine record, and hex dumps of the command buffer
  // (its whole capacity) and of the last output.
  int display(char*& text) const override;

  // The map name for this message, or null (with ZVRerror set where the variant says).
  // The caller frees it with delete[].
  virtual char* lookupMap(const char* formatName, const char* destination) const = 0;
  // Engine options for this message, or null. The caller frees it with delete[].
  virtual char* mercOptions(const char* formatName, const char* destination) const = 0;

  // The command of the last run, the engine record, and the dictionary (owned by this).
  const TsiCommandBuffer& command() const { return command_; }
  const ExitParams& exitParams() const { return params_; }
  QuorDictionary* dictionary() const { return dictionary_.get(); }

 protected:
  // The strings are copied (null counts as empty); `dictionary` is adopted (may be null).
  TsiTransform(const char* path, const char* map, const char* prefix, const char* options,
               const char* key, unsigned keyInMemory, QuorDictionary* dictionary);

  // The map-name rule: "<path>/" when a path is given, then the explicit name, else the
  // map, else the prefix and seven characters of the format name; at most kMapNameArea
  // characters (longer parts are cut to the room left), enclosed in single quotes.
  std::string _composeMapName(const char* formatName, const char* explicitName) const;
  // Name of the directory's dictionary record: the key, or "ZVRBroker" when none.
  const char* _recordName() const;
  // Reads the dictionary record from the directory, once per run of transform(): map and
  // options come from the same record, and a second read within one request would only
  // repeat the first. Outside a run every call reads. The lookup's result (1 found).
  int _readRecord() const;

  const std::string key_;
  const std::string options_;
  const std::string path_;
  const std::string map_;
  const std::string prefix_;
  const unsigned keyInMemory_;

 private:
  int _buildCommand(const char* mapName, const void* input, unsigned long inputLength,
                    const char* dictionaryOptions);
  void _runMap();
  int _classifyReturn();
  void _logBuffers() const;
  std::string _errorMessage() const;

  ExitParams params_{};
  TsiCommandBuffer command_;
  std::unique_ptr<QuorDictionary> dictionary_;
  bool inRun_ = false;             // inside transform()
  mutable bool recordRead_ = false;  // the record was found during this run
};

class TsiSimpleTransform : public TsiTransform {
 public:
  TsiSimpleTransform(const char* path, const char* map, const char* prefix, const char* options,
                     const char* key, unsigned keyInMemory, QuorDictionary* dictionary);
  ~TsiSimpleTransform() override;
  char* lookupMap(const char* formatName, const char* destination) const override;
  char* mercOptions(const char* formatName, const char* destination) const override;
};

class TsiFixedTransform : public TsiTransform {
 public:
  TsiFixedTransform(const char* path, const char* map, const char* prefix, const char* options,
                    const char* key, unsigned keyInMemory, QuorDictionary* dictionary);
  ~TsiFixedTransform() override;
  char* lookupMap(const char* formatName, const char* destination) const override;
  char* mercOptions(const char* formatName, const char* destination) const override;
};

// A dictionary value read apart: "MAP options..." or "'quoted map path' options...".
struct TsiMapEntry {
  bool hasMap = false;      // false: empty, blanks only, '' or a quote never closed
  std::string map;          // quotes kept when the value was quoted
  bool hasOptions = false;  // false: nothing followed the map name
  std::string options;      // after the one separating character
  bool quoted = false;      // the value began with a quote
};
TsiMapEntry zvrSplitMapEntry(const char* value);

class TsiDestinationTransform : public TsiTransform {
 public:
  // With `keyInMemory` non-zero the entries are read from the dictionary cache (through
  // getHashObject), otherwise from the directory record through `dictionary`.
  TsiDestinationTransform(const char* path, const char* map, const char* prefix,
                          const char* options, const char* key, unsigned keyInMemory,
                          QuorDictionary* dictionary);
  ~TsiDestinationTransform() override;

  // The map part of the entry. No entry: ZVRD0006 pending and logged. No map in it:
  // null; ZVRT0003 pending (not logged) when the value began with a quote.
  char* lookupMap(const char* formatName, const char* destination) const override;
  // The options part of the entry, null when it has none. No entry: ZVRD0006 pending and
  // logged; no map in it: ZVRT0003 pending and logged.
  char* mercOptions(const char* formatName, const char* destination) const override;

  // Where the process-wide dictionary cache is found; the service layer points it at its
  // accessor (TsiService::getHashObject) before it makes the transform object. Null, or a
  // function returning null, means no cache: every entry is then missing.
  static zvrhash* (*getHashObject)();

 private:
  // The entry's value copied out, or false with ZVRD0006 pending and logged.
  bool _entryValue(const char* formatName, const char* destination, std::string& value) const;
};

#endif  // ZVR_TRANSFORM_H
