// The directory interface of a connection: reads one entry from the directory tables per
// get() and reports a failed read to the control block's exception handler.
#include "directory.h"

#include <string_view>

#include "directory_model.h"
#include "directory_sql.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlxdir"};

enum class Lookup { kFound, kMissing, kFailed };

const char* entryKind(int type) {
  switch (type) {
    case qlxEntryBusinessComponent:
      return "business component";
    case qlxEntryClient:
      return "client";
    case qlxEntryDictionary:
      return "dictionary record";
    default:
      return "entry";
  }
}

bool classMatches(int type, qlxDirEntry& entry) {
  switch (type) {
    case qlxEntryBusinessComponent:
      return dynamic_cast<qlxBusinessComponent*>(&entry) != nullptr;
    case qlxEntryClient:
      return dynamic_cast<qlxClient*>(&entry) != nullptr;
    case qlxEntryDictionary:
      return dynamic_cast<qlxDictionary*>(&entry) != nullptr;
    default:
      return false;
  }
}

// Keeps a name quoted in a reason text short: the middleware's error detail holds 208
// bytes of text.
std::string shortName(std::string_view name) {
  constexpr size_t kRoom = 120;
  if (name.size() <= kRoom) return std::string(name);
  return std::string(name.substr(0, kRoom)) + "...";
}

class SqliteDirectory final : public qlxDirInterface {
 public:
  explicit SqliteDirectory(sqlite3* db) : db_(db), statements_(db) {}
  int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
          void* reserved) override;

 private:
  Lookup _readFormats(const char* sql, int type, const char* name, qlxDirEntry& entry);
  Lookup _readDictionary(const char* name, qlxDirEntry& entry);
  Lookup _read(int type, const char* name, qlxDirEntry& entry);
  void _raise(QLXXCTL* ctl, int reason, long subReason, int type, const char* name);

  sqlite3* const db_;
  DirStatementCache statements_;
  std::string reasonText_;  // handed to the exception handler; valid until the next get
};

int SqliteDirectory::get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
                         void*) {
  trc::Scope trace(kTrace);
  const int t = static_cast<int>(type);
  if (!classMatches(t, entry)) {
    entry.fill(0, std::string(), {}, {});
    reasonText_ =
        "directory get of type " + std::to_string(t) + " with an entry object of another type";
    _raise(ctl, kDirReasonBadRequest, t, t, name);
    return trace.result(0);
  }
  Lookup found = name ? _read(t, name, entry) : Lookup::kMissing;
  if (found == Lookup::kFound) return trace.result(1);
  // A failed read leaves nothing of an earlier record behind for later questions.
  entry.fill(0, std::string(), {}, {});
  if (found == Lookup::kMissing) {
    reasonText_ = std::string("no ") + entryKind(t) + " named " + shortName(name ? name : "") +
                  " in the directory";
    _raise(ctl, kDirReasonNotFound, t, t, name);
  } else {
    const int code = sqlite3_errcode(db_);
    reasonText_ = std::string("directory read failed: ") + shortName(dirSqlError(db_));
    _raise(ctl, kDirReasonReadFailed, code, t, name);
  }
  return trace.result(0);
}

Lookup SqliteDirectory::_read(int type, const char* name, qlxDirEntry& entry) {
  if (type == qlxEntryBusinessComponent)
    return _readFormats("SELECT formats FROM element WHERE name = ?1", type, name, entry);
  if (type == qlxEntryClient)
    return _readFormats("SELECT formats FROM client WHERE name = ?1", type, name, entry);
  return _readDictionary(name, entry);
}

Lookup SqliteDirectory::_readFormats(const char* sql, int type, const char* name,
                                     qlxDirEntry& entry) {
  DirStatement query(statements_, sql);
  if (!query.ok()) return Lookup::kFailed;
  query.bind(1, std::string_view(name));
  int rc = query.step();
  if (rc == SQLITE_DONE) return Lookup::kMissing;
  if (rc != SQLITE_ROW) return Lookup::kFailed;
  entry.fill(type, name, splitFormats(query.text(0)), {});
  return Lookup::kFound;
}

Lookup SqliteDirectory::_readDictionary(const char* name, qlxDirEntry& entry) {
  DirStatement pairs(statements_,
                     "SELECT key, value FROM dictionary WHERE name = ?1 ORDER BY position");
  if (!pairs.ok()) return Lookup::kFailed;
  pairs.bind(1, std::string_view(name));
  std::vector<std::string> keys, values;
  int rc;
  while ((rc = pairs.step()) == SQLITE_ROW) {
    keys.push_back(pairs.text(0));
    values.push_back(pairs.text(1));
  }
  if (rc != SQLITE_DONE) return Lookup::kFailed;
  if (keys.empty()) {
    // A record without pairs exists only through its row in dictionary_record.
    DirStatement record(statements_, "SELECT 1 FROM dictionary_record WHERE name = ?1");
    if (!record.ok()) return Lookup::kFailed;
    rc = record.bind(1, std::string_view(name)).step();
    if (rc == SQLITE_DONE) return Lookup::kMissing;
    if (rc != SQLITE_ROW) return Lookup::kFailed;
  }
  entry.fill(qlxEntryDictionary, name, std::move(keys), std::move(values));
  return Lookup::kFound;
}

void SqliteDirectory::_raise(QLXXCTL* ctl, int reason, long subReason, int type, const char* name) {
  if (ctl == nullptr || ctl->Services == nullptr || ctl->Services->ExceptionHandler == nullptr)
    return;
  // The handler may read the name: hand it an empty one rather than a null address.
  static const char kNoName[] = "";
  const char* shownName = name ? name : kNoName;
  auto word = [](const void* p) { return reinterpret_cast<unsigned long>(p); };
  ctl->Services->ExceptionHandler(
      static_cast<unsigned long>(reason), static_cast<unsigned long>(subReason),
      static_cast<unsigned long>(type), word(shownName), word(reasonText_.c_str()), 0,
      static_cast<unsigned long>(kQlxCallDirectory), word(ctl), 0, 0);
}

}  // namespace

std::unique_ptr<qlxDirInterface> makeDirectory(sqlite3* db) {
  return std::make_unique<SqliteDirectory>(db);
}

}  // namespace qlx
