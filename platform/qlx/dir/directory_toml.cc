// Reads a directory from TOML text into the model, checking everything, and writes the
// model back as TOML in the same format.
#include <toml++/toml.h>

#include <charconv>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <sstream>

#include "directory_model.h"
#include "toml_nesting.h"

namespace qlx {
namespace {

constexpr const char* kHopForms =
    "element:NAME, client:NAME, origin, native, native:NAME or type:N:NAME";

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Length of the UTF-8 sequence a byte starts: 1 to 4, or 0 for a byte that starts none.
size_t utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// "N" or "N:NAME" of a raw hop: any type number, any name.
bool rawHop(std::string_view rest, HopDef& hop) {
  const size_t end = rest.find(':');
  const std::string_view number = rest.substr(0, end);
  int type = 0;
  auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), type);
  if (number.empty() || ec != std::errc() || ptr != number.data() + number.size()) return false;
  hop = {type, end == std::string_view::npos ? "" : std::string(rest.substr(end + 1))};
  return true;
}

class TomlReader {
 public:
  TomlReader(const std::string& path, std::string& error) : path_(path), error_(error) {}
  bool read(const toml::table& root, DirectoryModel& model);

 private:
  bool _fail(const toml::source_region& where, const std::string& what);
  bool _section(const toml::table& root, const char* kind, const toml::table*& section);
  bool _entry(const toml::key& key, const toml::node& node, const char* kind,
              std::initializer_list<std::string_view> allowed, const toml::table*& table);
  bool _formats(const toml::table& entry, const std::string& label,
                std::vector<std::string>& formats);
  bool _element(const toml::key& key, const toml::node& node, ElementDef& element);
  bool _client(const toml::key& key, const toml::node& node, ClientDef& client);
  bool _service(const toml::key& key, const toml::node& node, ServiceDef& service);
  bool _hop(const toml::node& node, const std::string& label, HopDef& hop);
  bool _namedHop(const toml::node& node, const std::string& label, std::string_view kind,
                 std::string_view name, const std::set<std::string>& defined, HopDef& hop);
  bool _dictionary(const toml::key& key, const toml::node& node, DictionaryDef& dictionary);
  bool _pair(const toml::node& node, const std::string& label,
             std::pair<std::string, std::string>& pair);
  bool _exitPath(const toml::node& node, const std::string& label, std::string& exitPath);

  const std::string& path_;
  std::string& error_;
  std::set<std::string> elements_;
  std::set<std::string> clients_;
};

bool TomlReader::_fail(const toml::source_region& where, const std::string& what) {
  error_ = path_ + ":" + std::to_string(where.begin.line) + ":" +
           std::to_string(where.begin.column) + ": " + what;
  return false;
}

bool TomlReader::read(const toml::table& root, DirectoryModel& model) {
  for (auto&& [key, node] : root) {
    const std::string_view k = key.str();
    if (k != "element" && k != "client" && k != "service" && k != "dictionary")
      return _fail(key.source(), "unknown section '" + std::string(k) +
                                     "' (expected element, client, service or dictionary)");
  }
  const toml::table* section = nullptr;
  if (!_section(root, "element", section)) return false;
  for (auto&& [key, node] : *section) {
    if (!_element(key, node, model.elements.emplace_back())) return false;
    elements_.insert(model.elements.back().name);
  }
  if (!_section(root, "client", section)) return false;
  for (auto&& [key, node] : *section) {
    if (!_client(key, node, model.clients.emplace_back())) return false;
    clients_.insert(model.clients.back().name);
  }
  if (!_section(root, "service", section)) return false;
  for (auto&& [key, node] : *section) {
    if (!_service(key, node, model.services.emplace_back())) return false;
  }
  if (!_section(root, "dictionary", section)) return false;
  for (auto&& [key, node] : *section) {
    if (!_dictionary(key, node, model.dictionaries.emplace_back())) return false;
  }
  return true;
}

bool TomlReader::_section(const toml::table& root, const char* kind, const toml::table*& section) {
  static const toml::table kEmpty;
  section = &kEmpty;
  const toml::node* node = root.get(kind);
  if (node == nullptr) return true;
  section = node->as_table();
  if (section == nullptr)
    return _fail(node->source(),
                 std::string(kind) + " must be a table of entries, as in [" + kind + ".NAME]");
  return true;
}

bool TomlReader::_entry(const toml::key& key, const toml::node& node, const char* kind,
                        std::initializer_list<std::string_view> allowed,
                        const toml::table*& table) {
  const std::string label = std::string(kind) + " " + std::string(key.str());
  const std::string problem = checkDirectoryName(key.str());
  if (!problem.empty()) return _fail(key.source(), kind + std::string(" name ") + problem);
  table = node.as_table();
  if (table == nullptr)
    return _fail(node.source(),
                 label + " must be a table, as in [" + kind + "." + std::string(key.str()) + "]");
  for (auto&& [field, value] : *table) {
    bool known = false;
    std::string names;
    for (std::string_view a : allowed) {
      known = known || field.str() == a;
      names += (names.empty() ? "" : ", ") + std::string(a);
    }
    if (!known)
      return _fail(field.source(), label + ": unknown key '" + std::string(field.str()) +
                                       "' (allowed: " + names + ")");
  }
  return true;
}

bool TomlReader::_formats(const toml::table& entry, const std::string& label,
                          std::vector<std::string>& formats) {
  const toml::node* node = entry.get("formats");
  if (node == nullptr) return true;
  const toml::array* list = node->as_array();
  if (list == nullptr)
    return _fail(node->source(), label + ": formats must be an array of strings");
  for (const toml::node& item : *list) {
    const auto* format = item.as_string();
    if (format == nullptr) return _fail(item.source(), label + ": a format must be a string");
    const std::string problem = checkDirectoryName(format->get());
    if (!problem.empty()) return _fail(item.source(), label + ": format name " + problem);
    formats.push_back(format->get());
  }
  return true;
}

bool TomlReader::_exitPath(const toml::node& node, const std::string& label,
                           std::string& exitPath) {
  const auto* text = node.as_string();
  if (text == nullptr || text->get().empty() || hasNul(text->get()))
    return _fail(node.source(), label + ": exit must be the path of a shared library");
  std::filesystem::path exitFile(text->get());
  if (exitFile.is_relative()) {
    std::error_code ignored;
    std::filesystem::path base = std::filesystem::absolute(path_, ignored).parent_path();
    exitFile = (base / exitFile).lexically_normal();
  }
  exitPath = exitFile.string();
  return true;
}

bool TomlReader::_element(const toml::key& key, const toml::node& node, ElementDef& element) {
  const toml::table* table = nullptr;
  if (!_entry(key, node, "element", {"formats", "default_actions", "exit"}, table)) return false;
  element.name = std::string(key.str());
  const std::string label = "element " + element.name;
  if (!_formats(*table, label, element.formats)) return false;
  if (const toml::node* actions = table->get("default_actions")) {
    const auto* value = actions->as_integer();
    if (value == nullptr || value->get() < 0 || value->get() > 0xFFFFFFFFLL)
      return _fail(actions->source(),
                   label + ": default_actions must be an integer from 0 to 4294967295");
    element.defaultActions = value->get();
  }
  if (const toml::node* exitNode = table->get("exit")) {
    std::string exitPath;
    if (!_exitPath(*exitNode, label, exitPath)) return false;
    element.exitLibrary = exitPath;
  }
  return true;
}

bool TomlReader::_client(const toml::key& key, const toml::node& node, ClientDef& client) {
  const toml::table* table = nullptr;
  if (!_entry(key, node, "client", {"formats"}, table)) return false;
  client.name = std::string(key.str());
  return _formats(*table, "client " + client.name, client.formats);
}

bool TomlReader::_service(const toml::key& key, const toml::node& node, ServiceDef& service) {
  const toml::table* table = nullptr;
  if (!_entry(key, node, "service", {"workflow"}, table)) return false;
  service.name = std::string(key.str());
  const std::string label = "service " + service.name;
  const toml::node* workflow = table->get("workflow");
  if (workflow == nullptr) return _fail(node.source(), label + ": workflow is missing");
  const toml::array* hops = workflow->as_array();
  if (hops == nullptr || hops->empty())
    return _fail(workflow->source(),
                 label + ": workflow must be a non-empty array of hops (" + kHopForms + ")");
  for (const toml::node& item : *hops) {
    if (!_hop(item, label, service.hops.emplace_back())) return false;
  }
  return true;
}

bool TomlReader::_hop(const toml::node& node, const std::string& label, HopDef& hop) {
  const auto* value = node.as_string();
  if (value == nullptr) return _fail(node.source(), label + ": a hop must be a string");
  const std::string_view text = value->get();
  const size_t colon = text.find(':');
  const std::string_view kind = text.substr(0, colon);
  const std::string_view rest = colon == std::string_view::npos ? "" : text.substr(colon + 1);
  const bool named = colon != std::string_view::npos;
  if (hasNul(text)) return _fail(node.source(), label + ": a hop contains a NUL character");
  if (kind == "element" && named) {
    hop.type = kHopBusinessComponent;
    return _namedHop(node, label, "element", rest, elements_, hop);
  }
  if (kind == "client" && named) {
    hop.type = kHopClient;
    return _namedHop(node, label, "client", rest, clients_, hop);
  }
  if (kind == "origin" && !named) {
    hop = {kHopOrigin, ""};
    return true;
  }
  const bool known = kind == "native" || (kind == "type" && named && rawHop(rest, hop));
  if (!known)
    return _fail(node.source(),
                 label + ": unknown hop '" + std::string(text) + "' (expected " + kHopForms + ")");
  if (kind == "native") hop = {kHopNative, std::string(rest)};
  // The broker copies hop names into fixed name fields: the entry name rules hold here too.
  const std::string problem = hop.name.empty() ? "" : checkDirectoryName(hop.name);
  if (!problem.empty()) return _fail(node.source(), label + ": hop name " + problem);
  return true;
}

bool TomlReader::_namedHop(const toml::node& node, const std::string& label, std::string_view kind,
                           std::string_view name, const std::set<std::string>& defined,
                           HopDef& hop) {
  if (defined.count(std::string(name)) == 0)
    return _fail(node.source(), label + ": workflow names " + std::string(kind) + " '" +
                                    std::string(name) + "', which is not defined (add [" +
                                    std::string(kind) + "." + std::string(name) + "])");
  hop.name = std::string(name);
  return true;
}

bool TomlReader::_dictionary(const toml::key& key, const toml::node& node,
                             DictionaryDef& dictionary) {
  const toml::table* table = nullptr;
  if (!_entry(key, node, "dictionary", {"pairs"}, table)) return false;
  dictionary.name = std::string(key.str());
  const std::string label = "dictionary " + dictionary.name;
  const toml::node* pairs = table->get("pairs");
  if (pairs == nullptr) return true;
  const toml::array* list = pairs->as_array();
  if (list == nullptr)
    return _fail(pairs->source(), label + ": pairs must be an array of [NAME, VALUE] arrays");
  for (const toml::node& item : *list) {
    if (!_pair(item, label, dictionary.pairs.emplace_back())) return false;
  }
  return true;
}

bool TomlReader::_pair(const toml::node& node, const std::string& label,
                       std::pair<std::string, std::string>& pair) {
  const toml::array* two = node.as_array();
  const toml::value<std::string>* name = nullptr;
  const toml::value<std::string>* value = nullptr;
  if (two != nullptr && two->size() == 2) {
    name = (*two)[0].as_string();
    value = (*two)[1].as_string();
  }
  if (name == nullptr || value == nullptr)
    return _fail(node.source(), label +
                                    ": a pair must be an array of two strings, "
                                    "as in [\"NAME\", \"VALUE\"]");
  if (name->get().empty()) return _fail(node.source(), label + ": a pair name is empty");
  if (hasNul(name->get()) || hasNul(value->get()))
    return _fail(node.source(), label + ": a pair contains a NUL character");
  pair = {name->get(), value->get()};
  return true;
}

bool isBareKey(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string tomlString(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string tomlKey(std::string_view key) {
  return isBareKey(key) ? std::string(key) : tomlString(key);
}

std::string stringList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + tomlString(items[i]);
  return out + "]";
}

std::string writtenHop(const HopDef& hop, const DirectoryModel& model) {
  auto defined = [&hop](const auto& entries) {
    for (const auto& entry : entries) {
      if (entry.name == hop.name) return true;
    }
    return false;
  };
  const bool raw = (hop.type == kHopBusinessComponent && !defined(model.elements)) ||
                   (hop.type == kHopClient && !defined(model.clients));
  if (!raw) return hopText(hop);
  return "type:" + std::to_string(hop.type) + ":" + hop.name;
}

}  // namespace

std::string checkDirectoryName(std::string_view name) {
  if (name.empty()) return "is empty";
  if (!isUtf8(name)) return "is not valid UTF-8";
  if (name.size() > kMaxDirectoryName)
    return "'" + std::string(name.substr(0, 40)) + "...' is longer than " +
           std::to_string(kMaxDirectoryName) + " bytes";
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return "'" + std::string(name) + "' contains a control character";
  }
  return std::string();
}

bool isUtf8(std::string_view text) {
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = utf8Length(lead);
    if (length == 0 || length > text.size() - i) return false;
    uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

bool parseDirectoryToml(std::string_view text, const std::string& path, DirectoryModel& model,
                        std::string& error) {
  model = DirectoryModel{};
  if (text.size() > kMaxDirectoryFileBytes) {
    error = path + ": " + std::to_string(text.size()) + " bytes; a directory file holds at most " +
            std::to_string(kMaxDirectoryFileBytes) + " bytes (16 MiB)";
    return false;
  }
  const TomlNesting nesting = scanTomlNesting(text, kMaxDirectoryNesting);
  if (nesting.line != 0) {
    error = path + ":" + std::to_string(nesting.line) + ":" + std::to_string(nesting.column) +
            ": tables, keys and arrays nested deeper than " +
            std::to_string(kMaxDirectoryNesting) + " levels";
    return false;
  }
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    error = path + ":" + std::to_string(e.source().begin.line) + ":" +
            std::to_string(e.source().begin.column) + ": " + std::string(e.description());
    return false;
  }
  TomlReader reader(path, error);
  if (!reader.read(root, model)) return false;
  // Written back (qlxadm show escapes what the file may hold raw, a line break as "\n"),
  // the directory must still be a file that loads.
  std::ostringstream written;
  writeDirectoryToml(model, written);
  if (written.tellp() <= static_cast<std::streamoff>(kMaxDirectoryFileBytes)) return true;
  error = path + ": written back as TOML the directory would take " +
          std::to_string(written.tellp()) + " bytes, more than a directory file holds (" +
          std::to_string(kMaxDirectoryFileBytes) + ")";
  return false;
}

std::string hopText(const HopDef& hop) {
  switch (hop.type) {
    case kHopBusinessComponent:
      return "element:" + hop.name;
    case kHopClient:
      return "client:" + hop.name;
    case kHopNative:
      return hop.name.empty() ? "native" : "native:" + hop.name;
    case kHopOrigin:
      if (hop.name.empty()) return "origin";
      break;
    default:
      break;
  }
  return "type:" + std::to_string(hop.type) + (hop.name.empty() ? "" : ":" + hop.name);
}

void writeDirectoryToml(const DirectoryModel& model, const DirectoryModel& whole,
                        std::ostream& out) {
  const char* gap = "";
  for (const ElementDef& e : model.elements) {
    out << gap << "[element." << tomlKey(e.name) << "]\nformats = " << stringList(e.formats)
        << "\ndefault_actions = " << e.defaultActions << "\n";
    if (e.exitLibrary) out << "exit = " << tomlString(*e.exitLibrary) << "\n";
    gap = "\n";
  }
  for (const ClientDef& c : model.clients) {
    out << gap << "[client." << tomlKey(c.name) << "]\nformats = " << stringList(c.formats) << "\n";
    gap = "\n";
  }
  for (const ServiceDef& s : model.services) {
    std::vector<std::string> hops;
    for (const HopDef& hop : s.hops) hops.push_back(writtenHop(hop, whole));
    out << gap << "[service." << tomlKey(s.name) << "]\nworkflow = " << stringList(hops) << "\n";
    gap = "\n";
  }
  for (const DictionaryDef& d : model.dictionaries) {
    out << gap << "[dictionary." << tomlKey(d.name) << "]\npairs = [";
    for (const auto& [key, value] : d.pairs)
      out << "\n  [" << tomlString(key) << ", " << tomlString(value) << "],";
    out << (d.pairs.empty() ? "]\n" : "\n]\n");
    gap = "\n";
  }
}

}  // namespace qlx
