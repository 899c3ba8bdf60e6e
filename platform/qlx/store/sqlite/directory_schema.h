// Tables of the directory in the embedded store's database (broker.db of the home). The
// directory loader and editor write them; the broker reads them when a connection
// registers, when a request starts a workflow, and when the error profile looks for an
// element's exit. Existing homes hold these tables: change them only with a migration.
#ifndef QLX_DIRECTORY_SCHEMA_H
#define QLX_DIRECTORY_SCHEMA_H

namespace qlx {

inline constexpr const char* kDirectorySchema = R"sql(
CREATE TABLE IF NOT EXISTS element (
  name            TEXT PRIMARY KEY,
  formats         TEXT NOT NULL DEFAULT '',  -- accepted format names, one per line
  default_actions INTEGER NOT NULL DEFAULT 1,  -- error profile actions requested
  exit_library    TEXT                        -- path of the error-action exit, or NULL
);
CREATE TABLE IF NOT EXISTS client (
  name    TEXT PRIMARY KEY,
  formats TEXT NOT NULL DEFAULT ''
);
CREATE TABLE IF NOT EXISTS service (
  name TEXT PRIMARY KEY
);
CREATE TABLE IF NOT EXISTS hop (
  service  TEXT NOT NULL REFERENCES service(name) ON DELETE CASCADE,
  position INTEGER NOT NULL,  -- 0 is the first hop
  type     INTEGER NOT NULL,  -- HopType; any other value is stored and reported as is
  name     TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (service, position)
);
-- Every dictionary record has a row here, so that a record without pairs still exists.
-- A record that has pairs but no row here (written by an older loader) exists as well.
CREATE TABLE IF NOT EXISTS dictionary_record (
  name TEXT PRIMARY KEY
);
CREATE TABLE IF NOT EXISTS dictionary (
  name     TEXT NOT NULL,
  position INTEGER NOT NULL,
  key      TEXT NOT NULL,
  value    TEXT NOT NULL,
  PRIMARY KEY (name, position)
);
)sql";

}  // namespace qlx

#endif  // QLX_DIRECTORY_SCHEMA_H
