// Loading the directory from TOML: what is stored, what is refused, and that a refused file
// changes nothing.
#include <sys/stat.h>

#include "directory_test_util.h"

namespace qlx::testing {
namespace {

TEST_F(DirectoryTest, LoadStoresEveryKind) {
  ASSERT_EQ(load(kSmallDirectory), "");
  const DirectoryModel model = stored();
  ASSERT_EQ(model.elements.size(), 2u);
  EXPECT_EQ(model.elements[0], (ElementDef{"E", {"ORDERS", "INVOICE"}, 5, std::nullopt}));
  EXPECT_EQ(model.elements[1], (ElementDef{"F", {}, 1, std::nullopt}));
  ASSERT_EQ(model.clients.size(), 1u);
  EXPECT_EQ(model.clients[0], (ClientDef{"C1", {"ORDERSUP"}}));
  ASSERT_EQ(model.services.size(), 1u);
  EXPECT_EQ(model.services[0],
            (ServiceDef{"ECHO", {{kHopBusinessComponent, "E"}, {kHopOrigin, ""}}}));
  ASSERT_EQ(model.dictionaries.size(), 2u);
  EXPECT_EQ(model.dictionaries[0], (DictionaryDef{"NONE", {}}));
  EXPECT_EQ(model.dictionaries[1].pairs.size(), 3u);
  EXPECT_EQ(model.dictionaries[1].pairs[1], (std::pair<std::string, std::string>{"EMPTY C1", ""}));
}

TEST_F(DirectoryTest, HopKinds) {
  ASSERT_EQ(load(R"([element.E]
[client.C]
[service.S]
workflow = ["element:E", "client:C", "origin", "native", "native:N", "type:2:X", "type:-7",
            "type:1:GONE", "element:E"]
)"),
            "");
  const std::vector<HopDef> want = {{kHopBusinessComponent, "E"},
                                    {kHopClient, "C"},
                                    {kHopOrigin, ""},
                                    {kHopNative, ""},
                                    {kHopNative, "N"},
                                    {2, "X"},
                                    {-7, ""},
                                    {kHopBusinessComponent, "GONE"},
                                    {kHopBusinessComponent, "E"}};
  ASSERT_EQ(stored().services.size(), 1u);
  EXPECT_EQ(stored().services[0].hops, want);
}

TEST_F(DirectoryTest, RelativeExitIsTakenFromTheFilesFolder) {
  ASSERT_EQ(load("[element.A]\nexit = \"../lib/libx.so\"\n[element.B]\nexit = \"/abs/liby.so\"\n",
                 "conf/dir.toml"),
            "");
  const DirectoryModel model = stored();
  EXPECT_EQ(model.elements[0].exitLibrary, (dir_ / "lib/libx.so").string());
  EXPECT_EQ(model.elements[1].exitLibrary, "/abs/liby.so");
}

TEST_F(DirectoryTest, LoadReplacesTheWholeDirectory) {
  ASSERT_EQ(load(kSmallDirectory), "");
  ASSERT_EQ(load("[client.ONLY]\n"), "");
  const DirectoryModel model = stored();
  EXPECT_TRUE(model.elements.empty());
  EXPECT_TRUE(model.services.empty());
  EXPECT_TRUE(model.dictionaries.empty());
  ASSERT_EQ(model.clients.size(), 1u);
}

// A file without entries empties the directory only when asked to: an empty file is far
// more often a mistake (a failed download, a truncated copy) than a wish.
TEST_F(DirectoryTest, EmptyFileNeedsConsent) {
  ASSERT_EQ(load(kSmallDirectory), "");
  const DirectoryModel before = stored();
  for (const char* text : {"", "\n# nothing yet\n", "[element]\n[service]\n"}) {
    SCOPED_TRACE(text);
    EXPECT_NE(load(text).find("defines no entries"), std::string::npos);
    EXPECT_EQ(stored(), before);
  }
  ASSERT_EQ(loadFile(writeFile("empty.toml", ""), EmptyDirectory::kAllow), "");
  EXPECT_EQ(stored(), DirectoryModel{});
}

// Only a regular file of sane size is read: a folder once loaded as an empty directory,
// a device never ends and a FIFO would wait for a writer.
TEST_F(DirectoryTest, OnlyARegularFileOfSaneSizeIsRead) {
  ASSERT_EQ(load(kSmallDirectory), "");
  const DirectoryModel before = stored();
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = writeFile("big.toml", "");
  std::filesystem::resize_file(big, kMaxDirectoryFileBytes + 1);  // sparse: nothing written
  const std::string fits = writeFile("fits.toml", "[client.C]\n");
  std::filesystem::resize_file(fits, kMaxDirectoryFileBytes);  // NUL bytes: a TOML error
  struct Case {
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {dir_.string(), "is a folder"},
      {fifo, "is not a regular file"},
      {"/dev/zero", "is not a regular file"},
      {big, "holds 16777217 bytes; a directory file holds at most 16777216"},
      {fits, "fits.toml:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string error = loadFile(c.path);
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(stored(), before);
  }
}

// Nesting deep enough to exhaust the reader's stack is refused before parsing, at the
// place where it passes the limit.
TEST_F(DirectoryTest, DeepNestingIsRefusedBeforeParsing) {
  std::string header = "[client.C]\n[element";
  for (int i = 0; i < 50000; ++i) header += ".e";
  const std::string arrays = "[dictionary.D]\npairs = " + std::string(100000, '[');
  std::string tables = "[dictionary.D]\npairs = ";
  for (int i = 0; i < 50000; ++i) tables += "{a=";
  ASSERT_EQ(load(kSmallDirectory), "");
  const DirectoryModel before = stored();
  const std::string* texts[] = {&header, &arrays, &tables};
  for (const std::string* text : texts) {
    const std::string error = load(*text, "deep.toml");
    EXPECT_EQ(error.rfind((dir_ / "deep.toml").string() + ":2:", 0), 0u) << error;
    EXPECT_NE(error.find("nested deeper than 32 levels"), std::string::npos) << error;
    EXPECT_EQ(stored(), before);
  }
  std::string nested = "[dictionary.D]\npairs = [[\"A\", \"B\"]]\n";
  EXPECT_EQ(load(nested), "");
}

TEST_F(DirectoryTest, TextOverTheLimitIsNotParsed) {
  DirectoryModel model;
  std::string error;
  const std::string text(kMaxDirectoryFileBytes + 1, ' ');
  EXPECT_FALSE(parseDirectoryToml(text, "memory", model, error));
  EXPECT_NE(error.find("memory: 16777217 bytes"), std::string::npos) << error;
}

// A file within the limit whose text grows when written back (raw line breaks become
// "\n") is refused: what show prints must load again.
TEST_F(DirectoryTest, DirectoryThatWouldNotFitWhenShownIsRefused) {
  const std::string breaks(kMaxDirectoryFileBytes / 2 + 16, '\n');
  const std::string text = "[dictionary.D]\npairs = [[\"K\", \"\"\"" + breaks + "\"\"\"]]\n";
  ASSERT_LT(text.size(), kMaxDirectoryFileBytes);
  DirectoryModel model;
  std::string error;
  EXPECT_FALSE(parseDirectoryToml(text, "memory", model, error));
  EXPECT_NE(error.find("written back as TOML"), std::string::npos) << error;
}

// Every refused file: the message names the file, the line and the fault, and the
// directory loaded before stays as it was.
TEST_F(DirectoryTest, RefusedFilesChangeNothing) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"[element.E]\nformats = [\"A\"\n", 2, "Error while parsing array"},  // TOML syntax
      {"[elements.E]\n", 1, "unknown section 'elements'"},
      {"element = 3\n", 1, "element must be a table"},
      {"[element]\nE = 3\n", 2, "element E must be a table"},
      {"[element.E]\nfromats = [\"A\"]\n", 2, "element E: unknown key 'fromats'"},
      {"[element.E]\nformats = \"A\"\n", 2, "formats must be an array"},
      {"[element.E]\nformats = [1]\n", 2, "a format must be a string"},
      {"[element.E]\nformats = [\"\"]\n", 2, "format name is empty"},
      {"[element.E]\nformats = [\"A\\nB\"]\n", 2, "control character"},
      {"[element.E]\ndefault_actions = -1\n", 2, "default_actions must be an integer"},
      {"[element.E]\ndefault_actions = 4294967296\n", 2, "default_actions must be"},
      {"[element.E]\ndefault_actions = \"1\"\n", 2, "default_actions must be"},
      {"[element.E]\nexit = \"\"\n", 2, "exit must be the path"},
      {"[element.E]\nexit = 5\n", 2, "exit must be the path"},
      {"[element.\"\"]\n", 1, "element name is empty"},
      {"[client.C]\nformats = [\"A\"]\nx = 1\n", 3, "client C: unknown key 'x'"},
      {"[service.S]\n", 1, "service S: workflow is missing"},
      {"[service.S]\nworkflow = []\n", 2, "non-empty array of hops"},
      {"[service.S]\nworkflow = \"origin\"\n", 2, "non-empty array of hops"},
      {"[service.S]\nworkflow = [\"element:NOPE\"]\n", 2,
       "workflow names element 'NOPE', which is not defined"},
      {"[element.E]\n[service.S]\nworkflow = [\"element:E\",\n \"client:NOPE\"]\n", 4,
       "workflow names client 'NOPE'"},
      {"[service.S]\nworkflow = [\"bus:X\"]\n", 2, "unknown hop 'bus:X'"},
      {"[service.S]\nworkflow = [\"origin:X\"]\n", 2, "unknown hop"},
      {"[service.S]\nworkflow = [\"type:x:Y\"]\n", 2, "unknown hop"},
      {"[service.S]\nworkflow = [\"type:99999999999\"]\n", 2, "unknown hop"},
      {"[service.S]\nworkflow = [3]\n", 2, "a hop must be a string"},
      {"[service.S]\nworkflow = [\"native:A\\tB\"]\n", 2, "hop name 'A\tB' contains a control"},
      {"[service.S]\nworkflow = [\"type:1:X\",\n\"type:1:\\u0001\"]\n", 3, "hop name"},
      {"[dictionary.D]\npairs = [[\"A\"]]\n", 2, "a pair must be an array of two strings"},
      {"[dictionary.D]\npairs = [[\"A\", \"B\", \"C\"]]\n", 2, "two strings"},
      {"[dictionary.D]\npairs = [[\"A\", 1]]\n", 2, "two strings"},
      {"[dictionary.D]\npairs = [\n[\"A\", \"1\"],\n[\"\", \"2\"]]\n", 4, "a pair name is empty"},
      {"[dictionary.D]\npairs = [[\"A\\u0000\", \"1\"]]\n", 2, "NUL"},
      {"[dictionary.D]\npairs = {A = \"1\"}\n", 2, "pairs must be an array"},
  };
  ASSERT_EQ(load(kSmallDirectory), "");
  const DirectoryModel before = stored();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string error = load(c.text, "bad.toml");
    const std::string where = (dir_ / "bad.toml").string() + ":" + std::to_string(c.line) + ":";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(stored(), before);
  }
}

TEST_F(DirectoryTest, OverlongNameIsRefused) {
  const std::string name(kMaxDirectoryName, 'N');
  EXPECT_EQ(load("[client." + name + "]\n"), "");
  EXPECT_NE(load("[client." + name + "X]\n").find("longer than 132 bytes"), std::string::npos);
}

TEST_F(DirectoryTest, MissingFileIsRefused) {
  ASSERT_EQ(load(kSmallDirectory), "");
  const std::string error = loadFile((dir_ / "nope.toml").string());
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_NE(error.find("nope.toml"), std::string::npos) << error;
  EXPECT_EQ(stored().elements.size(), 2u);
}

TEST_F(DirectoryTest, WrittenTomlReadsBack) {
  ASSERT_EQ(load(R"([element."odd name.x"]
formats = ["A \"quoted\" \\ one", "*"]
default_actions = 4294967295
exit = "/x/y.so"
[client.C]
[service.S]
workflow = ["element:odd name.x", "client:C", "origin", "native", "type:9:Z"]
[dictionary.D]
pairs = [["K", "tab\there"], ["K", ""], ["L", "line\nbreak\u0001"]]
[dictionary.EMPTY]
)"),
            "");
  const DirectoryModel model = stored();
  std::ostringstream text;
  writeDirectoryToml(model, text);
  DirectoryModel back;
  std::string error;
  ASSERT_TRUE(parseDirectoryToml(text.str(), "shown", back, error)) << error << "\n" << text.str();
  EXPECT_EQ(back, model) << text.str();
}

TEST_F(DirectoryTest, WrittenHopOfAMissingElementIsRaw) {
  DirectoryModel model;
  model.services.push_back({"S", {{kHopBusinessComponent, "GONE"}, {kHopClient, "C"}}});
  std::ostringstream text;
  writeDirectoryToml(model, text);
  EXPECT_NE(text.str().find("workflow = [\"type:1:GONE\", \"type:3:C\"]"), std::string::npos)
      << text.str();
}

TEST_F(DirectoryTest, ExampleDirectoryLoads) {
  const std::filesystem::path example =
      std::filesystem::path(ZVR_SOURCE_DIR) / "examples/directory.toml";
  if (!std::filesystem::exists(example)) GTEST_SKIP() << "no " << example;
  ASSERT_EQ(loadFile(example.string()), "");
  const DirectoryModel model = stored();
  const auto echo = std::find_if(model.services.begin(), model.services.end(),
                                 [](const ServiceDef& s) { return s.name == "ECHO"; });
  ASSERT_NE(echo, model.services.end());
  EXPECT_EQ(echo->hops, (std::vector<HopDef>{{kHopBusinessComponent, "E"}, {kHopOrigin, ""}}));
  const auto broker = std::find_if(model.dictionaries.begin(), model.dictionaries.end(),
                                   [](const DictionaryDef& d) { return d.name == "ZVRBroker"; });
  ASSERT_NE(broker, model.dictionaries.end());
  const bool hasEmpty = std::any_of(broker->pairs.begin(), broker->pairs.end(),
                                    [](const auto& pair) { return pair.second.empty(); });
  EXPECT_TRUE(hasEmpty);
}

}  // namespace
}  // namespace qlx::testing
