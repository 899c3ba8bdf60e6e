// The qlxadm directory subcommands: load, show, delete, set, unset.
#include "directory_test_util.h"

namespace qlx::testing {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class DirectoryCommand : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    ASSERT_EQ(load(kSmallDirectory), "");
  }
  Pairs pairsOf(const std::string& name) {
    for (const DictionaryDef& d : stored().dictionaries) {
      if (d.name == name) return d.pairs;
    }
    ADD_FAILURE() << "no dictionary " << name;
    return {};
  }
};

TEST_F(DirectoryCommand, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"load"},
      {"load", "a", "b"},
      {"show", "elements"},
      {"show", "element", "E", "extra"},
      {"delete", "element"},
      {"delete", "queue", "E"},
      {"set", "D", "K"},
      {"unset", "D"},
  };
  const DirectoryModel before = stored();
  for (const auto& words : cases) {
    EXPECT_EQ(command(words), 2) << (words.empty() ? "(none)" : words[0]);
    EXPECT_NE(err_.str().find("usage"), std::string::npos) << err_.str();
  }
  EXPECT_EQ(stored(), before);
  EXPECT_TRUE(isDirectoryCommand("unset"));
  EXPECT_FALSE(isDirectoryCommand("send"));
  EXPECT_FALSE(isDirectoryCommand(nullptr));
}

TEST_F(DirectoryCommand, Load) {
  const std::string good = writeFile("good.toml", "[client.X]\n[client.Y]\n");
  EXPECT_EQ(command({"load", good}), 0);
  EXPECT_NE(out_.str().find("0 elements, 2 clients"), std::string::npos) << out_.str();
  const std::string bad = writeFile("bad.toml", "[client.X]\nformat = []\n");
  EXPECT_EQ(command({"load", bad}), 1);
  EXPECT_NE(err_.str().find("bad.toml:2:"), std::string::npos) << err_.str();
  EXPECT_EQ(stored().clients.size(), 2u);
}

TEST_F(DirectoryCommand, ShowKindsAndNames) {
  ASSERT_EQ(command({"show"}), 0);
  DirectoryModel shown;
  std::string error;
  ASSERT_TRUE(parseDirectoryToml(out_.str(), "show", shown, error)) << error;
  EXPECT_EQ(shown, stored());

  ASSERT_EQ(command({"show", "service", "ECHO"}), 0);
  EXPECT_EQ(out_.str(), "[service.ECHO]\nworkflow = [\"element:E\", \"origin\"]\n");
  ASSERT_EQ(command({"show", "element"}), 0);
  EXPECT_NE(out_.str().find("[element.E]"), std::string::npos);
  EXPECT_NE(out_.str().find("[element.F]"), std::string::npos);
  EXPECT_EQ(out_.str().find("[client."), std::string::npos);
  ASSERT_EQ(command({"show", "dictionary", "ZVRBroker"}), 0);
  EXPECT_NE(out_.str().find("[\"EMPTY C1\", \"\"]"), std::string::npos) << out_.str();

  EXPECT_EQ(command({"show", "client", "NOPE"}), 1);
  EXPECT_NE(err_.str().find("no client named NOPE"), std::string::npos);
}

TEST_F(DirectoryCommand, DeleteEachKind) {
  struct Case {
    const char* kind;
    const char* name;
  };
  const Case cases[] = {{"service", "ECHO"},
                        {"client", "C1"},
                        {"element", "F"},
                        {"dictionary", "NONE"},
                        {"dictionary", "ZVRBroker"}};
  for (const Case& c : cases) {
    EXPECT_EQ(command({"delete", c.kind, c.name}), 0) << c.kind << " " << c.name;
    EXPECT_EQ(command({"delete", c.kind, c.name}), 1) << c.kind << " " << c.name;
    EXPECT_NE(err_.str().find(std::string("no ") + c.kind + " named " + c.name), std::string::npos);
  }
  const DirectoryModel model = stored();
  EXPECT_TRUE(model.services.empty());
  EXPECT_TRUE(model.clients.empty());
  EXPECT_TRUE(model.dictionaries.empty());
  ASSERT_EQ(model.elements.size(), 1u);
  int hops = -1;
  sqlite3_exec(
      db_, "SELECT count(*) FROM hop",
      [](void* out, int, char** values, char**) {
        *static_cast<int*>(out) = std::atoi(values[0]);
        return 0;
      },
      &hops, nullptr);
  EXPECT_EQ(hops, 0);
}

TEST_F(DirectoryCommand, DeletingAHopOfAWorkflowWarns) {
  EXPECT_EQ(command({"delete", "element", "E"}), 0);
  EXPECT_NE(err_.str().find("warning: the workflow of service ECHO still names element E"),
            std::string::npos)
      << err_.str();
  // The workflow keeps the hop, and show writes it so that it loads again.
  ASSERT_EQ(command({"show", "service", "ECHO"}), 0);
  EXPECT_NE(out_.str().find("\"type:1:E\""), std::string::npos) << out_.str();
  const std::string again = writeFile("again.toml", [&] {
    command({"show"});
    return out_.str();
  }());
  EXPECT_EQ(command({"load", again}), 0) << err_.str();
}

TEST_F(DirectoryCommand, SetReplacesTheFirstPairOrAppends) {
  EXPECT_EQ(command({"set", "ZVRBroker", "ORDERS C1", "identity"}), 0);
  EXPECT_EQ(command({"set", "ZVRBroker", "NEW", ""}), 0);
  EXPECT_EQ(command({"set", "ZVRBroker", "EMPTY C1", "now set"}), 0);
  EXPECT_EQ(pairsOf("ZVRBroker"), (Pairs{{"ORDERS C1", "identity"},
                                         {"EMPTY C1", "now set"},
                                         {"ORDERS C1", "second"},
                                         {"NEW", ""}}));
}

TEST_F(DirectoryCommand, SetCreatesTheRecord) {
  EXPECT_EQ(command({"set", "NONE", "A", "1"}), 0);
  EXPECT_EQ(command({"set", "FRESH", "B", "'/a b/MAP' -x"}), 0);
  EXPECT_EQ(pairsOf("NONE"), (Pairs{{"A", "1"}}));
  EXPECT_EQ(pairsOf("FRESH"), (Pairs{{"B", "'/a b/MAP' -x"}}));
  std::unique_ptr<qlxDirInterface> directory = makeDirectory(db_);
  qlxDictionary dict;
  ASSERT_EQ(directory->get(nullptr, "FRESH", qlxEntryDictionary, dict, nullptr), 1);
  EXPECT_STREQ(dict.getEntryValue("B"), "'/a b/MAP' -x");
}

TEST_F(DirectoryCommand, SetRefusesBadNames) {
  EXPECT_EQ(command({"set", "ZVRBroker", "", "v"}), 1);
  EXPECT_NE(err_.str().find("pair name is empty"), std::string::npos);
  EXPECT_EQ(command({"set", "", "K", "v"}), 1);
  EXPECT_NE(err_.str().find("dictionary name is empty"), std::string::npos);
  EXPECT_EQ(command({"set", std::string(200, 'D'), "K", "v"}), 1);
  EXPECT_EQ(stored().dictionaries.size(), 2u);
}

TEST_F(DirectoryCommand, UnsetRemovesEveryPairOfThatName) {
  EXPECT_EQ(command({"unset", "ZVRBroker", "ORDERS C1"}), 0);
  EXPECT_NE(out_.str().find("removed 2 pairs"), std::string::npos) << out_.str();
  EXPECT_EQ(pairsOf("ZVRBroker"), (Pairs{{"EMPTY C1", ""}}));
  EXPECT_EQ(command({"unset", "ZVRBroker", "ORDERS C1"}), 1);
  EXPECT_NE(err_.str().find("dictionary ZVRBroker has no pair named ORDERS C1"), std::string::npos);
  EXPECT_EQ(command({"unset", "NOPE", "K"}), 1);
  EXPECT_NE(err_.str().find("no dictionary named NOPE"), std::string::npos);
  // The last pair gone, the record stays, empty.
  EXPECT_EQ(command({"unset", "ZVRBroker", "EMPTY C1"}), 0);
  EXPECT_EQ(pairsOf("ZVRBroker"), Pairs{});
}

TEST_F(DirectoryCommand, CommandsCreateMissingTables) {
  ASSERT_EQ(sqlite3_exec(db_, "DROP TABLE dictionary_record", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(command({"set", "D", "K", "V"}), 0) << err_.str();
  EXPECT_EQ(pairsOf("D"), (Pairs{{"K", "V"}}));
}

TEST_F(DirectoryCommand, BusyDatabaseRefusesAndChangesNothing) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "home.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(command({"set", "ZVRBroker", "K", "V"}), 1);
  EXPECT_NE(err_.str().find("locked"), std::string::npos) << err_.str();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(pairsOf("ZVRBroker").size(), 3u);
}

}  // namespace
}  // namespace qlx::testing
