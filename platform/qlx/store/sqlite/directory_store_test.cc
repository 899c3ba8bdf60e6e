// The embedded store's side of the directory: the rows its tables hold (existing homes keep
// them), and what a damaged, locked or hand-changed database does to a load, an edit and a
// get. The cases every store passes are in dir/.
#include "directory_store.h"

#include <sqlite3.h>

#include "directory_test_util.h"
#include "sqlite_broker.h"

namespace qlx::testing {
namespace {

// A fixture of dir/ on the embedded store, with its database at hand.
template <class Base>
class OnSqlite : public Base {
 protected:
  std::unique_ptr<BrokerStore> makeStore() override {
    auto store = std::make_unique<SqliteBrokerStore>();
    sqlite_ = store.get();
    return store;
  }
  sqlite3* db() { return sqlite_->sql().db(); }
  int exec(const std::string& sql) {
    return sqlite3_exec(db(), sql.c_str(), nullptr, nullptr, nullptr);
  }
  // The rows `sql` returns, columns joined by '|', NULL as "NULL".
  std::vector<std::string> rows(const char* sql) {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db(), sql, -1, &stmt, nullptr), SQLITE_OK) << sql;
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row += (i ? "|" : "") + (text ? std::string(reinterpret_cast<const char*>(text)) : "NULL");
      }
      out.push_back(row);
    }
    sqlite3_finalize(stmt);
    return out;
  }

  SqliteBrokerStore* sqlite_ = nullptr;  // the store_ of the fixture
};

using SqliteDirectory = OnSqlite<DirectoryTest>;

// The rows a load writes, as homes made by earlier builds hold them: a change here leaves
// those homes unreadable or read wrongly.
TEST_F(SqliteDirectory, LoadWritesTheRowsHomesHold) {
  ASSERT_EQ(load(std::string(kSmallDirectory) + "[element.X]\nexit = \"/l/x.so\"\n"), "");
  struct Case {
    const char* sql;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"SELECT name, formats, default_actions, exit_library FROM element ORDER BY name",
       {"E|ORDERS\nINVOICE|5|NULL", "F||1|NULL", "X||1|/l/x.so"}},
      {"SELECT name, formats FROM client", {"C1|ORDERSUP"}},
      {"SELECT name FROM service", {"ECHO"}},
      {"SELECT service, position, type, name FROM hop ORDER BY position",
       {"ECHO|0|1|E", "ECHO|1|100|"}},
      {"SELECT name FROM dictionary_record ORDER BY name", {"NONE", "ZVRBroker"}},
      {"SELECT name, position, key, value FROM dictionary ORDER BY position",
       {"ZVRBroker|0|ORDERS C1|upper -oe1s", "ZVRBroker|1|EMPTY C1|",
        "ZVRBroker|2|ORDERS C1|second"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// Rows as an older loader or a hand edit left them read as the directory they mean.
TEST_F(SqliteDirectory, ReadsRowsOfOlderHomes) {
  ASSERT_EQ(exec("INSERT INTO element (name) VALUES ('E');"
                 "INSERT INTO element VALUES ('G', '\nA\n\nB\n', 3, NULL);"
                 "INSERT INTO service VALUES ('S');"
                 "INSERT INTO hop VALUES ('S', 1, 7, 'N'), ('S', 0, 1, 'E');"
                 "INSERT INTO dictionary VALUES ('OLD', 1, 'K2', 'v2'), ('OLD', 0, 'K1', '');"),
            SQLITE_OK);
  ASSERT_EQ(exec("PRAGMA foreign_keys=OFF; INSERT INTO hop VALUES ('GONE', 0, 1, 'E');"
                 "PRAGMA foreign_keys=ON;"),
            SQLITE_OK);
  DirectoryModel want;
  want.elements = {{"E", {}, 1, std::nullopt}, {"G", {"A", "B"}, 3, std::nullopt}};
  want.services = {{"S", {{kHopBusinessComponent, "E"}, {7, "N"}}}};
  want.dictionaries = {{"OLD", {{"K1", ""}, {"K2", "v2"}}}};
  EXPECT_EQ(stored(), want);
  qlxDictionary dict;
  ASSERT_EQ(store_->directory()->get(nullptr, "OLD", qlxEntryDictionary, dict, nullptr), 1);
  EXPECT_STREQ(dict.getEntryValue("K1"), "");
}

// A write that fails half way, whichever way the directory is written, leaves the
// directory as it was.
TEST_F(SqliteDirectory, DatabaseFailureRollsBack) {
  ASSERT_EQ(load(kSmallDirectory), "");
  // A trigger makes the last insert of a load fail after everything else was written.
  ASSERT_EQ(exec("CREATE TRIGGER refuse BEFORE INSERT ON dictionary WHEN NEW.key = 'BAD' "
                 "BEGIN SELECT RAISE(ABORT, 'refused by test'); END"),
            SQLITE_OK);
  const DirectoryModel before = stored();
  const std::string bad =
      writeFile("bad.toml", "[element.X]\n[dictionary.D]\npairs = [[\"BAD\", \"\"]]\n");
  std::string direct;
  EXPECT_FALSE(loadDirectory(db(), bad, direct));
  const std::string viaStore = loadFile(bad);
  EXPECT_EQ(command({"set", "D", "BAD", "v"}), 1);
  const std::string viaCommand = err_.str();
  for (const std::string& error : {direct, viaStore, viaCommand}) {
    EXPECT_NE(error.find("refused by test"), std::string::npos) << error;
  }
  EXPECT_NE(direct.find("cannot load " + bad + ": "), std::string::npos) << direct;
  EXPECT_EQ(stored(), before);
}

TEST_F(SqliteDirectory, DeletedServiceLeavesNoHops) {
  ASSERT_EQ(load(kSmallDirectory), "");
  ASSERT_EQ(command({"delete", "service", "ECHO"}), 0) << err_.str();
  EXPECT_EQ(rows("SELECT count(*) FROM hop"), std::vector<std::string>{"0"});
}

TEST_F(SqliteDirectory, CommandsCreateMissingTables) {
  ASSERT_EQ(load(kSmallDirectory), "");
  ASSERT_EQ(exec("DROP TABLE dictionary_record"), SQLITE_OK);
  EXPECT_EQ(command({"set", "D", "K", "V"}), 0) << err_.str();
  EXPECT_EQ(pairsOf("D"), (Pairs{{"K", "V"}}));
}

TEST_F(SqliteDirectory, BusyDatabaseRefusesAndChangesNothing) {
  ASSERT_EQ(load(kSmallDirectory), "");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
  sqlite3_busy_handler(db(), nullptr, nullptr);  // fail at once rather than retry for 30 s
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(command({"set", "ZVRBroker", "K", "V"}), 1);
  EXPECT_NE(err_.str().find("locked"), std::string::npos) << err_.str();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(pairsOf("ZVRBroker").size(), 3u);
}

// Gets through the directory interface over the database itself, without the entries a
// store's interface keeps between gets: what the tables hold now is what a get sees.
class SqliteDirectoryGet : public OnSqlite<DirectoryGet> {
 protected:
  std::unique_ptr<qlxDirInterface> makeDirectoryUnderTest() override {
    return makeDirectory(db());
  }
};

TEST_F(SqliteDirectoryGet, DatabaseFailureIsReported) {
  ASSERT_EQ(exec("DROP TABLE element"), SQLITE_OK);
  qlxBusinessComponent element;
  EXPECT_EQ(get("E", qlxEntryBusinessComponent, element), 0);
  expectHandler(kDirReasonReadFailed, SQLITE_ERROR, qlxEntryBusinessComponent, "E");
  EXPECT_NE(gCall.text.find("no such table"), std::string::npos) << gCall.text;
}

// The statements of a get are prepared once per connection: later gets must still see
// every change made since, through this connection or another, and a table that went away.
TEST_F(SqliteDirectoryGet, RepeatedGetsSeeChangesSinceTheFirst) {
  qlxDictionary dict;
  qlxBusinessComponent element;
  ASSERT_EQ(get("ZVRBroker", qlxEntryDictionary, dict), 1);
  ASSERT_EQ(get("E", qlxEntryBusinessComponent, element), 1);
  ASSERT_EQ(load("[dictionary.ZVRBroker]\npairs = [[\"X\", \"y\"]]\n"), "");
  ASSERT_EQ(get("ZVRBroker", qlxEntryDictionary, dict), 1);
  EXPECT_EQ(dict.numEntries(), 1);
  EXPECT_STREQ(dict.getEntryValue("X"), "y");
  ASSERT_EQ(exec("DELETE FROM dictionary_record WHERE name = 'NONE'"), SQLITE_OK);
  EXPECT_EQ(get("NONE", qlxEntryDictionary, dict), 0);
  ASSERT_EQ(exec("DROP TABLE element"), SQLITE_OK);
  gCall = HandlerCall{};
  EXPECT_EQ(get("E", qlxEntryBusinessComponent, element), 0);
  expectHandler(kDirReasonReadFailed, SQLITE_ERROR, qlxEntryBusinessComponent, "E");
}

}  // namespace
}  // namespace qlx::testing
