// In-memory form of the whole directory, shared by the TOML reader and writer, the
// stores that keep it (broker_store.h) and the qlxadm editor. A model read from a file is
// checked completely before anything is written, so a bad file never changes the stored
// directory.
#ifndef QLX_DIRECTORY_MODEL_H
#define QLX_DIRECTORY_MODEL_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlx {

// Hop kinds of a workflow. They are the application types of the next-hop record that a
// workflow theme query returns, except kHopOrigin, which is resolved to kHopClient with the
// name of the client that started the workflow when a theme is created. Every store keeps
// these values as they are.
enum HopType : int {
  kHopBusinessComponent = 1,
  kHopClient = 3,
  kHopNative = 4,
  kHopOrigin = 100,
};

struct ElementDef {
  std::string name;
  std::vector<std::string> formats;
  int64_t defaultActions = 1;
  std::optional<std::string> exitLibrary;
  bool operator==(const ElementDef&) const = default;
};

struct ClientDef {
  std::string name;
  std::vector<std::string> formats;
  bool operator==(const ClientDef&) const = default;
};

struct HopDef {
  int type = 0;  // HopType, or any other value kept as is
  std::string name;
  bool operator==(const HopDef&) const = default;
};

struct ServiceDef {
  std::string name;
  std::vector<HopDef> hops;
  bool operator==(const ServiceDef&) const = default;
};

struct DictionaryDef {
  std::string name;
  std::vector<std::pair<std::string, std::string>> pairs;
  bool operator==(const DictionaryDef&) const = default;
};

struct DirectoryModel {
  std::vector<ElementDef> elements;
  std::vector<ClientDef> clients;
  std::vector<ServiceDef> services;
  std::vector<DictionaryDef> dictionaries;
  bool operator==(const DirectoryModel&) const = default;
};

// Longest entry or format name: the name fields of the middleware records hold 132 bytes.
inline constexpr size_t kMaxDirectoryName = 132;

// Empty when `name` is acceptable as an entry or format name, else what is wrong with it.
std::string checkDirectoryName(std::string_view name);

// Limits of a directory file, far above what a directory needs: a bigger file is refused
// before it is read (a device or a growing file would never end), and deeper nesting
// before it is parsed (the TOML reader recurses once per level).
inline constexpr size_t kMaxDirectoryFileBytes = 16u << 20;  // 16 MiB
inline constexpr size_t kMaxDirectoryNesting = 32;

// Parses TOML text. `path` names the file in messages and anchors relative exit paths.
// Text over kMaxDirectoryFileBytes or nested deeper than kMaxDirectoryNesting is refused
// without parsing. False with `error` set ("PATH:LINE:COLUMN: text" where the fault lies
// at a place in the text); `model` then holds what was read before the fault.
bool parseDirectoryToml(std::string_view text, const std::string& path, DirectoryModel& model,
                        std::string& error);

// What `load` does with a file that defines no entry at all (empty, or only comments).
enum class EmptyDirectory { kRefuse, kAllow };

// Reads and checks the directory file at `path`: a regular file of at most
// kMaxDirectoryFileBytes (a folder, FIFO, device or socket is refused without waiting or
// reading), with text parseDirectoryToml accepts, and with at least one entry unless
// `empty` allows none. Touches no store. False with `error` set.
bool readDirectoryFile(const std::string& path, EmptyDirectory empty, DirectoryModel& model,
                       std::string& error);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF): the only text a TOML file may hold.
bool isUtf8(std::string_view text);

// Writes the entries of `shown` in the format parseDirectoryToml reads. A hop that names
// an element or client which `whole` does not define is written in the raw "type:N:NAME"
// form, so that the text of the whole directory always reads back.
void writeDirectoryToml(const DirectoryModel& shown, const DirectoryModel& whole,
                        std::ostream& out);
inline void writeDirectoryToml(const DirectoryModel& model, std::ostream& out) {
  writeDirectoryToml(model, model, out);
}

// The hop as written in a workflow list ("element:E", "origin", "type:7:X", ...).
std::string hopText(const HopDef& hop);

// Splits and joins format lists in the form both stores keep them: names separated by
// newlines (a name holds no control character), empty parts dropped.
std::vector<std::string> splitFormats(std::string_view stored);
std::string joinFormats(const std::vector<std::string>& formats);

}  // namespace qlx

#endif  // QLX_DIRECTORY_MODEL_H
