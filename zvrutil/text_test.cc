#include "text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextTest, NewTextCopiesAllBytesAndTerminates) {
  const std::string cases[] = {"", "x", std::string("a\0b", 3), std::string(5000, 'q')};
  for (const std::string& s : cases) {
    char* out = nullptr;
    int length = zvrNewText(s, out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(length, static_cast<int>(s.size()));
    EXPECT_EQ(std::string(out, s.size()), s);
    EXPECT_EQ(out[s.size()], '\0');
    delete[] out;
  }
}

// The formatter switches from a small stack area to the heap around 256 characters; texts
// of each size must come out whole.
TEST(TextTest, FormatKeepsTextsOfEverySizeWhole) {
  for (size_t size : {0u, 1u, 254u, 255u, 256u, 257u, 1000u, 70000u}) {
    std::string filler(size, 'z');
    std::string text = zvrFormat("<%s>%d", filler.c_str(), 42);
    EXPECT_EQ(text, "<" + filler + ">42") << "size " << size;
  }
}

TEST(TextTest, FormatPassesPercentInArgumentsThrough) {
  EXPECT_EQ(zvrFormat("%s|%-d|%02x", "100%s", -7, 0xA), "100%s|-7|0a");
}

}  // namespace
