// The test client zvrclnt as operators run it: its command-line messages, interactive
// mode driven through standard input, file mode with its loop counts, and the start-up
// drain, against the embedded broker with qlxadm serving element E around it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/zvr_testing.h"

namespace {

using namespace std::chrono_literals;
using zvr::testing::ChildProcess;

const std::string kUsageHead =
    "Usage: zvrclnt [-anymsg] [-c Client name] [-hdr] [-i infile] [-loop loops] "
    "[-s service name] [-format str] [-nowait] [-?] \n\n";
const std::string kUsageTail = "       -?       Request this help message.\n";
const std::string kIncompatible =
    "ERROR: Incompatible options ``-hdr'' and ``-i'' specified on startup.\n"
    "Do not specify both options on the command line.\n\n";
const std::string kMissingInput =
    "ERROR: Option ``-loop'' requires option ``-i''.\n"
    "Specify both options on the command line.\n\n";
const std::string kPrompt = "Enter the specified fields (message body = \"QUIT\" to end)\n";

class ZvrclntTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return zvr::testing::kEchoDirectory; }

  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a client that already ended must not end the test
    DirectoryHome::SetUp();
  }

  // zvrclnt as client C1 of service ECHO, with `args` after those; its standard input is a
  // pipe the test writes to.
  ChildProcess client(const std::vector<std::string>& args) {
    std::vector<std::string> all = {ZVRCLNT, "-c", "C1", "-s", "ECHO"};
    all.insert(all.end(), args.begin(), args.end());
    return start(all, ChildProcess::kInputPipe);
  }
  // qlxadm serving element E for `count` requests.
  ChildProcess serve(int count) {
    return start({QLXADM, "echo", "E", "--count", std::to_string(count)});
  }
  ChildProcess start(const std::vector<std::string>& words, const std::string& in = "/dev/null") {
    const std::string stem = home() + "/run" + std::to_string(++started_);
    return ChildProcess(words, stem + ".out", stem + ".err", in);
  }

  // Waits until the standard output of `program` holds `text` `count` times; false after
  // 20 seconds.
  static bool awaitOutput(const ChildProcess& program, const std::string& text, int count = 1) {
    for (auto end = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < end;) {
      const std::string now = program.standardOutput();
      int seen = 0;
      for (size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) ++seen;
      if (seen >= count) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // A message file with `header` as its first line and `records` after it.
  std::string messageFile(const std::string& header, const std::string& records) const {
    std::string path = home() + "/messages";
    std::ofstream(path, std::ios::binary) << header << "\n" << records;
    return path;
  }

  // Depth of a queue as qlxadm shows it ("element:E", "client:C1").
  int depth(const std::string& queue) const {
    std::string text;
    qlxadm("queues", &text);
    std::istringstream lines(text);
    for (std::string name; lines >> name;) {
      int value = 0;
      if (name == queue && lines >> value) return value;
      lines.ignore(1 << 20, '\n');
    }
    return 0;
  }

 private:
  int started_ = 0;
};

// Every way the command line is refused or answered without running.
TEST_F(ZvrclntTest, CommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;  // expected before the usage text ("" for none)
  } rows[] = {
      {{"-hdr", "-i", "file"}, 1, kIncompatible},
      {{"-loop", "3"}, 1, kMissingInput},
      {{"-i", "file", "-loop"}, 1, ""},  // -loop without its value
      {{"-loop", "3x", "-i", "file"}, 1, ""},
      {{"-bogus"}, 1, ""},
      {{"-format"}, 1, ""},
      {{"-?"}, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + " ...");
    ChildProcess run = client(row.args);
    EXPECT_EQ(run.wait(), row.status);
    std::string err = run.standardError();
    EXPECT_EQ(err.rfind(row.message + kUsageHead, 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - kUsageTail.size()), kUsageTail);
  }

  ChildProcess missing = client({"-i", home() + "/none"});
  EXPECT_EQ(missing.wait(), 1);
  EXPECT_EQ(missing.standardOutput(), "Error: unable to open message file " + home() + "/none\n");
  EXPECT_NE(missing.standardError().find("Reason: No such file or directory\n"), std::string::npos);
}

TEST_F(ZvrclntTest, InteractiveUntilQuitting) {
  ChildProcess echo = serve(1);
  ChildProcess run = client({});
  EXPECT_TRUE(run.write("hello\nQUITTING\nnever sent\n"));
  EXPECT_EQ(run.wait(), 0);
  EXPECT_EQ(echo.wait(), 0);
  std::string err = run.standardError();
  EXPECT_NE(err.find("Client Name: C1\nBusiness Service Name: ECHO\nQuor Client starting...  \n"
                     "Quor Client initialized.\n\nSending Message: \nhello\nReceived Message: \n"
                     "hello\n\nQuor Client shutting down.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(run.standardOutput(), kPrompt + "Message Body:\n" + kPrompt + "Message Body:\n");
  // The response fetched after the last commit went back to the queue at shut-down.
  EXPECT_EQ(depth("client:C1"), 1);

  // The end of standard input ends the conversation as QUIT does.
  ChildProcess ended = client({"-nowait"});
  EXPECT_TRUE(ended.write("one\n"));
  EXPECT_EQ(ended.wait(), 0);
  EXPECT_NE(ended.standardError().find("Sending Message: \none\n\nQuor Client shutting down.\n"),
            std::string::npos);
  EXPECT_EQ(depth("element:E"), 1);
  EXPECT_EQ(depth("client:C1"), 0);
}

// Middleware failures are shown: an unknown client ends the program, a put to an unknown
// service is reported and the conversation goes on.
TEST_F(ZvrclntTest, FailuresAreShown) {
  ChildProcess stranger = client({"-c", "NOPE"});
  EXPECT_EQ(stranger.wait(), 1);
  EXPECT_NE(stranger.standardError().find(
                "ZVRR0005\nERROR: Unable to initialize Quor Client connection."),
            std::string::npos);

  ChildProcess run = client({"-s", "NOSVC"});
  EXPECT_TRUE(run.write("lost\nQUIT\n"));
  EXPECT_EQ(run.wait(), 0);
  std::string err = run.standardError();
  EXPECT_NE(err.find("ZVRR0006\nWARNING: Unable to put a request message."), std::string::npos)
      << err;
  EXPECT_NE(err.find("\nQuor Client shutting down.\n"), std::string::npos);
  EXPECT_EQ(run.standardOutput(), kPrompt + "Message Body:\n" + kPrompt + "Message Body:\n");
}

// -hdr: every field typed in, full prints of request and response on standard output.
TEST_F(ZvrclntTest, InteractiveFullEntry) {
  ChildProcess echo = serve(1);
  ChildProcess run = client({"-hdr", "-format", "FMTX"});
  EXPECT_TRUE(run.write("\n\n7\n\n\n\n\n\n\n\n\nfull body\ntagdata\n"));
  EXPECT_TRUE(run.write(std::string(11, '\n') + "QUIT\n"));
  EXPECT_EQ(run.wait(), 0);
  EXPECT_EQ(echo.wait(), 0);
  std::string out = run.standardOutput();
  EXPECT_NE(out.find("Signature [DEFAULT= 1113083204]: Version [DEFAULT= 0000000002]: "
                     "Type [DEFAULT= 0000000000]: Priority [DEFAULT=-0000000002]: "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Message Body:\nTag Body:\n"), std::string::npos);
  // The request as sent and the response as received.
  for (const char* part : {"      Type:  0000000007\n", "FormatName: FMTX\n",
                           "    full body \nTagBuffer:\n00000000: 74616764 617461"}) {
    size_t first = out.find(part);
    ASSERT_NE(first, std::string::npos) << part << "\n" << out;
    EXPECT_NE(out.find(part, first + 1), std::string::npos) << part;
  }
}

// -anymsg takes whatever response is next, not the one of the request just sent; without
// it the client keeps to its own theme.
TEST_F(ZvrclntTest, AnyMessage) {
  ChildProcess run = client({"-anymsg", "-format", "FMTX"});
  ASSERT_TRUE(awaitOutput(run, kPrompt)) << run.standardError();  // the start-up drain is over
  ASSERT_EQ(qlxadm("send ECHO --as C1 other"), 0);
  std::string served;
  ASSERT_EQ(qlxadm("echo E --count 1", &served), 0) << served;
  EXPECT_TRUE(run.write("mine\nQUIT\n"));
  EXPECT_EQ(run.wait(), 0);
  EXPECT_NE(run.standardError().find("Sending Message: \nmine\nReceived Message: \nother\n"),
            std::string::npos)
      << run.standardError();
  std::string browse;
  qlxadm("browse element:E", &browse);
  EXPECT_NE(browse.find("format 'FMTX'"), std::string::npos) << browse;
  EXPECT_NE(browse.find("body: mine"), std::string::npos) << browse;
}

// The loop count against the file's LoopTimes: -loop wins, 0 or none takes the file's.
TEST_F(ZvrclntTest, FileLoops) {
  const std::string header =
      "Version: 0 DisplayHdr: 0 HexMsgData: 1 LoopTimes: 2 EveryN: 0 NTimes: 1 ";
  const std::string records = "MsgBuffer: 41425D0A43 \n# comment\nMsgBuffer: [second] \n";
  const struct {
    std::vector<std::string> loop;
    int passes;
  } rows[] = {{{}, 2}, {{"-loop", "0"}, 2}, {{"-loop", "3"}, 3}, {{"-loop", "1"}, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.passes);
    std::vector<std::string> args = {"-nowait", "-i", messageFile(header, records)};
    args.insert(args.end(), row.loop.begin(), row.loop.end());
    ChildProcess run = client(args);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_NE(
        run.standardError().find("Message File Loop Times: " + std::to_string(row.passes) + "\n"),
        std::string::npos);
    EXPECT_EQ(depth("element:E"), 2 * row.passes);
    ASSERT_EQ(qlxadm("reset"), 0);
  }

  // With responses: each record is shown going out and coming back, bytes as they were.
  ChildProcess echo = serve(2);
  ChildProcess run = client({"-i", messageFile(header, records), "-loop", "1"});
  EXPECT_EQ(run.wait(), 0);
  EXPECT_EQ(echo.wait(), 0);
  EXPECT_NE(run.standardError().find("Sending Message: \nAB]\nC\nReceived Message: \nAB]\nC\n\n"
                                     "Sending Message: \nsecond\nReceived Message: \nsecond\n\n"),
            std::string::npos)
      << run.standardError();
}

// A file without LoopTimes and a command line without -loop replay for ever.
TEST_F(ZvrclntTest, FileWithoutLoopTimesReplaysEndlessly) {
  ChildProcess run = client({"-nowait", "-i", messageFile("Version: 0", "MsgBuffer: [again] \n")});
  for (int tries = 0; tries < 1000 && depth("element:E") < 4; ++tries)
    std::this_thread::sleep_for(20ms);
  EXPECT_GE(depth("element:E"), 4);
  EXPECT_NE(run.standardError().find("Message File Loop Times: -1\n"), std::string::npos);

  // A file with nothing to send ends instead of spinning.
  ChildProcess empty =
      client({"-nowait", "-i", messageFile("Version: 0", "# only a comment\nMsgBuffer: [open\n")});
  EXPECT_EQ(empty.wait(), 0);
  EXPECT_NE(empty.standardError().find("has no message to send.\n"), std::string::npos)
      << empty.standardError();
}

// A damaged record is reported with its line and not sent; the others are.
TEST_F(ZvrclntTest, DamagedRecordIsNotSent) {
  ChildProcess run =
      client({"-nowait", "-i",
              messageFile("LoopTimes: 1", "MsgBuffer: [a] \nMsgBuffer: [open\nMsgBuffer: [b] \n")});
  EXPECT_EQ(run.wait(), 0);
  EXPECT_NE(
      run.standardError().find("line 3: MsgBuffer: closing bracket missing; record not sent.\n"),
      std::string::npos)
      << run.standardError();
  EXPECT_EQ(depth("element:E"), 2);
}

// A hand-written file without its header line: the first record is sent, not taken for the
// header; a stray line of text is reported by its number, not sent as an empty request.
TEST_F(ZvrclntTest, HeaderlessFileAndStrayLinesAreReported) {
  ChildProcess run = client({"-nowait", "-loop", "1", "-i",
                             messageFile("MsgBuffer: [first] ", "some notes\nMsgBuffer: [b] \n")});
  EXPECT_EQ(run.wait(), 0);
  const std::string err = run.standardError();
  EXPECT_NE(err.find("line 1: a record, not the header line; read as the first record.\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("line 2: no recognised field"), std::string::npos) << err;
  EXPECT_EQ(depth("element:E"), 2);
}

// -nowait fetches no responses, but responses left from earlier runs are still drained.
TEST_F(ZvrclntTest, NoWaitStillDrainsAtStartUp) {
  ASSERT_EQ(qlxadm("send ECHO --as C1 stale1"), 0);
  ASSERT_EQ(qlxadm("send ECHO --as C1 stale2"), 0);
  ASSERT_EQ(qlxadm("echo E --count 2"), 0);
  ASSERT_EQ(depth("client:C1"), 2);
  ChildProcess run = client({"-nowait", "-i", messageFile("LoopTimes: 1", "MsgBuffer: [new] \n")});
  EXPECT_EQ(run.wait(), 0);
  EXPECT_EQ(depth("client:C1"), 0);
  EXPECT_EQ(depth("element:E"), 1);
  EXPECT_EQ(run.standardError().find("Received Message"), std::string::npos);
}

}  // namespace
