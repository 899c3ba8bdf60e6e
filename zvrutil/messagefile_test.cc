// Message files: the writer against golden bytes, round trips through the reader, and the
// reader against lines cut short, overlong, unclosed or lying about their lengths.
#include "messagefile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "testing/zvr_testing.h"

namespace {

namespace fs = std::filesystem;

const char kIdHex[] = "000102030405060708090A0B0C0D0E0F1011121314151617";

std::string bodyOf(const Message& m) { return std::string(m.MsgBuffer() ? m.MsgBuffer() : "", m.MsgLength()); }
std::string tagOf(const Message& m) { return std::string(m.TagBuffer() ? m.TagBuffer() : "", m.TagLength()); }

class MessageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zvr-msgfile-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/messages";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void writeText(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string fileText() const { return zvr::testing::readFile(path_); }

  // A message with every field away from its default and the given body and tag.
  static Message sample(const std::string& body, const std::string& tag) {
    Message m;
    m.Type(8);
    m.Priority(3);
    m.Persistence(1);
    m.Feedback(-7);
    m.Expiry(600);
    m.Encoding(273);
    m.Status(4);
    m.FormatName("ORDERS");
    m.setId(kIdHex);
    m.setCorrelId("FFEEDDCCBBAA99887766554433221100ffeeddccbbaa9988");
    m.MsgBuffer(body.data(), body.size());
    if (!tag.empty()) m.TagBuffer(tag.data(), tag.size());
    return m;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(MessageFileTest, WriterGoldenBytes) {
  {
    MessageFile file(path_.c_str(), 0, 1, 0, 1, 0, 1);
    file.writeMsg(sample("abc", ""));
  }
  EXPECT_EQ(fileText(),
            "Version: 0 DisplayHdr: 1 HexMsgData: 0 LoopTimes: 1 EveryN: 0 NTimes: 1 \n"
            "Signature: 1113083204 Version: 2 Type: 8 Priority: 3 Persistence: 1 Format: -1 "
            "Feedback: -7 Expiry: 600 Encoding: 273 Status: 4 FormatName: ORDERS "
            "MsgId: 000102030405060708090A0B0C0D0E0F1011121314151617 "
            "CorrelId: FFEEDDCCBBAA99887766554433221100FFEEDDCCBBAA9988 "
            "MsgLength: 3 TagLength: 0 MsgBuffer: [abc] TagBuffer: []\n");

  {
    MessageFile file(path_.c_str(), 0, 0, 1, 1, 0, 1);
    file.writeMsg(sample("A]\n", "t"));
    file.writeMsg(Message());
  }
  EXPECT_EQ(fileText(),
            "Version: 0 DisplayHdr: 0 HexMsgData: 1 LoopTimes: 1 EveryN: 0 NTimes: 1 \n"
            "MsgBuffer: 415D0A \nMsgBuffer: []\n");
}

// Every combination of the two writer settings, over bodies that text brackets carry and
// bodies only the hexadecimal form carries.
TEST_F(MessageFileTest, RoundTrip) {
  const std::string binary("\0\x01\xFF]\r\n[x", 8);
  const struct {
    std::string body, tag;
    bool textKeepsIt;  // survives the bracketed form
  } rows[] = {
      {"abc", "tag", true},
      {"", "", true},
      {"line one\nline two", "t\nu", true},  // a newline forces the hexadecimal form
      {binary, binary, true},
      {"cut] here", "x]y", false},
      {std::string(4000, 'z'), "", true},
  };
  for (unsigned displayHdr : {0u, 1u}) {
    for (unsigned hex : {0u, 1u}) {
      for (const auto& row : rows) {
        SCOPED_TRACE("displayHdr " + std::to_string(displayHdr) + " hex " +
                     std::to_string(hex) + " body " + row.body.substr(0, 20));
        { MessageFile(path_.c_str(), 0, displayHdr, hex, 2, 0, 1).writeMsg(sample(row.body, row.tag)); }
        MessageFile file(path_.c_str());
        EXPECT_EQ(file.numLoopTimes(), 2);
        EXPECT_EQ(file.isHexMsgData(), hex);
        Message m;
        ASSERT_EQ(file.readMsg(m), 1);
        EXPECT_EQ(file.recordFault(), nullptr) << file.recordFault();
        if (hex == 1 || row.textKeepsIt) {
          EXPECT_EQ(bodyOf(m), row.body);
          if (displayHdr) {
            EXPECT_EQ(tagOf(m), row.tag);
          }
        }
        if (displayHdr) {
          Message want = sample(row.body, row.tag);
          EXPECT_EQ(std::memcmp(&m.descriptor(), &want.descriptor(), offsetof(QLXMSG, Status)),
                    0);
          EXPECT_STREQ(m.FormatName(), "ORDERS");
        }
        EXPECT_EQ(file.readMsg(m), 0);
      }
    }
  }
}

TEST_F(MessageFileTest, HeaderAndComments) {
  writeText("# LoopTimes: 3 HexMsgData: 1\n# comment\n\nMsgBuffer: [x]\n#MsgBuffer: [y]\n");
  MessageFile file(path_.c_str());
  EXPECT_EQ(file.numLoopTimes(), 3);  // a comment in first place is the header
  EXPECT_EQ(file.numEveryN(), -1);
  Message m;
  m.MsgBuffer("kept", 0);
  ASSERT_EQ(file.readMsg(m), 1);  // the empty line: a record without fields
  EXPECT_EQ(bodyOf(m), "kept");
  EXPECT_EQ(file.recordLine(), 3u);
  ASSERT_EQ(file.readMsg(m), 1);
  EXPECT_EQ(bodyOf(m), "x");
  EXPECT_EQ(file.readMsg(m), 0);
  file.reset();
  ASSERT_EQ(file.readMsg(m), 1);
  EXPECT_EQ(file.recordLine(), 3u);

  // Settings past the first 144 characters do not count, and the rest of a long header
  // line is skipped, not read as a record.
  writeText(std::string(140, ' ') + "LoopTimes: 5\nMsgBuffer: [y]\n");
  MessageFile longHeader(path_.c_str());
  EXPECT_EQ(longHeader.numLoopTimes(), -1);
  ASSERT_EQ(longHeader.readMsg(m), 1);
  EXPECT_EQ(bodyOf(m), "y");
}

// Lines a hand-written file gets wrong are reported with their line numbers: a first line
// that is a record is not swallowed as the header, and a line with no field is not a
// request.
TEST_F(MessageFileTest, HandWrittenMistakesAreReportedByLine) {
  struct Row {
    const char* name;
    const char* text;
    bool headerFault;
    std::vector<std::pair<unsigned long, std::string>> records;  // line, body ("!" = fault)
  } rows[] = {
      {"no header line", "MsgBuffer: [one]\nMsgBuffer: [two]\n", true,
       {{1, "one"}, {2, "two"}}},
      {"tag only, no header", "TagBuffer: [t]\n", true, {{1, ""}}},
      {"header that is a word", "header\nMsgBuffer: [one]\n", false, {{2, "one"}}},
      {"plain line", "Version: 0\nhello world\nMsgBuffer: [x]\n", false,
       {{2, "!"}, {3, "x"}}},
      {"empty line", "Version: 0\n\nMsgBuffer: [x]\n", false, {{2, "!"}, {3, "x"}}},
      {"label not at a word start", "Version: 0\nxMsgBuffer: [x]\n", false, {{2, "!"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    writeText(row.text);
    MessageFile file(path_.c_str());
    EXPECT_EQ(file.headerFault() != nullptr, row.headerFault);
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& [line, body] : row.records) {
        Message m;
        ASSERT_EQ(file.readMsg(m), 1);
        EXPECT_EQ(file.recordLine(), line);
        if (body == "!") {
          EXPECT_NE(file.recordFault(), nullptr);
        } else {
          EXPECT_EQ(file.recordFault(), nullptr) << file.recordFault();
          EXPECT_EQ(bodyOf(m), body);
        }
      }
      Message end;
      EXPECT_EQ(file.readMsg(end), 0);
      file.reset();  // the second pass starts where the first did
    }
  }
}

// Record lines around the length limit: a line may hold 16382 characters before its
// newline. A longer one is reported whole and its tail never becomes a record.
TEST_F(MessageFileTest, LineLengthLimit) {
  const std::string head = "MsgBuffer: [";
  for (size_t extra : {0u, 1u, 2u}) {
    size_t text = kRecordTextLimit - 1 + extra;  // one short, exactly, one over
    std::string body(text - head.size() - 1, 'b');
    writeText("header\n" + head + body + "]\nMsgBuffer: [next]\n");
    MessageFile file(path_.c_str());
    Message m;
    ASSERT_EQ(file.readMsg(m), 1);
    if (extra < 2) {
      EXPECT_EQ(file.recordFault(), nullptr);
      EXPECT_EQ(bodyOf(m), body);
    } else {
      EXPECT_NE(file.recordFault(), nullptr);
      EXPECT_EQ(m.MsgLength(), 0);
    }
    ASSERT_EQ(file.readMsg(m), 1);
    EXPECT_EQ(bodyOf(m), "next");
    EXPECT_EQ(file.readMsg(m), 0);
  }
}

TEST(MessageRecordTest, DamagedAndOddRecords) {
  const std::string id48(kIdHex);
  const struct {
    std::string line;
    const char* fault;  // expected start of the fault text, or null
    std::string body;   // body afterwards (the message starts with "old")
    long msgLength;
  } rows[] = {
      // Read as a record without fields (the message keeps its values), but flagged: the
      // client must not send it as an empty request.
      {"", "no recognised field", "old", 3},
      {"plain text", "no recognised field", "old", 3},
      {"MsgBuffer: [abc] MsgLength: 99", nullptr, "abc", 3},
      {"MsgLength: 99", "MsgLength: more", "old", 3},
      {"MsgLength: 2", nullptr, "ol", 2},
      {"MsgBuffer: []", nullptr, "", 0},
      {"MsgBuffer: [a]b] ", nullptr, "a", 1},
      {"MsgBuffer: [abc", "MsgBuffer: closing", "old", 3},
      {"MsgBuffer: 41424", "MsgBuffer: malformed", "old", 3},
      {"MsgBuffer: 4142ZZ ", "MsgBuffer: malformed", "old", 3},
      {"MsgBuffer: 41425D0A00 ", nullptr, std::string("AB]\n\0", 5), 5},
      {"MsgBuffer: ", "MsgBuffer: value", "old", 3},
      {"MsgId: " + id48.substr(0, 47), "MsgId:", "old", 3},
      {"MsgId: " + id48.substr(0, 20) + "G" + id48.substr(21), "MsgId:", "old", 3},
      {"CorrelId: 0A", "CorrelId:", "old", 3},
      {"Priority: 99999999999", "Priority:", "old", 3},
      {"Priority: x", "Priority:", "old", 3},
      {"MsgBuffer: [TagBuffer: [x] y] TagBuffer: [t] ", nullptr, "TagBuffer: [x", 13},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    Message m;
    m.MsgBuffer("old", 3);
    m.Priority(7);
    const char* fault = zvrParseRecord(row.line.data(), row.line.size(), m);
    if (row.fault) {
      ASSERT_NE(fault, nullptr);
      EXPECT_EQ(std::string(fault).rfind(row.fault, 0), 0u) << fault;
    } else {
      EXPECT_EQ(fault, nullptr) << fault;
    }
    EXPECT_EQ(bodyOf(m), row.body);
    EXPECT_EQ(m.MsgLength(), row.msgLength);
    EXPECT_EQ(m.Priority(), 7);
    unsigned char id[kQlxMsgIdLength];
    m.getId(id);
    EXPECT_EQ(id[10], 0);  // no id half-set
  }
}

TEST(MessageRecordTest, FieldsReadBack) {
  Message m;
  std::string line =
      "Version: -5 Type: 4294967295 Format: 9 FormatName:  Signature: 1 xType: 3 "
      "Status: 9 Expiry: +12 MsgBuffer: [Encoding: 5]";
  EXPECT_EQ(zvrParseRecord(line.data(), line.size(), m), nullptr);
  EXPECT_EQ(m.Version(), -5);
  EXPECT_EQ(m.Type(), -1);
  EXPECT_EQ(m.Format(), -1);  // a format name, even empty, overrides Format
  EXPECT_STREQ(m.FormatName(), "");
  EXPECT_EQ(m.Signature(), 1);
  EXPECT_EQ(m.Status(), 0);  // never read back
  EXPECT_EQ(m.Expiry(), 12);
  EXPECT_EQ(m.Encoding(), -2);  // inside the body, not a field
}

// A record that cannot be appended is reported on standard output and to the caller.
TEST_F(MessageFileTest, UnwritableFile) {
  const struct {
    std::string path;
    std::string shown;
  } rows[] = {{dir_ + "/no/such/file", "Error opening file: "}, {"/dev/full", "Error writing file: "}};
  for (const auto& row : rows) {
    if (row.path == "/dev/full" && !fs::exists(row.path)) continue;
    MessageFile file(row.path.c_str(), 0, 1, 0, 1, 0, 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(file.writeMsg(sample("x", "")), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.shown + row.path + "\n");
  }
  MessageFile file(path_.c_str(), 0, 1, 0, 1, 0, 1);
  EXPECT_EQ(file.writeMsg(sample("x", "")), 1);
}

TEST_F(MessageFileTest, UnreadableFileEndsTheProcess) {
  EXPECT_EXIT(MessageFile((dir_ + "/missing").c_str()), ::testing::ExitedWithCode(1),
              "Reason: No such file or directory");
}

}  // namespace
