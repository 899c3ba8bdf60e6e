// The qlxadm subcommands that load, show and edit the directory.
#include <cstring>
#include <functional>
#include <sstream>
#include <string_view>

#include "directory.h"
#include "directory_model.h"
#include "directory_schema.h"
#include "directory_sql.h"
#include "exit_check.h"

namespace qlx {
namespace {

enum Status { kOk = 0, kRefused = 1, kUsage = 2 };

// What a command works with. The database is opened on first use, after the command has
// checked its arguments, so that a refused command leaves the broker home untouched.
class CommandContext {
 public:
  CommandContext(const DirectoryOpener& open, const char* word, std::ostream& out,
                 std::ostream& err)
      : open_(open), word_(word), out_(out), err_(err) {}
  // The database with the directory tables; null after writing the refusal.
  sqlite3* db();
  std::ostream& out() const { return out_; }
  std::ostream& err() const { return err_; }

 private:
  const DirectoryOpener& open_;
  const char* const word_;
  std::ostream& out_;
  std::ostream& err_;
  sqlite3* db_ = nullptr;
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

int refuse(std::ostream& err, const char* word, const std::string& what) {
  err << "qlxadm " << word << ": " << what << "\n";
  return kRefused;
}

sqlite3* CommandContext::db() {
  if (db_) return db_;
  std::string error;
  sqlite3* db = open_(error);
  if (db == nullptr || !ensureDirectorySchema(db, error)) {
    refuse(err_, word_, error);
    return nullptr;
  }
  return db_ = db;
}

// Runs `edit` inside one transaction; a refusal or a failed commit changes nothing.
int inTransaction(sqlite3* db, const char* word, std::ostream& err,
                  const std::function<int(std::string& problem)>& edit) {
  DirTransaction transaction(db);
  if (!transaction.begun()) return refuse(err, word, dirSqlError(db));
  std::string problem;
  const int status = edit(problem);
  if (status != kOk) return refuse(err, word, problem.empty() ? dirSqlError(db) : problem);
  if (!transaction.commit()) return refuse(err, word, dirSqlError(db));
  return kOk;
}

int runLoad(CommandContext& c, char** args, int count) {
  const char* path = args[count - 1];
  if (count == 2 && std::strcmp(args[0], "--allow-empty") != 0) return kUsage;
  const EmptyDirectory empty = count == 2 ? EmptyDirectory::kAllow : EmptyDirectory::kRefuse;
  DirectoryModel model;
  std::string error;
  if (!readDirectoryFile(path, empty, model, error) || !checkExitLibraries(model, error))
    return refuse(c.err(), "load", error);
  sqlite3* db = c.db();
  if (db == nullptr) return kRefused;
  if (!replaceDirectory(db, model, path, error)) return refuse(c.err(), "load", error);
  c.out() << "loaded " << path << ": " << model.elements.size() << " elements, "
        << model.clients.size() << " clients, " << model.services.size() << " services, "
        << model.dictionaries.size() << " dictionary records\n";
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
  sqlite3* db = c.db();
  if (db == nullptr) return kRefused;
  std::ostream& out = c.out();
  std::ostream& err = c.err();
  DirectoryModel model;
  std::string error;
  if (!readDirectory(db, model, error)) return refuse(err, "show", error);
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
    return refuse(err, "show", "no " + std::string(kind) + " named " + name);
  writeDirectoryToml(shown, model, out);
  return kOk;
}

// Services whose workflow names the element (type 1) or client (type 3) `name`.
std::vector<std::string> servicesUsing(sqlite3* db, int type, const std::string& name) {
  std::vector<std::string> services;
  DirStatement q(db,
                 "SELECT DISTINCT service FROM hop WHERE type = ?1 AND name = ?2 "
                 "ORDER BY service");
  if (!q.ok()) return services;
  q.bind(1, static_cast<long long>(type)).bind(2, name);
  while (q.step() == SQLITE_ROW) services.push_back(q.text(0));
  return services;
}

bool deleteRows(sqlite3* db, std::string_view kind, const std::string& name, int& removed) {
  const char* sql[2] = {nullptr, nullptr};
  if (kind == "element") sql[0] = "DELETE FROM element WHERE name = ?1";
  if (kind == "client") sql[0] = "DELETE FROM client WHERE name = ?1";
  if (kind == "service") {
    sql[0] = "DELETE FROM hop WHERE service = ?1";
    sql[1] = "DELETE FROM service WHERE name = ?1";
  }
  if (kind == "dictionary") {
    sql[0] = "DELETE FROM dictionary WHERE name = ?1";
    sql[1] = "DELETE FROM dictionary_record WHERE name = ?1";
  }
  removed = 0;
  for (const char* text : sql) {
    if (text == nullptr) continue;
    DirStatement del(db, text);
    if (!del.ok() || !del.bind(1, name).run()) return false;
    removed += sqlite3_changes(db);
  }
  return true;
}

int runDelete(CommandContext& c, char** args, int) {
  const std::string_view kind = args[0];
  const std::string name = args[1];
  if (!isKind(kind)) return kUsage;
  sqlite3* db = c.db();
  if (db == nullptr) return kRefused;
  std::ostream& out = c.out();
  std::ostream& err = c.err();
  const int status = inTransaction(db, "delete", err, [&](std::string& problem) {
    int removed = 0;
    if (!deleteRows(db, kind, name, removed)) return kRefused;
    if (removed == 0) problem = "no " + std::string(kind) + " named " + name;
    return removed == 0 ? kRefused : kOk;
  });
  if (status != kOk) return status;
  out << "deleted " << kind << " " << name << "\n";
  // Allowed on purpose: a workflow that reaches a deleted hop is how a component meets a
  // hop missing from the directory. Say so, since messages sent there will wait.
  const int hopType = kind == "element" ? kHopBusinessComponent : kHopClient;
  if (kind == "element" || kind == "client") {
    for (const std::string& service : servicesUsing(db, hopType, name))
      err << "qlxadm delete: warning: the workflow of service " << service << " still names "
          << kind << " " << name << "\n";
  }
  return kOk;
}

// Replaces the value of the first pair named `key`, or appends the pair.
int setPair(sqlite3* db, const std::string& dict, const std::string& key, const std::string& value,
            std::string& problem) {
  const std::string nameProblem = checkDirectoryName(dict);
  if (!nameProblem.empty()) {
    problem = "dictionary name " + nameProblem;
    return kRefused;
  }
  DirStatement record(db, "INSERT OR IGNORE INTO dictionary_record (name) VALUES (?1)");
  DirStatement first(db,
                     "SELECT position FROM dictionary WHERE name = ?1 AND key = ?2 "
                     "ORDER BY position LIMIT 1");
  if (!record.ok() || !first.ok() || !record.bind(1, dict).run()) return kRefused;
  const int rc = first.bind(1, dict).bind(2, key).step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return kRefused;
  const bool replace = rc == SQLITE_ROW;
  const long long position = replace ? first.integer(0) : 0;
  first.reset();
  DirStatement write(db, replace ? "UPDATE dictionary SET value = ?4 WHERE name = ?1 AND "
                                   "position = ?2 AND key = ?3"
                                 : "INSERT INTO dictionary (name, position, key, value) "
                                   "SELECT ?1, COALESCE(MAX(position) + 1, 0), ?3, ?4 "
                                   "FROM dictionary WHERE name = ?1");
  if (!write.ok()) return kRefused;
  write.bind(1, dict).bind(2, position).bind(3, key).bind(4, value);
  return write.run() ? kOk : kRefused;
}

// Empty when `text` can stand in a directory file, else what is wrong with it.
std::string checkText(const char* what, const std::string& text) {
  if (!isUtf8(text))
    return std::string(what) + " is not valid UTF-8, which a directory file cannot hold";
  return std::string();
}

// Refuses an edit after which `show` would print a directory that `load` refuses: the
// stored directory is written as TOML and read back, inside the edit's transaction.
int checkReadsBack(sqlite3* db, std::string& problem) {
  DirectoryModel model, back;
  std::string error;
  if (!readDirectory(db, model, error)) {
    problem = error;
    return kRefused;
  }
  std::ostringstream text;
  writeDirectoryToml(model, text);
  if (parseDirectoryToml(text.str(), "the directory as shown", back, error)) return kOk;
  problem = "the directory would no longer load from what show prints: " + error;
  return kRefused;
}

int runSet(CommandContext& c, char** args, int) {
  const std::string dict = args[0], key = args[1], value = args[2];
  if (key.empty()) return refuse(c.err(), "set", "the pair name is empty");
  std::string problem = checkDirectoryName(dict);
  if (!problem.empty()) problem = "dictionary name " + problem;
  if (problem.empty()) problem = checkText("the pair name", key);
  if (problem.empty()) problem = checkText("the value", value);
  if (!problem.empty()) return refuse(c.err(), "set", problem);
  sqlite3* db = c.db();
  if (db == nullptr) return kRefused;
  const int status = inTransaction(db, "set", c.err(), [&](std::string& why) {
    const int set = setPair(db, dict, key, value, why);
    return set == kOk ? checkReadsBack(db, why) : set;
  });
  if (status == kOk) c.out() << "set " << key << " in dictionary " << dict << "\n";
  return status;
}

bool recordExists(sqlite3* db, const std::string& dict) {
  DirStatement q(db,
                 "SELECT 1 FROM dictionary_record WHERE name = ?1 UNION ALL "
                 "SELECT 1 FROM dictionary WHERE name = ?1");
  return q.ok() && q.bind(1, dict).step() == SQLITE_ROW;
}

int runUnset(CommandContext& c, char** args, int) {
  sqlite3* db = c.db();
  if (db == nullptr) return kRefused;
  std::ostream& out = c.out();
  std::ostream& err = c.err();
  const std::string dict = args[0], key = args[1];
  int removed = 0;
  const int status = inTransaction(db, "unset", err, [&](std::string& problem) {
    DirStatement del(db, "DELETE FROM dictionary WHERE name = ?1 AND key = ?2");
    if (!del.ok() || !del.bind(1, dict).bind(2, key).run()) return kRefused;
    removed = sqlite3_changes(db);
    if (removed > 0) return kOk;
    problem = recordExists(db, dict) ? "dictionary " + dict + " has no pair named " + key
                                     : "no dictionary named " + dict;
    return kRefused;
  });
  if (status == kOk)
    out << "removed " << removed << (removed == 1 ? " pair" : " pairs") << " named " << key
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

int directoryCommand(sqlite3* db, int argc, char** argv, std::ostream& out, std::ostream& err) {
  return directoryCommand([db](std::string&) { return db; }, argc, argv, out, err);
}

}  // namespace qlx
