// The PostgreSQL store: faults, what the operator sees and changes, the directory.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "directory.h"
#include "pg_broker.h"
#include "pg_statements.h"

namespace qlx {
namespace {

constexpr const char* kFaultChannel = "qlx_fault";
constexpr const char* kDirectoryChannel = "qlx_directory";

// The columns of a message as readRow (pg_broker.cc) reads them (pg::kMessageColumns),
// from `message m`; a listing's own columns follow them.
#define QLX_PG_MESSAGE_COLUMNS                                                             \
  "m.id, m.queue, m.backout, m.descriptor, m.msg_id, m.correl_id, m.format_name, "        \
  "m.put_sec, m.theme_id, m.origin, m.service, m.hops, m.body, m.tag, m.error"
constexpr int kFirstListingColumn = 15;

constexpr const char* kFindFault =
    "SELECT id, reason, sub_reason FROM fault WHERE call = $1 AND remaining > 0 AND "
    "(name IS NULL OR name = $2) ORDER BY id LIMIT 1 FOR UPDATE";

bool readModel(pg::Connection& conn, DirectoryModel& model) {
  model = DirectoryModel{};
  pg::Result e = conn.run("SELECT name, formats, default_actions, exit_library FROM element "
                          "ORDER BY name COLLATE \"C\"");
  pg::Result c = conn.run("SELECT name, formats FROM client ORDER BY name COLLATE \"C\"");
  pg::Result s = conn.run("SELECT s.name, h.type, h.name FROM service s LEFT JOIN hop h ON "
                          "h.service = s.name ORDER BY s.name COLLATE \"C\", h.position");
  pg::Result d = conn.run(
      "SELECT r.name, p.key, p.value FROM (SELECT name FROM dictionary_record UNION SELECT "
      "name FROM dictionary) r LEFT JOIN dictionary p ON p.name = r.name "
      "ORDER BY r.name COLLATE \"C\", p.position");
  if (!e.ok() || !c.ok() || !s.ok() || !d.ok()) return false;
  for (int i = 0; i < e.rows(); ++i) {
    ElementDef def{e.text(i, 0), splitFormats(e.text(i, 1)), e.integer(i, 2), std::nullopt};
    if (!e.isNull(i, 3)) def.exitLibrary = e.text(i, 3);
    model.elements.push_back(std::move(def));
  }
  for (int i = 0; i < c.rows(); ++i)
    model.clients.push_back({c.text(i, 0), splitFormats(c.text(i, 1))});
  for (int i = 0; i < s.rows(); ++i) {
    if (model.services.empty() || model.services.back().name != s.text(i, 0))
      model.services.push_back({s.text(i, 0), {}});
    if (!s.isNull(i, 1))
      model.services.back().hops.push_back({static_cast<int>(s.integer(i, 1)), s.text(i, 2)});
  }
  for (int i = 0; i < d.rows(); ++i) {
    if (model.dictionaries.empty() || model.dictionaries.back().name != d.text(i, 0))
      model.dictionaries.push_back({d.text(i, 0), {}});
    if (!d.isNull(i, 1)) model.dictionaries.back().pairs.emplace_back(d.text(i, 1), d.text(i, 2));
  }
  return true;
}

bool storeModel(pg::Connection& conn, const DirectoryModel& model) {
  if (!conn.exec("DELETE FROM hop; DELETE FROM service; DELETE FROM element; "
                 "DELETE FROM client; DELETE FROM dictionary; DELETE FROM dictionary_record"))
    return false;
  for (const ElementDef& e : model.elements) {
    pg::Params p;
    p.add(e.name).add(joinFormats(e.formats)).add(e.defaultActions).maybe(e.exitLibrary);
    if (!conn.run("INSERT INTO element VALUES ($1, $2, $3, $4)", p).ok()) return false;
  }
  for (const ClientDef& c : model.clients)
    if (!conn.run("INSERT INTO client VALUES ($1, $2)",
                  pg::Params().add(c.name).add(joinFormats(c.formats)))
             .ok())
      return false;
  for (const ServiceDef& s : model.services) {
    if (!conn.run("INSERT INTO service VALUES ($1)", pg::Params().add(s.name)).ok()) return false;
    for (size_t i = 0; i < s.hops.size(); ++i) {
      pg::Params p;
      p.add(s.name).add(static_cast<int64_t>(i)).add(static_cast<int64_t>(s.hops[i].type));
      if (!conn.run("INSERT INTO hop VALUES ($1, $2, $3, $4)", p.add(s.hops[i].name)).ok())
        return false;
    }
  }
  for (const DictionaryDef& d : model.dictionaries) {
    if (!conn.run("INSERT INTO dictionary_record VALUES ($1)", pg::Params().add(d.name)).ok())
      return false;
    for (size_t i = 0; i < d.pairs.size(); ++i) {
      pg::Params p;
      p.add(d.name).add(static_cast<int64_t>(i)).add(d.pairs[i].first).add(d.pairs[i].second);
      if (!conn.run("INSERT INTO dictionary VALUES ($1, $2, $3, $4)", p).ok()) return false;
    }
  }
  return true;
}

int lookUp(pg::Connection& conn, int type, const std::string& name, DirectoryRead& read) {
  pg::Result r;
  if (type == qlxEntryBusinessComponent || type == qlxEntryClient) {
    r = conn.run(type == qlxEntryClient ? "SELECT formats FROM client WHERE name = $1"
                                        : "SELECT formats FROM element WHERE name = $1",
                 pg::Params().add(name));
    if (r.ok() && r.rows() == 1) read.first = splitFormats(r.text(0, 0));
  } else {
    r = conn.run("SELECT p.key, p.value FROM dictionary_record d LEFT JOIN dictionary p ON "
                 "p.name = d.name WHERE d.name = $1 ORDER BY p.position",
                 pg::Params().add(name));
    for (int i = 0; r.ok() && i < r.rows(); ++i)
      if (!r.isNull(i, 0)) {
        read.first.push_back(r.text(i, 0));
        read.second.push_back(r.text(i, 1));
      }
  }
  if (r.ok()) return r.rows() > 0 ? 1 : 0;
  read.code = conn.errorCode();
  read.failure = conn.errorText();
  return -1;
}

// Faults added and directory edits made by this process: its own stores need no notice
// to see them.
std::atomic<uint64_t> gFaultsAdded{0};
std::atomic<uint64_t> gDirectoryEdits{0};

}  // namespace

bool PgBrokerStore::takeNotices() {
  PGconn* session = side_.raw();
  if (!session) return false;
  PQconsumeInput(session);
  bool any = false;
  while (PGnotify* notice = PQnotifies(session)) {
    if (std::strcmp(notice->relname, kFaultChannel) == 0) faults_ = Faults::kUnknown;
    if (std::strcmp(notice->relname, kDirectoryChannel) == 0) keptHops_.clear();
    PQfreemem(notice);
    any = true;
  }
  return any;
}

// Listening starts before what it keeps is read, so that a change committed after the
// read comes with a notice: a new session forgets what the one before kept. False without
// the side session.
bool PgBrokerStore::_listening() {
  if (!_ensureSide()) return false;
  if (listener_ != side_.session()) {
    faults_ = Faults::kUnknown;
    keptHops_.clear();
    listener_ = side_.exec("LISTEN qlx_fault; LISTEN qlx_directory") ? side_.session() : 0;
    if (listener_ == 0) return false;
  }
  const uint64_t added = gFaultsAdded.load(std::memory_order_acquire);
  if (added != faultsSeen_) {
    faults_ = Faults::kUnknown;
    faultsSeen_ = added;
  }
  const uint64_t edits = gDirectoryEdits.load(std::memory_order_acquire);
  if (edits != editsSeen_) {
    keptHops_.clear();
    editsSeen_ = edits;
  }
  takeNotices();
  return true;
}

// Without the side session every call reads the table.
bool PgBrokerStore::_faultsMayBePending() {
  return !_listening() || faults_ != Faults::kNone;
}

bool PgBrokerStore::takeFault(const char* call, std::string_view name, Fault& fault) {
  if (!_faultsMayBePending()) return false;
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return false;
  pg::Result probe = conn.run("SELECT 1 FROM fault LIMIT 1");
  if (!probe.ok()) return false;
  if (probe.rows() == 0) {
    // A fault added after the probe notifies after it, and the notice makes this unknown.
    if (listener_ == side_.session() && listener_ != 0) faults_ = Faults::kNone;
    return false;
  }
  faults_ = Faults::kSome;
  bool found = false;
  _inOneTransaction(conn, [&] {
    pg::Result r = conn.run(kFindFault, pg::Params().add(call).add(name));
    if (!r.ok() || r.rows() == 0) return r.ok();
    fault.id = r.integer(0, 0);
    fault.call = call;
    fault.reason = static_cast<int32_t>(r.integer(0, 1));
    fault.subReason.reset();
    if (!r.isNull(0, 2)) fault.subReason = static_cast<int32_t>(r.integer(0, 2));
    found = conn.run("UPDATE fault SET remaining = remaining - 1 WHERE id = $1",
                     pg::Params().add(fault.id))
                .ok() &&
            conn.exec("DELETE FROM fault WHERE remaining <= 0");
    return found;
  });
  return found;
}

// The notice goes with the fault's own transaction: every listening store reads the table
// again before its next call.
bool PgBrokerStore::addFault(const Fault& fault, std::string& error) {
  pg::Params p;
  p.add(fault.call).add(static_cast<int64_t>(fault.reason)).maybe(fault.subReason);
  p.add(fault.remaining).maybe(fault.name);
  faults_ = Faults::kUnknown;
  if (_ready(unit_) &&
      unit_.run("WITH f AS (INSERT INTO fault (call, reason, sub_reason, remaining, name) "
                "VALUES ($1, $2, $3, $4, $5) RETURNING id) "
                "SELECT pg_notify('qlx_fault', '') FROM f",
                p)
          .ok()) {
    gFaultsAdded.fetch_add(1, std::memory_order_release);
    return true;
  }
  error = unit_.errorText();
  return false;
}

bool PgBrokerStore::listFaults(std::vector<Fault>& faults, std::string& error) {
  faults.clear();
  pg::Result r;
  if (_ready(unit_))
    r = unit_.run("SELECT id, call, reason, sub_reason, remaining, name FROM fault ORDER BY id");
  if (!r.ok()) {
    error = unit_.errorText();
    return false;
  }
  for (int i = 0; i < r.rows(); ++i) {
    Fault f;
    f.id = r.integer(i, 0);
    f.call = r.text(i, 1);
    f.reason = static_cast<int32_t>(r.integer(i, 2));
    if (!r.isNull(i, 3)) f.subReason = static_cast<int32_t>(r.integer(i, 3));
    f.remaining = r.integer(i, 4);
    if (!r.isNull(i, 5)) f.name = r.text(i, 5);
    faults.push_back(std::move(f));
  }
  return true;
}

bool PgBrokerStore::clearFaults(std::string& error) {
  if (_ready(unit_) && unit_.exec("DELETE FROM fault")) return true;
  error = unit_.errorText();
  return false;
}

bool PgBrokerStore::browse(const std::string& queue, std::vector<BrowsedMessage>& rows,
                           std::string& error) {
  rows.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run(
      "SELECT " QLX_PG_MESSAGE_COLUMNS ", " QLX_PG_HELD
      " FROM message m, " QLX_PG_SNAPSHOT_XMAX " WHERE m.queue = $1 ORDER BY m.seq, m.id",
      pg::Params().add(queue));
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i) {
    BrowsedMessage m;
    _readRow(r, i, m.row);
    m.claimed = r.integer(i, kFirstListingColumn) != 0;
    rows.push_back(std::move(m));
  }
  return true;
}

bool PgBrokerStore::errorEntries(const std::string& element, std::vector<MessageRow>& rows,
                                 std::string& error) {
  rows.clear();
  pg::Connection& conn = _outside();
  if (!_ready(conn)) return _fail(conn, error);
  pg::Result r = conn.run(
      "SELECT " QLX_PG_MESSAGE_COLUMNS " FROM message m "
      "WHERE queue LIKE 'error:%' AND ($1 = '' OR queue = 'error:' || $1) "
      "ORDER BY queue COLLATE \"C\", seq, id",
      pg::Params().add(element));
  if (!r.ok()) return _fail(conn, error);
  for (int i = 0; i < r.rows(); ++i) {
    rows.emplace_back();
    _readRow(r, i, rows.back());
  }
  return true;
}

int64_t PgBrokerStore::settleErrors(const std::string& element, const std::vector<int64_t>& ids,
                                    bool remove, std::string& error) {
  pg::Connection& conn = _outside();
  std::string why;
  const bool ok = _inOneTransaction(conn, [&] {
    for (int64_t id : ids) {
      // An entry that some unit of work holds is that unit's to finish.
      pg::Result held = conn.run(
          "SELECT id FROM message WHERE id = $1 AND queue = $2 FOR UPDATE SKIP LOCKED",
          pg::Params().add(id).add("error:" + element));
      if (!held.ok()) return false;
      if (held.rows() == 0) {
        pg::Result there = conn.run("SELECT 1 FROM message WHERE id = $1 AND queue = $2",
                                    pg::Params().add(id).add("error:" + element));
        why = there.ok() && there.rows() > 0
                  ? "entry " + std::to_string(id) + " is held by a unit of work; try again"
                  : "entry " + std::to_string(id) + " left the error queue meanwhile";
        return false;
      }
    }
    // The server must know the type of every parameter: the delete takes the ids alone.
    pg::Params p;
    p.ids(ids);
    if (!remove) p.add("element:" + element);
    return conn
        .run(remove ? "DELETE FROM message WHERE id = ANY ($1::bigint[])"
                    : "UPDATE message SET queue = $2, seq = 0, backout = 0, error = NULL "
                      "WHERE id = ANY ($1::bigint[])",
             p)
        .ok();
  });
  if (ok) return static_cast<int64_t>(ids.size());
  if (why.empty()) return (_fail(conn, error), -1);
  error = why;
  return -1;
}

bool PgBrokerStore::resetRuntime(std::string& error) {
  pg::Connection& conn = _outside();
  if (_inOneTransaction(conn, [&] {
        return conn.exec("DELETE FROM message; DELETE FROM fault; DELETE FROM claim");
      }))
    return true;
  return _fail(conn, error);
}

std::unique_ptr<qlxDirInterface> PgBrokerStore::directory() {
  return makeDirectory([this](int type, const std::string& name, DirectoryRead& read) {
    pg::Connection& conn = _outside();
    if (!_ready(conn)) {
      read.code = conn.errorCode();
      read.failure = conn.errorText();
      return -1;
    }
    return lookUp(conn, type, name, read);
  });
}

bool PgBrokerStore::readDirectory(DirectoryModel& model, std::string& error) {
  pg::Connection& conn = _outside();
  if (_ready(conn) && readModel(conn, model)) return true;
  error = "cannot read the directory: " + conn.errorText();
  return false;
}

// The directory is read under a lock of its own, so two edits never interleave.
bool PgBrokerStore::editDirectory(const DirectoryEdit& edit, std::string& error) {
  pg::Connection& conn = _outside();
  std::string refused;
  const bool ok = _inOneTransaction(conn, [&] {
    DirectoryModel model;
    if (!conn.exec("SELECT pg_advisory_xact_lock(7170657)") || !readModel(conn, model))
      return false;
    if (!edit(model, refused)) return false;
    refused.clear();
    return storeModel(conn, model) && conn.exec("SELECT pg_notify('qlx_directory', '')");
  });
  if (ok) {
    gDirectoryEdits.fetch_add(1, std::memory_order_release);
    return true;
  }
  error = refused.empty() ? conn.errorText() : refused;
  return false;
}

}  // namespace qlx
