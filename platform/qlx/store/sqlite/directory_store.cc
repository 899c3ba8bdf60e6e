// Moves the directory model in and out of the embedded store's directory tables, loads a
// TOML file as one transaction, and answers a connection's directory gets.
#include "directory_store.h"

#include <map>

#include "directory_cache.h"
#include "directory_schema.h"
#include "directory_sql.h"

namespace qlx {
namespace {

bool storeElements(sqlite3* db, const DirectoryModel& model) {
  DirStatement insert(db,
                      "INSERT INTO element (name, formats, default_actions, exit_library) "
                      "VALUES (?1, ?2, ?3, ?4)");
  if (!insert.ok()) return false;
  for (const ElementDef& e : model.elements) {
    insert.bind(1, e.name)
        .bind(2, joinFormats(e.formats))
        .bind(3, static_cast<long long>(e.defaultActions));
    if (e.exitLibrary)
      insert.bind(4, *e.exitLibrary);
    else
      insert.bindNull(4);
    if (!insert.run()) return false;
  }
  DirStatement client(db, "INSERT INTO client (name, formats) VALUES (?1, ?2)");
  if (!client.ok()) return false;
  for (const ClientDef& c : model.clients) {
    if (!client.bind(1, c.name).bind(2, joinFormats(c.formats)).run()) return false;
  }
  return true;
}

bool storeServices(sqlite3* db, const DirectoryModel& model) {
  DirStatement service(db, "INSERT INTO service (name) VALUES (?1)");
  DirStatement hop(db, "INSERT INTO hop (service, position, type, name) VALUES (?1, ?2, ?3, ?4)");
  if (!service.ok() || !hop.ok()) return false;
  for (const ServiceDef& s : model.services) {
    if (!service.bind(1, s.name).run()) return false;
    for (size_t i = 0; i < s.hops.size(); ++i) {
      hop.bind(1, s.name)
          .bind(2, static_cast<long long>(i))
          .bind(3, static_cast<long long>(s.hops[i].type));
      if (!hop.bind(4, s.hops[i].name).run()) return false;
    }
  }
  return true;
}

bool storeDictionaries(sqlite3* db, const DirectoryModel& model) {
  DirStatement record(db, "INSERT INTO dictionary_record (name) VALUES (?1)");
  DirStatement pair(db,
                    "INSERT INTO dictionary (name, position, key, value) VALUES (?1, ?2, ?3, ?4)");
  if (!record.ok() || !pair.ok()) return false;
  for (const DictionaryDef& d : model.dictionaries) {
    if (!record.bind(1, d.name).run()) return false;
    for (size_t i = 0; i < d.pairs.size(); ++i) {
      pair.bind(1, d.name).bind(2, static_cast<long long>(i)).bind(3, d.pairs[i].first);
      if (!pair.bind(4, d.pairs[i].second).run()) return false;
    }
  }
  return true;
}

bool readElements(sqlite3* db, DirectoryModel& model) {
  DirStatement e(db,
                 "SELECT name, formats, default_actions, exit_library FROM element ORDER BY name");
  if (!e.ok()) return false;
  int rc;
  while ((rc = e.step()) == SQLITE_ROW) {
    ElementDef& def = model.elements.emplace_back();
    def.name = e.text(0);
    def.formats = splitFormats(e.text(1));
    def.defaultActions = e.integer(2);
    if (!e.isNull(3)) def.exitLibrary = e.text(3);
  }
  if (rc != SQLITE_DONE) return false;
  DirStatement c(db, "SELECT name, formats FROM client ORDER BY name");
  if (!c.ok()) return false;
  while ((rc = c.step()) == SQLITE_ROW)
    model.clients.push_back({c.text(0), splitFormats(c.text(1))});
  return rc == SQLITE_DONE;
}

bool readServices(sqlite3* db, DirectoryModel& model) {
  DirStatement s(db, "SELECT name FROM service ORDER BY name");
  if (!s.ok()) return false;
  std::map<std::string, size_t> index;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    index[s.text(0)] = model.services.size();
    model.services.push_back({s.text(0), {}});
  }
  if (rc != SQLITE_DONE) return false;
  DirStatement h(db, "SELECT service, type, name FROM hop ORDER BY service, position");
  if (!h.ok()) return false;
  while ((rc = h.step()) == SQLITE_ROW) {
    auto it = index.find(h.text(0));
    // Hops of a service that is gone are left over from an editor that did not remove
    // them; they are no part of the directory.
    if (it != index.end())
      model.services[it->second].hops.push_back({static_cast<int>(h.integer(1)), h.text(2)});
  }
  return rc == SQLITE_DONE;
}

bool readDictionaries(sqlite3* db, DirectoryModel& model) {
  DirStatement names(db,
                     "SELECT name FROM dictionary_record UNION SELECT name FROM dictionary "
                     "ORDER BY name");
  if (!names.ok()) return false;
  std::map<std::string, size_t> index;
  int rc;
  while ((rc = names.step()) == SQLITE_ROW) {
    index[names.text(0)] = model.dictionaries.size();
    model.dictionaries.push_back({names.text(0), {}});
  }
  if (rc != SQLITE_DONE) return false;
  DirStatement pairs(db, "SELECT name, key, value FROM dictionary ORDER BY name, position");
  if (!pairs.ok()) return false;
  while ((rc = pairs.step()) == SQLITE_ROW)
    model.dictionaries[index[pairs.text(0)]].pairs.emplace_back(pairs.text(1), pairs.text(2));
  return rc == SQLITE_DONE;
}

// 1 found, 0 missing, -1 failed, as a DirectoryLookup answers.
int readFormats(DirStatementCache& statements, const char* sql, const std::string& name,
                DirectoryRead& read) {
  DirStatement query(statements, sql);
  if (!query.ok()) return -1;
  query.bind(1, std::string_view(name));
  int rc = query.step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  read.first = splitFormats(query.text(0));
  return 1;
}

int readDictionary(DirStatementCache& statements, const std::string& name, DirectoryRead& read) {
  DirStatement pairs(statements,
                     "SELECT key, value FROM dictionary WHERE name = ?1 ORDER BY position");
  if (!pairs.ok()) return -1;
  pairs.bind(1, std::string_view(name));
  int rc;
  while ((rc = pairs.step()) == SQLITE_ROW) {
    read.first.push_back(pairs.text(0));
    read.second.push_back(pairs.text(1));
  }
  if (rc != SQLITE_DONE) return -1;
  if (read.first.empty()) {
    // A record without pairs exists only through its row in dictionary_record.
    DirStatement record(statements, "SELECT 1 FROM dictionary_record WHERE name = ?1");
    if (!record.ok()) return -1;
    rc = record.bind(1, std::string_view(name)).step();
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
  }
  return 1;
}

int sqliteLookup(DirStatementCache& statements, int type, const std::string& name,
                 DirectoryRead& read) {
  sqlite3* const db = statements.db();
  int found;
  if (type == qlxEntryBusinessComponent)
    found = readFormats(statements, "SELECT formats FROM element WHERE name = ?1", name, read);
  else if (type == qlxEntryClient)
    found = readFormats(statements, "SELECT formats FROM client WHERE name = ?1", name, read);
  else
    found = readDictionary(statements, name, read);
  if (found < 0) {
    read.code = sqlite3_errcode(db);
    read.failure = dirSqlError(db);
  }
  return found;
}

}  // namespace

bool ensureDirectorySchema(sqlite3* db, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, kDirectorySchema, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = std::string("cannot create the directory tables: ") +
          (message ? message : dirSqlError(db).c_str());
  sqlite3_free(message);
  return false;
}

bool storeDirectory(sqlite3* db, const DirectoryModel& model, std::string& error) {
  // Hops first: with foreign keys on, a hop must not outlive its service.
  const char* kClear =
      "DELETE FROM hop; DELETE FROM service; DELETE FROM element; DELETE FROM client;"
      "DELETE FROM dictionary; DELETE FROM dictionary_record;";
  if (sqlite3_exec(db, kClear, nullptr, nullptr, nullptr) != SQLITE_OK ||
      !storeElements(db, model) || !storeServices(db, model) || !storeDictionaries(db, model)) {
    error = dirSqlError(db);
    return false;
  }
  return true;
}

bool readDirectory(sqlite3* db, DirectoryModel& model, std::string& error) {
  model = DirectoryModel{};
  if (readElements(db, model) && readServices(db, model) && readDictionaries(db, model))
    return true;
  error = "cannot read the directory: " + dirSqlError(db);
  return false;
}

bool replaceDirectory(sqlite3* db, const DirectoryModel& model, const std::string& path,
                      std::string& error) {
  if (!ensureDirectorySchema(db, error)) return false;
  DirTransaction transaction(db);
  if (!transaction.begun()) {
    error = "cannot load " + path + ": " + dirSqlError(db);
    return false;
  }
  std::string why;
  if (!storeDirectory(db, model, why) || !transaction.commit()) {
    error = "cannot load " + path + ": " + (why.empty() ? dirSqlError(db) : why);
    return false;
  }
  return true;
}

bool loadDirectory(sqlite3* db, const std::string& path, std::string& error, bool allowEmpty) {
  DirectoryModel model;
  const EmptyDirectory empty = allowEmpty ? EmptyDirectory::kAllow : EmptyDirectory::kRefuse;
  return readDirectoryFile(path, empty, model, error) &&
         replaceDirectory(db, model, path, error);
}

// The statements stay prepared for the life of the directory: a component reads the
// directory for every request it serves, and preparing cost more than running them.
std::unique_ptr<qlxDirInterface> makeDirectory(sqlite3* db,
                                               const std::atomic<uint32_t>* generation) {
  auto statements = std::make_shared<DirStatementCache>(db);
  DirectoryLookup read = [statements](int type, const std::string& name, DirectoryRead& into) {
    return sqliteLookup(*statements, type, name, into);
  };
  return makeDirectory(generation ? cachingLookup(std::move(read), generation) : std::move(read));
}

}  // namespace qlx
