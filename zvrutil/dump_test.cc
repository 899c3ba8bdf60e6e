#include "dump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "descriptor.h"

namespace {

std::string dump(const void* data, unsigned long length) {
  char* text = nullptr;
  int size = dumpHex(text, data, length);
  std::string s(text, static_cast<size_t>(size));
  EXPECT_EQ(std::strlen(text), s.size());
  delete[] text;
  return s;
}

std::string blanks(size_t n) { return std::string(n, ' '); }

TEST(DumpTest, SixteenBytesMakeOneRow) {
  std::string row = dump("0123456789ABCDEF", 16);
  EXPECT_EQ(row, "\n00000000: 30313233 34353637  38394142 43444546    0123456789ABCDEF ");
  EXPECT_EQ(row.size(), 68u);
}

TEST(DumpTest, SeventeenBytesMakeTwoRows) {
  std::string text = dump("0123456789ABCDEFG", 17);
  ASSERT_EQ(text.size(), 136u);
  EXPECT_EQ(text.substr(68), "\n00000010: 47" + blanks(38) + "G" + blanks(16));
}

TEST(DumpTest, PartialRowLeavesMissingColumnsBlank) {
  EXPECT_EQ(dump("abc", 3), "\n00000000: 616263" + blanks(34) + "abc" + blanks(14));
  EXPECT_EQ(dump("abcdefghi", 9),
            "\n00000000: 61626364 65666768  69" + blanks(19) + "abcdefghi" + blanks(8));
}

TEST(DumpTest, BytesThatDoNotPrintShowAsDots) {
  const unsigned char bytes[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, '%'};
  EXPECT_EQ(dump(bytes, sizeof bytes),
            "\n00000000: 001F207E 7F80FF25" + blanks(23) + ".. ~...%" + blanks(9));
}

TEST(DumpTest, LengthsAroundRowBoundaries) {
  std::string data(4096 + 33, 'x');
  for (unsigned long length : {0ul, 1ul, 15ul, 16ul, 17ul, 31ul, 32ul, 33ul, 4129ul}) {
    std::string text = dump(data.data(), length);
    EXPECT_EQ(text.size(), (length + 15) / 16 * 68) << length;
    for (size_t row = 0; row < text.size() / 68; ++row) {
      EXPECT_EQ(text[row * 68], '\n');
      EXPECT_EQ(text[row * 68 + 9], ':');
      EXPECT_EQ(text[row * 68 + 67], ' ');
    }
  }
  std::string big = dump(data.data(), 4129);
  EXPECT_EQ(big.substr(256 * 68, 10), "\n00001000:");
  EXPECT_EQ(big.substr(258 * 68, 14), "\n00001020: 78 ");
}

TEST(DumpTest, EmptyAndNullDataGiveEmptyText) {
  EXPECT_EQ(dump("abc", 0), "");
  EXPECT_EQ(dump(nullptr, 0), "");
  EXPECT_EQ(dump(nullptr, 5), "");
}

TEST(DumpTest, StreamFormWritesTheSameText) {
  const char data[] = "stream form of the hex dump, three rows long";
  std::ostringstream os;
  dumpHex(os, data, sizeof data);
  EXPECT_EQ(os.str(), dump(data, sizeof data));
}

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_ = std::make_unique<QLXMSG>();  // on the heap: the sanitizer sees reads past it
    zvrInitDescriptor(*msg_);
    for (int i = 0; i < 24; ++i) msg_->MsgId[i] = static_cast<unsigned char>(i);
    std::memset(msg_->CorrelId, 'C', sizeof msg_->CorrelId);
    zvrSetFormatName(*msg_, "FMT");
  }
  std::string display(const char* title) {
    char* text = nullptr;
    int size = displayQLXMSG(text, *msg_, title);
    std::string s(text, static_cast<size_t>(size));
    delete[] text;
    return s;
  }
  std::string head(const char* title, const char* formatName) {
    return std::string("\n") + title + "\nFormatName: ``" + formatName +
           "''\nMessage ID\n"
           "\n00000000: 00010203 04050607  08090A0B 0C0D0E0F    ................ "
           "\n00000010: 10111213 14151617" +
           blanks(23) + "........" + blanks(9) +
           "\nCorrelation ID\n"
           "\n00000000: 43434343 43434343  43434343 43434343    CCCCCCCCCCCCCCCC "
           "\n00000010: 43434343 43434343" +
           blanks(23) + "CCCCCCCC" + blanks(9) + "\nMessage Buffer\n";
  }
  std::unique_ptr<QLXMSG> msg_;
};

TEST_F(DisplayTest, RequestWithTag) {
  char body[] = "hello";
  char tag[] = "tg";
  zvrAttachBuffer(0, msg_->MsgBuffer, msg_->MsgLength, body, 5);
  zvrAttachBuffer(0, msg_->TagBuffer, msg_->TagLength, tag, 2);
  EXPECT_EQ(display("\nQuor Request\n------------"),
            head("\nQuor Request\n------------", "FMT") + "\n00000000: 68656C6C 6F" +
                blanks(29) + "hello" + blanks(12) + "\nTag Buffer\n" + "\n00000000: 7467" +
                blanks(36) + "tg" + blanks(15));
}

TEST_F(DisplayTest, NoTagPartWithoutTagLength) {
  char body[] = "hi";
  zvrAttachBuffer(0, msg_->MsgBuffer, msg_->MsgLength, body, 2);
  EXPECT_EQ(display("\nQuor Response\n-------------"),
            head("\nQuor Response\n-------------", "FMT") + "\n00000000: 6869" + blanks(36) +
                "hi" + blanks(15));
}

// Lengths that promise bytes the descriptor has no address for show no data.
TEST_F(DisplayTest, NullBuffersShowNoData) {
  msg_->MsgLength = 10;
  msg_->MsgBuffer = QLXBUFFER{0, 10, nullptr};
  msg_->TagLength = 3;
  msg_->TagBuffer = QLXBUFFER{0, 3, nullptr};
  EXPECT_EQ(display("T"), head("T", "FMT"));
}

// A length field larger than the buffer it describes: only the buffer's bytes are read.
TEST_F(DisplayTest, ReadsNoMoreThanTheBufferHolds) {
  auto body = std::make_unique<char[]>(5);
  std::memcpy(body.get(), "abcde", 5);
  zvrAttachBuffer(0, msg_->MsgBuffer, msg_->MsgLength, body.get(), 5);
  msg_->MsgLength = 4000;
  std::string text = display("T");
  EXPECT_EQ(text, head("T", "FMT") + "\n00000000: 61626364 65" + blanks(29) + "abcde" +
                      blanks(12));
  msg_->MsgLength = 2;  // and no more than the length field says either
  EXPECT_EQ(display("T"), head("T", "FMT") + "\n00000000: 6162" + blanks(36) + "ab" +
                              blanks(15));
}

TEST_F(DisplayTest, FormatNameOfFullWidthWithoutTerminator) {
  std::memset(msg_->FormatName, 'N', sizeof msg_->FormatName);
  std::string text = display("T");
  EXPECT_EQ(text, head("T", std::string(132, 'N').c_str()));
}

TEST(StringTest, StrToUpper) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""}, {"abc", "ABC"}, {"MiXeD 09_z{}", "MIXED 09_Z{}"},
               {"\xe4\xf6 a", "\xe4\xf6 A"}};
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(strToUpper(s.data()), s.data());
    EXPECT_EQ(s, c.out);
  }
  EXPECT_EQ(strToUpper(nullptr), nullptr);
}

TEST(StringTest, SubstringStaysWithinTheLength) {
  const char buffer[] = "Routing\0Action=insert;Service";  // an embedded NUL
  const unsigned whole = sizeof buffer - 1;
  const struct {
    unsigned length;
    const char* needle;
    long at;  // -1: none
  } cases[] = {
      {whole, "Routing", 0},  {whole, "Action", 8},     {whole, "Service", 22},
      {whole, "", 0},         {0, "", 0},               {0, "R", -1},
      {28, "Service", -1},    {29, "Service", 22},      {whole, "service", -1},
      {7, "Routing", 0},      {6, "Routing", -1},       {whole, "Routing\0", 0},
      {whole, "ServiceX", -1}, {3, "Rou", 0},
  };
  for (const auto& c : cases) {
    const char* found = _substring(buffer, c.length, c.needle);
    if (c.at < 0)
      EXPECT_EQ(found, nullptr) << c.needle << " within " << c.length;
    else
      EXPECT_EQ(found, buffer + c.at) << c.needle << " within " << c.length;
  }
  EXPECT_EQ(_substring(nullptr, 0, "x"), nullptr);
  EXPECT_EQ(_substring(buffer, whole, nullptr), nullptr);
}

// The buffer is not terminated: a search must not run past its length.
TEST(StringTest, SubstringOfAnUnterminatedHeapBuffer) {
  auto bytes = std::make_unique<char[]>(4);
  std::memcpy(bytes.get(), "abcd", 4);
  EXPECT_EQ(_substring(bytes.get(), 4, "cd"), bytes.get() + 2);
  EXPECT_EQ(_substring(bytes.get(), 4, "cde"), nullptr);
}

}  // namespace
