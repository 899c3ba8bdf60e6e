// The nesting scan: what counts as a level, what hides nothing (strings, comments), and
// where the scan stops.
#include "toml_nesting.h"

#include <gtest/gtest.h>

#include <string>

namespace qlx {
namespace {

TEST(TomlNesting, CountsLevelsOutsideStringsAndComments) {
  struct Case {
    const char* text;
    size_t depth;  // with a limit of 3; 4 means refused there
  };
  const Case cases[] = {
      {"", 0},
      {"a = 1\n", 0},
      {"[a]\nb = 1\n", 1},
      {"[a.b]\n", 2},
      {"[a.b.c]\n", 3},
      {"[a.b.c.d]\n", 4},
      {"[[a.b.c]]\n", 4},                    // the array of tables is a level
      {"[a.\"b.c.d.e\".f]\n", 3},            // dots in a quoted key
      {"[a.'b.c.d.e']\n", 2},
      {"a.b.c = 1\n", 3},
      {"[a.b]\nc.d = 1\n", 4},               // a dotted key under a header
      {"[a.b.c]\n[d]\ne.f = 1\n", 3},        // a new header starts again
      {"x = [[[1]]]\n", 3},
      {"x = [[[[1]]]]\n", 4},
      {"x = {a = {b = {c = 1}}}\n", 3},
      {"x = {a = {b = {c = {}}}}\n", 4},
      {"x = [1.5, 2.5, 3.5]\n", 3},          // a dot in a number counts, once per item
      {"x = \"[[[[[[ {{{{ ...\"\n", 0},
      {"x = \"\\\"[[[[[[\"\n", 0},          // an escaped quote does not end the string
      {"x = 'a\\'\ny = [[[[1]]]]\n", 4},     // no escapes in a literal string
      {"# [[[[[[[\nx = 1\n", 0},
      {"x = \"\"\"\n[[[[[[\n\"\"\"\n", 0},    // a multi-line string spans the lines
      {"x = '''\n[[[[[[\n'''\n", 0},
      {"x = \"\"\"a\\\"\"\"[[[[[\"\"\"\n", 0},  // an escaped quote inside
      {"x = \"\"\"a\"\"\"\"\ny = [[[[1]]]]\n", 4},  // a fourth quote belongs to the string
      {"x = \"open\ny = [[[[1]]]]\n", 4},    // an unclosed string ends with its line
      {"x = [\n  [\n  [\n  [1]]]]\n", 4},     // arrays go on across lines
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const TomlNesting found = scanTomlNesting(c.text, 3);
    EXPECT_EQ(found.depth, c.depth);
    EXPECT_EQ(found.line != 0, c.depth > 3);
  }
}

TEST(TomlNesting, StopsWhereTheLimitIsPassed) {
  const TomlNesting found = scanTomlNesting("x = 1\ny = [[[[[[[[\n", 2);
  EXPECT_EQ(found.line, 2u);
  EXPECT_EQ(found.column, 7u);
  EXPECT_EQ(found.depth, 3u);
}

// Text nested far deeper than the reader's stack allows is scanned in one pass.
TEST(TomlNesting, HugeNestingIsFound) {
  std::string header = "[a";
  for (int i = 0; i < 200000; ++i) header += ".a";
  header += "]\n";
  const std::string arrays = "x = " + std::string(200000, '[');
  const std::string tables = [] {
    std::string text = "x = ";
    for (int i = 0; i < 100000; ++i) text += "{a=";
    return text;
  }();
  const std::string* texts[] = {&header, &arrays, &tables};
  for (const std::string* text : texts) {
    const TomlNesting found = scanTomlNesting(*text, 32);
    EXPECT_EQ(found.line, 1u);
    EXPECT_EQ(found.depth, 33u);
  }
}

}  // namespace
}  // namespace qlx
