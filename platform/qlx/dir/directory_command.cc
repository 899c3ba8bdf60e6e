// The qlxadm subcommands that load, show and edit the directory. Each works on the whole
// directory as a model: read it, change it in memory, store it in one transaction of the
// store, so that every store keeps the same rules.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string_view>

#include "broker_store.h"
#include "directory.h"
#include "directory_model.h"
#include "exit_check.h"
#include "settings.h"
#include "theme.h"

namespace qlx {
namespace {

enum Status { kOk = 0, kRefused = 1, kUsage = 2 };

// What a command works with. The store is opened on first use, after the command has
// checked its arguments, so that a refused command leaves the broker untouched.
class CommandContext {
 public:
  CommandContext(const DirectoryOpener& open, const char* word, std::ostream& out,
                 std::ostream& err)
      : open_(open), word_(word), out_(out), err_(err) {}
  // The store; null after writing the refusal.
  BrokerStore* store();
  std::ostream& out() const { return out_; }
  std::ostream& err() const { return err_; }

 private:
  const DirectoryOpener& open_;
  const char* const word_;
  std::ostream& out_;
  std::ostream& err_;
  BrokerStore* store_ = nullptr;
};

struct Command {
  const char* word;
  int minArgs;  // arguments after the word
  int maxArgs;
  const char* usage;
  const char* help;
  int (*run)(CommandContext& c, char** args, int count);
};

bool isKind(std::string_view kind) {
  return kind == "element" || kind == "client" || kind == "service" || kind == "dictionary";
}

// A name not found may be a name typed right in the wrong broker: say which one was read.
std::string notInBroker(const std::string& what) { return what + " (" + brokerInUse() + ")"; }

int refuse(std::ostream& err, const char* word, const std::string& what) {
  err << "qlxadm " << word << ": " << what << "\n";
  return kRefused;
}

BrokerStore* CommandContext::store() {
  if (store_) return store_;
  std::string error;
  store_ = open_(error);
  if (store_ == nullptr) refuse(err_, word_, error);
  return store_;
}

// Runs `edit` on the stored directory in one transaction; a refusal or a failed commit
// changes nothing.
int edited(CommandContext& c, const char* word, const BrokerStore::DirectoryEdit& edit) {
  BrokerStore* store = c.store();
  if (store == nullptr) return kRefused;
  std::string error;
  if (!store->editDirectory(edit, error)) return refuse(c.err(), word, error);
  return kOk;
}

// "1 client", "2 clients": the load's summary is read by people as well as scripts.
std::string counted(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int runLoad(CommandContext& c, char** args, int count) {
  const char* path = args[count - 1];
  if (count == 2 && std::strcmp(args[0], "--allow-empty") != 0) return kUsage;
  const EmptyDirectory empty = count == 2 ? EmptyDirectory::kAllow : EmptyDirectory::kRefuse;
  DirectoryModel model;
  std::string error;
  if (!readDirectoryFile(path, empty, model, error) || !checkExitLibraries(model, error))
    return refuse(c.err(), "load", error);
  BrokerStore* store = c.store();
  if (store == nullptr) return kRefused;
  const bool loaded = store->editDirectory(
      [&model](DirectoryModel& stored, std::string&) {
        stored = model;
        return true;
      },
      error);
  if (!loaded) return refuse(c.err(), "load", "cannot load " + std::string(path) + ": " + error);
  c.out() << "loaded " << path << ": " << counted(model.elements.size(), "element") << ", "
        << counted(model.clients.size(), "client") << ", "
        << counted(model.services.size(), "service") << ", "
        << counted(model.dictionaries.size(), "dictionary record") << "\n";
  return kOk;
}

// Keeps the entries of `kind` named `name` (every one when name is null) and drops the
// other kinds.
template <typename T>
void keep(std::vector<T>& entries, bool wanted, const char* name) {
  if (!wanted) {
    entries.clear();
    return;
  }
  if (name == nullptr) return;
  std::erase_if(entries, [name](const T& entry) { return entry.name != name; });
}

int runShow(CommandContext& c, char** args, int count) {
  BrokerStore* store = c.store();
  if (store == nullptr) return kRefused;
  std::ostream& out = c.out();
  std::ostream& err = c.err();
  DirectoryModel model;
  std::string error;
  if (!store->readDirectory(model, error)) return refuse(err, "show", error);
  if (count == 0) {
    writeDirectoryToml(model, out);
    return kOk;
  }
  const std::string_view kind = args[0];
  const char* name = count > 1 ? args[1] : nullptr;
  DirectoryModel shown = model;
  keep(shown.elements, kind == "element", name);
  keep(shown.clients, kind == "client", name);
  keep(shown.services, kind == "service", name);
  keep(shown.dictionaries, kind == "dictionary", name);
  const size_t found = shown.elements.size() + shown.clients.size() + shown.services.size() +
                       shown.dictionaries.size();
  if (name != nullptr && found == 0)
    return refuse(err, "show", notInBroker("no " + std::string(kind) + " named " + name));
  writeDirectoryToml(shown, model, out);
  return kOk;
}

// Services whose workflow names the element (type 1) or client (type 3) `name`.
std::vector<std::string> servicesUsing(const DirectoryModel& model, int type,
                                       const std::string& name) {
  std::vector<std::string> services;
  for (const ServiceDef& service : model.services)
    for (const HopDef& hop : service.hops)
      if (hop.type == type && hop.name == name) {
        services.push_back(service.name);
        break;
      }
  std::sort(services.begin(), services.end());
  return services;
}

template <typename T>
size_t removeNamed(std::vector<T>& entries, const std::string& name) {
  return std::erase_if(entries, [&name](const T& entry) { return entry.name == name; });
}

size_t removeEntry(DirectoryModel& model, std::string_view kind, const std::string& name) {
  if (kind == "element") return removeNamed(model.elements, name);
  if (kind == "client") return removeNamed(model.clients, name);
  if (kind == "service") return removeNamed(model.services, name);
  return removeNamed(model.dictionaries, name);
}

int runDelete(CommandContext& c, char** args, int) {
  const std::string_view kind = args[0];
  const std::string name = args[1];
  if (!isKind(kind)) return kUsage;
  DirectoryModel after;
  const int status = edited(c, "delete", [&](DirectoryModel& model, std::string& problem) {
    if (removeEntry(model, kind, name) == 0) {
      problem = notInBroker("no " + std::string(kind) + " named " + name);
      return false;
    }
    after = model;
    return true;
  });
  if (status != kOk) return status;
  c.out() << "deleted " << kind << " " << name << "\n";
  // Allowed on purpose: a workflow that reaches a deleted hop is how a component meets a
  // hop missing from the directory. Say so, since messages sent there will wait.
  const int hopType = kind == "element" ? kHopBusinessComponent : kHopClient;
  if (kind == "element" || kind == "client") {
    for (const std::string& service : servicesUsing(after, hopType, name))
      c.err() << "qlxadm delete: warning: the workflow of service " << service
              << " still names " << kind << " " << name << "\n";
  }
  return kOk;
}

// Replaces the value of the first pair named `key`, or appends the pair (creating the
// record when missing).
void setPair(DirectoryModel& model, const std::string& dict, const std::string& key,
             const std::string& value) {
  auto record = std::find_if(model.dictionaries.begin(), model.dictionaries.end(),
                             [&dict](const DictionaryDef& d) { return d.name == dict; });
  if (record == model.dictionaries.end()) {
    model.dictionaries.push_back(DictionaryDef{dict, {}});
    record = model.dictionaries.end() - 1;
  }
  for (auto& pair : record->pairs)
    if (pair.first == key) {
      pair.second = value;
      return;
    }
  record->pairs.emplace_back(key, value);
}

// Empty when `text` can stand in a directory file, else what is wrong with it.
std::string checkText(const char* what, const std::string& text) {
  if (!isUtf8(text))
    return std::string(what) + " is not valid UTF-8, which a directory file cannot hold";
  return std::string();
}

// Refuses an edit after which `show` would print a directory that `load` refuses: the
// edited directory is written as TOML and read back before it is stored.
bool readsBack(const DirectoryModel& model, std::string& problem) {
  DirectoryModel back;
  std::string error;
  std::ostringstream text;
  writeDirectoryToml(model, text);
  if (parseDirectoryToml(text.str(), "the directory as shown", back, error)) return true;
  problem = "the directory would no longer load from what show prints: " + error;
  return false;
}

int runSet(CommandContext& c, char** args, int) {
  const std::string dict = args[0], key = args[1], value = args[2];
  if (key.empty()) return refuse(c.err(), "set", "the pair name is empty");
  std::string problem = checkDirectoryName(dict);
  if (!problem.empty()) problem = "dictionary name " + problem;
  if (problem.empty()) problem = checkText("the pair name", key);
  if (problem.empty()) problem = checkText("the value", value);
  if (!problem.empty()) return refuse(c.err(), "set", problem);
  const int status = edited(c, "set", [&](DirectoryModel& model, std::string& why) {
    setPair(model, dict, key, value);
    return readsBack(model, why);
  });
  if (status == kOk) c.out() << "set " << key << " in dictionary " << dict << "\n";
  return status;
}

int runUnset(CommandContext& c, char** args, int) {
  const std::string dict = args[0], key = args[1];
  size_t removed = 0;
  const int status = edited(c, "unset", [&](DirectoryModel& model, std::string& problem) {
    for (DictionaryDef& record : model.dictionaries)
      if (record.name == dict)
        removed = std::erase_if(record.pairs, [&key](const auto& p) { return p.first == key; });
    if (removed > 0) return true;
    const bool exists = std::any_of(model.dictionaries.begin(), model.dictionaries.end(),
                                    [&dict](const DictionaryDef& d) { return d.name == dict; });
    problem = notInBroker(exists ? "dictionary " + dict + " has no pair named " + key
                                 : "no dictionary named " + dict);
    return false;
  });
  if (status == kOk)
    c.out() << "removed " << removed << (removed == 1 ? " pair" : " pairs") << " named " << key
            << " from dictionary " << dict << "\n";
  return status;
}

const Command kCommands[] = {
    {"load", 1, 2, "load [--allow-empty] FILE",
     "replace the whole directory by the TOML file's:\n"
     "a regular file of at most 16 MiB; one that defines\n"
     "no entries only with --allow-empty",
     runLoad},
    {"show", 0, 2, "show [element|client|service|dictionary [NAME]]",
     "print entries as TOML (the format load reads)", runShow},
    {"delete", 2, 2, "delete element|client|service|dictionary NAME", "remove one entry",
     runDelete},
    {"set", 3, 3, "set DICTIONARY KEY VALUE",
     "replace the first pair KEY, or append it (creates the record)", runSet},
    {"unset", 2, 2, "unset DICTIONARY KEY", "remove every pair named KEY", runUnset},
};

const Command* findCommand(const char* word) {
  if (word == nullptr) return nullptr;
  for (const Command& command : kCommands) {
    if (std::strcmp(command.word, word) == 0) return &command;
  }
  return nullptr;
}

}  // namespace

bool isDirectoryCommand(const char* word) { return findCommand(word) != nullptr; }

void directoryUsage(std::ostream& out) {
  // Descriptions start in column 34, under the other qlxadm commands' descriptions.
  constexpr size_t kWidth = 31;
  for (const Command& command : kCommands) {
    const std::string usage = command.usage;
    out << "  " << usage;
    if (usage.size() < kWidth)
      out << std::string(kWidth - usage.size(), ' ');
    else
      out << "\n" << std::string(kWidth + 2, ' ');
    for (const char* line = command.help; *line != '\0';) {
      const char* end = std::strchr(line, '\n');
      const size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
      out << (line == command.help ? "" : std::string(kWidth + 2, ' '))
          << std::string_view(line, length) << "\n";
      line += length + (end ? 1 : 0);
    }
  }
}

int directoryCommand(const DirectoryOpener& open, int argc, char** argv, std::ostream& out,
                     std::ostream& err) {
  const Command* command = argc > 0 ? findCommand(argv[0]) : nullptr;
  if (command == nullptr) {
    err << "usage: qlxadm COMMAND, directory commands:\n";
    directoryUsage(err);
    return kUsage;
  }
  const int count = argc - 1;
  const bool kindOk = std::strcmp(command->word, "show") != 0 || count == 0 || isKind(argv[1]);
  int status = kUsage;
  if (count >= command->minArgs && count <= command->maxArgs && kindOk) {
    CommandContext context(open, command->word, out, err);
    status = command->run(context, argv + 1, count);
  }
  if (status == kUsage) err << "usage: qlxadm " << command->usage << "\n";
  return status;
}

int directoryCommand(BrokerStore& store, int argc, char** argv, std::ostream& out,
                     std::ostream& err) {
  return directoryCommand([&store](std::string&) { return &store; }, argc, argv, out, err);
}

}  // namespace qlx
