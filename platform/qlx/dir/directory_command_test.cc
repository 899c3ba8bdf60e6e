// The qlxadm directory subcommands: load, show, delete, set, unset.
#include "directory_test_util.h"
#include "settings.h"

namespace qlx::testing {
namespace {

class DirectoryCommand : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(load(kSmallDirectory), "");
  }
};

TEST_F(DirectoryCommand, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"load"},
      {"load", "a", "b"},
      {"load", "--allow-emtpy", "f"},
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
  EXPECT_EQ(command({"load", writeFile("one.toml", "[client.X]\n")}), 0);
  EXPECT_NE(out_.str().find(": 0 elements, 1 client, 0 services, 0 dictionary records\n"),
            std::string::npos)
      << out_.str();
  const std::string bad = writeFile("bad.toml", "[client.X]\nformat = []\n");
  EXPECT_EQ(command({"load", bad}), 1);
  EXPECT_NE(err_.str().find("bad.toml:2:"), std::string::npos) << err_.str();
  EXPECT_EQ(stored().clients.size(), 1u);
}

// An exit library that cannot be loaded is refused by load, not found at a server's start.
TEST_F(DirectoryCommand, LoadRefusesExitsThatCannotBeLoaded) {
  const std::string libraries = std::filesystem::path(QLX_TEST_EXIT).parent_path().string();
  const struct {
    std::string exit;
    int status;
    const char* says;
  } rows[] = {
      {QLX_TEST_EXIT, 0, ""},
      {dir_.string() + "/missing.so", 1, "cannot be loaded: "},
      {writeFile("text.so", "not a library\n"), 1, "cannot be loaded: "},
      {libraries + "/libtrc.so", 1, "has no entry point qlxExitEntry"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.exit);
    err_.str("");
    const DirectoryModel before = stored();
    const std::string file =
        writeFile("exit.toml", "[element.E]\nexit = \"" + row.exit + "\"\n");
    EXPECT_EQ(command({"load", file}), row.status) << err_.str();
    if (row.status != 0) {
      EXPECT_NE(err_.str().find("element E: exit " + row.exit + " " + row.says),
                std::string::npos) << err_.str();
      EXPECT_EQ(stored(), before);
    }
  }
}

TEST_F(DirectoryCommand, LoadEmptiesOnlyWhenAllowed) {
  const std::string empty = writeFile("empty.toml", "# nothing\n");
  EXPECT_EQ(command({"load", empty}), 1);
  EXPECT_NE(err_.str().find("load --allow-empty"), std::string::npos) << err_.str();
  EXPECT_EQ(stored().elements.size(), 2u);
  EXPECT_EQ(command({"load", "--allow-empty", empty}), 0) << err_.str();
  EXPECT_EQ(stored(), DirectoryModel{});
}

// The database is opened only for a command whose input passed its checks, so that a
// refused command does not even create a broker home.
TEST_F(DirectoryCommand, RefusedCommandsOpenNoDatabase) {
  int opened = 0;
  const DirectoryOpener open = [&](std::string&) -> BrokerStore* {
    ++opened;
    return store_.get();
  };
  const std::string bad = writeFile("bad.toml", "[client.X]\nformat = []\n");
  const std::vector<std::vector<std::string>> refused = {
      {"load", bad}, {"load", dir_.string()}, {"load", "--allow-empty"},
      {"set", "D", "", "V"}, {"set", "D", "K", "\xFF"}, {"delete", "queue", "Q"}};
  for (std::vector<std::string> words : refused) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    EXPECT_NE(directoryCommand(open, static_cast<int>(argv.size()), argv.data(), out_, err_), 0);
  }
  EXPECT_EQ(opened, 0);
  char show[] = "show";
  char* argv[] = {show};
  EXPECT_EQ(directoryCommand(open, 1, argv, out_, err_), 0);
  EXPECT_EQ(opened, 1);
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
  // The broker that was read is named: the name may be right and the broker wrong.
  EXPECT_NE(err_.str().find("qlxadm show: no client named NOPE (" + brokerInUse() + ")\n"),
            std::string::npos)
      << err_.str();
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
  std::unique_ptr<qlxDirInterface> directory = store_->directory();
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

// What set stores, show must write so that load reads it back: TOML holds only UTF-8,
// and a directory file at most 16 MiB.
TEST_F(DirectoryCommand, SetRefusesWhatShowCouldNotWriteBack) {
  const DirectoryModel before = stored();
  struct Case {
    std::string dict, key, value;
    const char* message;
  };
  const Case cases[] = {
      {"ZVRBroker", "K", "bad \xFF byte", "the value is not valid UTF-8"},
      {"ZVRBroker", "K", "cut \xE2\x9C", "the value is not valid UTF-8"},
      {"ZVRBroker", "\xC0\x80", "v", "the pair name is not valid UTF-8"},  // overlong NUL
      {"D\xED\xA0\x80", "K", "v", "dictionary name is not valid UTF-8"},   // a surrogate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(command({"set", c.dict, c.key, c.value}), 1) << c.message;
    EXPECT_NE(err_.str().find(c.message), std::string::npos) << err_.str();
  }
  EXPECT_EQ(stored(), before);
  const std::string half(kMaxDirectoryFileBytes / 2 + 1, 'v');
  EXPECT_EQ(command({"set", "BIG", "ONE", half}), 0) << err_.str();
  EXPECT_EQ(command({"set", "BIG", "TWO", half}), 1);
  EXPECT_NE(err_.str().find("would no longer load"), std::string::npos) << err_.str();
  EXPECT_EQ(pairsOf("BIG").size(), 1u);
  EXPECT_EQ(command({"set", "ZVRBroker", "K", "Gr\xC3\xBC\xC3\x9F""e \xF0\x9D\x84\x9E"}), 0);
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

}  // namespace
}  // namespace qlx::testing
