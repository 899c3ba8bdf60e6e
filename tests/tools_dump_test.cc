// zvrdumpt end to end: the file it writes is exactly the text the engine receives for the
// request, an existing file is overwritten, every failure leaves the request queued, and
// the command line is checked before anything is connected.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "marshall.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "tools_process.h"

namespace {

using zvr::testing::ChildProcess;
using zvr::tools::Client;
using zvr::tools::Outgoing;

const std::string kUsage = "\nUsage: zvrdumpt [-?] [-e element_name] [-hdr] -o out_file\n\n";
const std::string kId(24, 'I');
const std::string kCorrel(24, 'C');

class DumpTest : public zvr::tools::ToolsHome {
 protected:
  std::string directoryText() const override {
    return "[element.DUMP1]\nformats = [\"*\"]\n[element.ZVRBC1]\nformats = [\"ORDERS\"]\n"
           "[client.C1]\nformats = [\"ORDERS\"]\n"
           "[service.DUMP]\nworkflow = [\"element:DUMP1\", \"origin\"]\n"
           "[service.BC]\nworkflow = [\"element:ZVRBC1\", \"origin\"]\n"
           "[dictionary.ZVRBroker]\npairs = [[\"ORDERS C1\", \"saveinput -save " +
           file("engine-input") + " -oe1s\"]]\n";
  }

  void SetUp() override {
    ToolsHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (zvr::tools::program("zvrdumpt").empty()) GTEST_SKIP() << "this build has no zvrdumpt";
  }

  // Runs zvrdumpt with `args`; its standard error is left in the file "err".
  int dump(std::vector<std::string> args) {
    args.insert(args.begin(), zvr::tools::program("zvrdumpt"));
    ChildProcess child(args, file("out"), file("err"));
    return child.wait();
  }

  // The framing of the request at the head of DUMP1's queue as it will be delivered next:
  // taken and rolled back here, which raises its backout count by one.
  std::string framingOfNextDelivery(unsigned header) {
    QuorBusinessElement element("DUMP1", 1);
    std::unique_ptr<QuorRequest> got(element.getRequest());
    if (!got) return "(no request)";
    std::string text;
    {
      QLXMSG next = got->descriptor();
      next.BackoutCount += 1;
      next.MsgBuffer.Owned = 0;  // still `got`'s to release
      next.TagBuffer.Owned = 0;
      QuorRequest redelivered(element.handle(), &next, got->theme(), got->getOptions());
      TsiMarshall marshall(redelivered, header);
      text.assign(static_cast<const char*>(marshall.buffer()), marshall.length());
    }
    got.reset();
    EXPECT_EQ(element.rollback(), 1);
    return text;
  }
};

TEST_F(DumpTest, FileIsTheEngineInputOfEachRequestInTurn) {
  Client client("C1");
  ASSERT_TRUE(client.connected());
  Outgoing binary(zvr::tools::bytes("bin\0ary\r\n</Header>\r\n\xff]"), "tag]\n\x01");
  Outgoing plain("second request, body only", "");
  ASSERT_TRUE(client.send("DUMP", binary));
  ASSERT_TRUE(client.send("DUMP", plain));
  const std::string expected = framingOfNextDelivery(1);
  ASSERT_NE(expected.find("<BackoutCount>1</BackoutCount>"), std::string::npos) << expected;

  // An existing, longer file is replaced whole.
  std::ofstream(file("dump.txt")) << std::string(4 * expected.size(), 'z');
  ASSERT_EQ(dump({"-e", "DUMP1", "-hdr", "-o", file("dump.txt")}), 0) << text("err");
  EXPECT_EQ(text("dump.txt"), expected);
  const std::string err = text("err");
  EXPECT_EQ(err.rfind("Quor Transformation Dump Component ( ", 0), 0u) << err;
  EXPECT_NE(err.find("Business Element Name: DUMP1\nMarshalled Output for: TSI Mercator\n"
                     "Header information marshalled: TRUE\nOutput File: " +
                     file("dump.txt") + "\nQuor Dump Server starting...  \n"
                     "Quor Server initialized.\n\n\nMarshall Buffer\n---------------\n"
                     "Length: " + std::to_string(expected.size()) + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("\nQuor Dump Server shutting down.\n"), std::string::npos) << err;

  // The next run takes the next request; without -hdr the text is the body alone.
  ASSERT_EQ(dump({"-e", "DUMP1", "-o", file("dump.txt")}), 0) << text("err");
  EXPECT_EQ(text("dump.txt"), plain.body);
  EXPECT_NE(text("err").find("Header information marshalled: FALSE\n"), std::string::npos);
  EXPECT_EQ(depth("DUMP1"), 0);
}

// Masks the time stamp, which the broker sets at each put.
std::string withoutTimeStamp(std::string text) {
  size_t start = text.find("<TimeStamp>");
  size_t end = text.find("</TimeStamp>");
  if (start != std::string::npos && end != std::string::npos && end > start)
    text.replace(start + 11, end - start - 11, "*");
  return text;
}

TEST_F(DumpTest, FileIsWhatTheBrokerComponentHandsItsMap) {
  const std::string zvrbc = zvr::tools::program("zvrbc");
  const std::string maps = zvr::testing::buildDir() + "/maps";
  if (zvrbc.empty()) GTEST_SKIP() << "this build has no zvrbc";
  if (!std::filesystem::exists(maps + "/saveinput")) GTEST_SKIP() << "no saveinput map";
  setenv("MERC_MAP_PATH", maps.c_str(), 1);
  Client client("C1");
  ASSERT_TRUE(client.connected());
  // The same request twice, with its own ids so that both deliveries carry the same ones.
  Outgoing request(zvr::tools::bytes("order\0 7\r\n\xfe"), "tag-7");
  request.priority = 3;
  request.expiry = 99;
  request.msgId = kId;
  request.correlId = kCorrel;
  ASSERT_TRUE(client.send("DUMP", request));
  ASSERT_TRUE(client.send("BC", request));

  ASSERT_EQ(dump({"-e", "DUMP1", "-hdr", "-o", file("dump.txt")}), 0) << text("err");
  ChildProcess server({zvrbc, "-e", "ZVRBC1", "-hdr", "-destination"}, file("bc.out"),
                      file("bc.err"));
  std::string body;
  EXPECT_TRUE(client.receive(body)) << text("bc.err");
  EXPECT_EQ(server.stop(SIGINT), 0);
  EXPECT_EQ(body, request.body);
  ASSERT_FALSE(text("engine-input").empty()) << text("bc.err");
  EXPECT_EQ(withoutTimeStamp(text("dump.txt")), withoutTimeStamp(text("engine-input")));
}

TEST_F(DumpTest, EveryFailureLeavesTheRequestQueued) {
  struct Row {
    const char* name;
    const char* fault;  // qlxadm fault arguments, or null
    std::string out;
    std::string message;
    bool takesTheRequest = true;  // false: refused before it connects
  } rows[] = {
      {"unopenable file", nullptr, home(),
       "ZVRP0001\nERROR: Unable to open file ``" + home() + "'' for output.", false},
      {"reason of an unopenable file", nullptr, home(),
       "Opening the file failed: " + std::string(std::strerror(EISDIR)), false},
      {"folder missing", nullptr, file("no-such-dir/dump.txt"),
       "Opening the file failed: " + std::string(std::strerror(ENOENT)), false},
      {"file not written whole", nullptr, "/dev/full", "Writing the file failed: "},
      {"failed get", "getrequest 2 --for DUMP1", file("dump.txt"), "ZVRR0002"},
      {"failed commit", "commit 2 --for DUMP1", file("dump.txt"), "ZVRR0003"},
  };
  Client client("C1");
  ASSERT_TRUE(client.connected());
  for (const Row& row : rows) {
    if (row.out == "/dev/full" && !std::filesystem::exists("/dev/full")) continue;
    const std::string body = std::string("request of row ") + row.name;
    ASSERT_TRUE(client.send("DUMP", Outgoing(body, "")));
    if (row.fault) {
      ASSERT_EQ(qlxadm(std::string("fault ") + row.fault), 0) << row.name;
    }
    EXPECT_EQ(dump({"-e", "DUMP1", "-o", row.out}), 1) << row.name;
    EXPECT_NE(text("err").find(row.message), std::string::npos) << row.name << text("err");
    EXPECT_EQ(text("err").find("Quor Server initialized.") != std::string::npos,
              row.takesTheRequest) << row.name;
    EXPECT_EQ(depth("DUMP1"), 1) << row.name;
    ASSERT_EQ(dump({"-e", "DUMP1", "-o", file("dump.txt")}), 0) << row.name << text("err");
    EXPECT_EQ(text("dump.txt"), body) << row.name;
  }
}

TEST_F(DumpTest, CommandLinesCheckedBeforeConnecting) {
  struct Row {
    std::vector<std::string> args;
    int status;
  } rows[] = {
      {{}, 1},
      {{"-e", "DUMP1"}, 1},  // -o is required
      {{"-o", file("x"), "-e"}, 1},
      {{"-o", file("x"), "-d"}, 1},
      {{"-?"}, 0},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const std::string& a : row.args) line += a + " ";
    EXPECT_EQ(dump(row.args), row.status) << line;
    EXPECT_EQ(text("err"), kUsage) << line;
  }
  EXPECT_FALSE(std::filesystem::exists(file("x")));
}

}  // namespace
