#include "transform_command.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::string_literals::operator""s;

// The whole command as the engine gets it: `length()` bytes, its NUL included.
std::string commandOf(const TsiCommandBuffer& command) {
  return std::string(command.data(), command.length());
}

struct TailCase {
  const char* name;
  const char* options;
  const char* dictionary;
  TsiCommandBuffer::Tail tail;
  std::string expected;
};

TEST(TsiCommandBuffer, LayoutAndTailPrecedence) {
  const std::string input = "ab\0cd"s;  // NUL bytes pass unchanged
  const TailCase cases[] = {
      {"default", "", nullptr, TsiCommandBuffer::kDefaultOptions,
       "'kInvoice' -ie1s5 ab\0cd -oe1s\0"s},
      {"null options", nullptr, "", TsiCommandBuffer::kDefaultOptions,
       "'kInvoice' -ie1s5 ab\0cd -oe1s\0"s},
      {"dictionary", "", "-oe1s -trace", TsiCommandBuffer::kDictionaryOptions,
       "'kInvoice' -ie1s5 ab\0cd -oe1s -trace\0"s},
      {"command line wins", "-x 1", "-oe1s -trace", TsiCommandBuffer::kCommandLineOptions,
       "'kInvoice' -ie1s5 ab\0cd -x 1\0"s},
  };
  for (const TailCase& c : cases) {
    TsiCommandBuffer command;
    EXPECT_EQ(command.build("'kInvoice'", input.data(), input.size(), c.options, c.dictionary),
              c.tail)
        << c.name;
    EXPECT_EQ(commandOf(command), c.expected) << c.name;
  }
}

TEST(TsiCommandBuffer, EmptyInputHasTwoBlanksBeforeTheDefaultTail) {
  TsiCommandBuffer command;
  ASSERT_EQ(command.build("'/m/INV'", nullptr, 0, "", nullptr),
            TsiCommandBuffer::kDefaultOptions);
  EXPECT_EQ(commandOf(command), "'/m/INV' -ie1s0  -oe1s\0"s);
  EXPECT_EQ(command.headLength(), 16u);
}

TEST(TsiCommandBuffer, SizedForBothOptionTextsAndTheDefaultTail) {
  TsiCommandBuffer command;
  ASSERT_NE(command.build("M", "abc", 3, "-x", "-yy"), TsiCommandBuffer::kNoTail);
  // head "M -ie1s3 " (9) + input 3 + 7 + 2 + 3
  EXPECT_EQ(command.capacity(), 24u);
  EXPECT_EQ(commandOf(command), "M -ie1s3 abc -x\0"s);
  // Everything after the command's NUL is zero.
  for (std::size_t i = command.length(); i < command.capacity(); ++i)
    EXPECT_EQ(command.data()[i], '\0') << i;
}

TEST(TsiCommandBuffer, ShorterSecondCommandReusesTheBufferAndLeavesNothingBehind) {
  TsiCommandBuffer command;
  const std::string first(300, 'x');
  ASSERT_NE(command.build("'kORDERS0'", first.data(), first.size(), "", "-a -b -c"),
            TsiCommandBuffer::kNoTail);
  const char* buffer = command.data();
  const std::size_t capacity = command.capacity();
  ASSERT_EQ(commandOf(command), "'kORDERS0' -ie1s300 " + first + " -a -b -c\0"s);

  ASSERT_EQ(command.build("'kINV'", "yz", 2, "", nullptr), TsiCommandBuffer::kDefaultOptions);
  EXPECT_EQ(command.data(), buffer);
  EXPECT_EQ(command.capacity(), capacity);
  EXPECT_EQ(commandOf(command), "'kINV' -ie1s2 yz -oe1s\0"s);
  EXPECT_EQ(std::string(command.data(), capacity),
            "'kINV' -ie1s2 yz -oe1s\0"s + std::string(capacity - command.length(), '\0'));
}

TEST(TsiCommandBuffer, LargerSecondCommandGrowsTheBuffer) {
  TsiCommandBuffer command;
  ASSERT_NE(command.build("M", "a", 1, "", nullptr), TsiCommandBuffer::kNoTail);
  const std::size_t small = command.capacity();
  const std::string big(5000, 'b');
  ASSERT_NE(command.build("M", big.data(), big.size(), "", nullptr), TsiCommandBuffer::kNoTail);
  EXPECT_GT(command.capacity(), small);
  EXPECT_EQ(commandOf(command), "M -ie1s5000 " + big + " -oe1s\0"s);
}

TEST(TsiCommandBuffer, HeadOf512FitsAndLongerIsRefused) {
  TsiCommandBuffer command;
  // Head = name + " -ie1s0 " (8 characters).
  const std::string fits(504, 'm');
  ASSERT_EQ(command.build(fits.c_str(), nullptr, 0, "", nullptr),
            TsiCommandBuffer::kDefaultOptions);
  EXPECT_EQ(command.headLength(), 512u);
  const std::string kept = commandOf(command);

  const std::string over(505, 'm');
  EXPECT_EQ(command.build(over.c_str(), nullptr, 0, "", nullptr), TsiCommandBuffer::kNoTail);
  EXPECT_EQ(command.headLength(), 513u);
  EXPECT_EQ(commandOf(command), kept);  // the earlier command is untouched
  // The input length counts in the head too.
  const std::string input(10, 'i');
  EXPECT_EQ(command.build(fits.c_str(), input.data(), input.size(), "", nullptr),
            TsiCommandBuffer::kNoTail);
  EXPECT_EQ(command.refusal(), TsiCommandBuffer::kHeadTooLong);
}

// The engine ends a bare name at its first blank and a quoted one at the first "' -ie1s".
// A name it would read otherwise (the format name of a request reaches the name through
// the prefix rule: "' -ie1s" is seven characters) is refused, not sent with a misstated
// name and input length. Found by transform_command_fuzz.
TEST(TsiCommandBuffer, NameTheEngineWouldReadOtherwiseIsRefused) {
  const struct {
    const char* name;
    bool readsBack;
  } cases[] = {
      {"'kInvoice'", true},         {"MAPA", true},
      {"'/m/my map.mmc'", true},    {"'a'b'", true},  // a quote alone does not end it
      {"''", true},                 {"'k' -ie1s'", false},
      {"'/m' -ie1s9 x/INV'", false}, {"MAP A", false},
      {"'unclosed", false},         {"'", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zvrMapNameReadsBack(c.name), c.readsBack) << c.name;
    TsiCommandBuffer command;
    TsiCommandBuffer::Tail tail = command.build(c.name, "hello", 5, "", nullptr);
    EXPECT_EQ(tail == TsiCommandBuffer::kNoTail, !c.readsBack) << c.name;
    EXPECT_EQ(command.refusal(), c.readsBack ? TsiCommandBuffer::kNotRefused
                                             : TsiCommandBuffer::kUnreadableName)
        << c.name;
  }
}

}  // namespace
