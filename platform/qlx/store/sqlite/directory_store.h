// The directory in the embedded store: the tables of directory_schema.h in the home's
// database, read into and written from the store-neutral model (directory_model.h), and
// the directory interface of a connection over them. SqliteBrokerStore answers the
// directory operations of broker_store.h with these; nothing above the store calls them.
// Every `db` is borrowed: it stays open and is used by one thread for the whole call.
#ifndef QLX_SQLITE_DIRECTORY_STORE_H
#define QLX_SQLITE_DIRECTORY_STORE_H

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "directory.h"
#include "directory_model.h"
#include "qlxdir.h"

namespace qlx {

// Creates the tables when missing. False with `error` set on a database failure.
bool ensureDirectorySchema(sqlite3* db, std::string& error);

// Replaces every stored entry by the model's, within the caller's transaction. False with
// `error` set; the caller then rolls back.
bool storeDirectory(sqlite3* db, const DirectoryModel& model, std::string& error);

// Reads every stored entry, each kind ordered by name. False with `error` set; `model` then
// holds what was read before the failure.
bool readDirectory(sqlite3* db, DirectoryModel& model, std::string& error);

// Replaces the stored directory by `model` in one transaction (`path` names the file in
// messages). On failure nothing changes and `error` says why. Moves no generation word
// (directory_cache.h): servers of a home in use learn of an edit only through the store's
// editDirectory.
bool replaceDirectory(sqlite3* db, const DirectoryModel& model, const std::string& path,
                      std::string& error);

// Replaces the whole directory by the one in the TOML file at `path` (read and checked by
// readDirectoryFile first), in one transaction, as replaceDirectory does. On failure
// nothing changes and `error` says what is wrong, as "FILE:LINE:COLUMN: text" when the
// fault lies at a place in the file.
bool loadDirectory(sqlite3* db, const std::string& path, std::string& error,
                   bool allowEmpty = false);

// The directory interface of one connection over `db` (it must stay open until the
// returned object is destroyed), as makeDirectory describes; a failed read reports the
// SQLite code as the sub-reason. With a generation word (borrowed, directory_cache.h) the
// entries read are kept for the life of the object while the word does not move.
std::unique_ptr<qlxDirInterface> makeDirectory(sqlite3* db,
                                               const std::atomic<uint32_t>* generation = nullptr);

}  // namespace qlx

#endif  // QLX_SQLITE_DIRECTORY_STORE_H
