// The test client zvrclnt as operators run it: its command-line messages, interactive
// mode driven through standard input, file mode with its loop counts, and the start-up
// drain, against the embedded broker with qlxadm serving element E around it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/zvr_testing.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

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

// One program started with its standard input on a pipe and its output in files.
class Program {
 public:
  Program(const std::string& dir, const std::vector<std::string>& args) {
    static int serial = 0;
    const std::string stem = dir + "/run" + std::to_string(++serial);
    outPath_ = stem + ".out";
    errPath_ = stem + ".err";
    int in[2];
    if (pipe(in) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];
  }
  ~Program() {
    closeInput();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void write(const std::string& text) {
    if (input_ < 0) return;
    EXPECT_EQ(::write(input_, text.data(), text.size()), ssize_t(text.size()));
  }
  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  std::string out() const { return zvr::testing::readFile(outPath_); }
  std::string err() const { return zvr::testing::readFile(errPath_); }

  // Waits until standard output holds `text` `count` times; false after 20 seconds.
  bool awaitOutput(const std::string& text, int count = 1) const {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
      std::string now = out();
      int seen = 0;
      for (size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) ++seen;
      if (seen >= count) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // Closes standard input and waits for the exit status; -1 when the program had to be
  // killed after `seconds`.
  int finish(int seconds = 60) {
    closeInput();
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(20ms);
    }
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::string outPath_, errPath_;
};

class ZvrclntTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return zvr::testing::kEchoDirectory; }

  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a client that already ended must not end the test
    DirectoryHome::SetUp();
  }

  // zvrclnt as client C1 of service ECHO, with `args` after those.
  std::unique_ptr<Program> client(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {ZVRCLNT, "-c", "C1", "-s", "ECHO"};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<Program>(home(), all);
  }
  std::unique_ptr<Program> serve(int count) const {
    return std::make_unique<Program>(home(), std::vector<std::string>{
                                                 QLXADM, "echo", "E", "--count", std::to_string(count)});
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
    std::unique_ptr<Program> run = client(row.args);
    EXPECT_EQ(run->finish(), row.status);
    std::string err = run->err();
    EXPECT_EQ(err.rfind(row.message + kUsageHead, 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - kUsageTail.size()), kUsageTail);
  }

  std::unique_ptr<Program> missing = client({"-i", home() + "/none"});
  EXPECT_EQ(missing->finish(), 1);
  EXPECT_EQ(missing->out(), "Error: unable to open message file " + home() + "/none\n");
  EXPECT_NE(missing->err().find("Reason: No such file or directory\n"), std::string::npos);
}

TEST_F(ZvrclntTest, InteractiveUntilQuitting) {
  std::unique_ptr<Program> echo = serve(1);
  std::unique_ptr<Program> run = client({});
  run->write("hello\nQUITTING\nnever sent\n");
  EXPECT_EQ(run->finish(), 0);
  EXPECT_EQ(echo->finish(), 0);
  std::string err = run->err();
  EXPECT_NE(err.find("Client Name: C1\nBusiness Service Name: ECHO\nQuor Client starting...  \n"
                     "Quor Client initialized.\n\nSending Message: \nhello\nReceived Message: \n"
                     "hello\n\nQuor Client shutting down.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(run->out(), kPrompt + "Message Body:\n" + kPrompt + "Message Body:\n");
  // The response fetched after the last commit went back to the queue at shut-down.
  EXPECT_EQ(depth("client:C1"), 1);


  // The end of standard input ends the conversation as QUIT does.
  std::unique_ptr<Program> ended = client({"-nowait"});
  ended->write("one\n");
  EXPECT_EQ(ended->finish(), 0);
  EXPECT_NE(ended->err().find("Sending Message: \none\n\nQuor Client shutting down.\n"),
            std::string::npos);
  EXPECT_EQ(depth("element:E"), 1);
  EXPECT_EQ(depth("client:C1"), 0);
}

// Middleware failures are shown: an unknown client ends the program, a put to an unknown
// service is reported and the conversation goes on.
TEST_F(ZvrclntTest, FailuresAreShown) {
  std::unique_ptr<Program> stranger = client({"-c", "NOPE"});
  EXPECT_EQ(stranger->finish(), 1);
  EXPECT_NE(stranger->err().find("ZVRR0005\nERROR: Unable to initialize Quor Client connection."),
            std::string::npos);

  std::unique_ptr<Program> run = client({"-s", "NOSVC"});
  run->write("lost\nQUIT\n");
  EXPECT_EQ(run->finish(), 0);
  std::string err = run->err();
  EXPECT_NE(err.find("ZVRR0006\nWARNING: Unable to put a request message."), std::string::npos)
      << err;
  EXPECT_NE(err.find("\nQuor Client shutting down.\n"), std::string::npos);
  EXPECT_EQ(run->out(), kPrompt + "Message Body:\n" + kPrompt + "Message Body:\n");
}

// -hdr: every field typed in, full prints of request and response on standard output.
TEST_F(ZvrclntTest, InteractiveFullEntry) {
  std::unique_ptr<Program> echo = serve(1);
  std::unique_ptr<Program> run = client({"-hdr", "-format", "FMTX"});
  run->write("\n\n7\n\n\n\n\n\n\n\n\nfull body\ntagdata\n");
  run->write(std::string(11, '\n') + "QUIT\n");
  EXPECT_EQ(run->finish(), 0);
  EXPECT_EQ(echo->finish(), 0);
  std::string out = run->out();
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
  std::unique_ptr<Program> run = client({"-anymsg", "-format", "FMTX"});
  ASSERT_TRUE(run->awaitOutput(kPrompt)) << run->err();  // the start-up drain is over
  ASSERT_EQ(qlxadm("send ECHO --as C1 other"), 0);
  std::string served;
  ASSERT_EQ(qlxadm("echo E --count 1", &served), 0) << served;
  run->write("mine\nQUIT\n");
  EXPECT_EQ(run->finish(), 0);
  EXPECT_NE(run->err().find("Sending Message: \nmine\nReceived Message: \nother\n"),
            std::string::npos)
      << run->err();
  std::string browse;
  qlxadm("browse element:E", &browse);
  EXPECT_NE(browse.find("format 'FMTX'"), std::string::npos) << browse;
  EXPECT_NE(browse.find("body: mine"), std::string::npos) << browse;
}

// The loop count against the file's LoopTimes: -loop wins, 0 or none takes the file's.
TEST_F(ZvrclntTest, FileLoops) {
  const std::string header = "Version: 0 DisplayHdr: 0 HexMsgData: 1 LoopTimes: 2 EveryN: 0 NTimes: 1 ";
  const std::string records = "MsgBuffer: 41425D0A43 \n# comment\nMsgBuffer: [second] \n";
  const struct {
    std::vector<std::string> loop;
    int passes;
  } rows[] = {{{}, 2}, {{"-loop", "0"}, 2}, {{"-loop", "3"}, 3}, {{"-loop", "1"}, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.passes);
    std::vector<std::string> args = {"-nowait", "-i", messageFile(header, records)};
    args.insert(args.end(), row.loop.begin(), row.loop.end());
    std::unique_ptr<Program> run = client(args);
    EXPECT_EQ(run->finish(), 0);
    EXPECT_NE(run->err().find("Message File Loop Times: " + std::to_string(row.passes) + "\n"),
              std::string::npos);
    EXPECT_EQ(depth("element:E"), 2 * row.passes);
    ASSERT_EQ(qlxadm("reset"), 0);
  }

  // With responses: each record is shown going out and coming back, bytes as they were.
  std::unique_ptr<Program> echo = serve(2);
  std::unique_ptr<Program> run = client({"-i", messageFile(header, records), "-loop", "1"});
  EXPECT_EQ(run->finish(), 0);
  EXPECT_EQ(echo->finish(), 0);
  EXPECT_NE(run->err().find("Sending Message: \nAB]\nC\nReceived Message: \nAB]\nC\n\n"
                            "Sending Message: \nsecond\nReceived Message: \nsecond\n\n"),
            std::string::npos)
      << run->err();
}

// A file without LoopTimes and a command line without -loop replay for ever.
TEST_F(ZvrclntTest, FileWithoutLoopTimesReplaysEndlessly) {
  std::unique_ptr<Program> run =
      client({"-nowait", "-i", messageFile("Version: 0", "MsgBuffer: [again] \n")});
  for (int tries = 0; tries < 1000 && depth("element:E") < 4; ++tries)
    std::this_thread::sleep_for(20ms);
  EXPECT_GE(depth("element:E"), 4);
  EXPECT_NE(run->err().find("Message File Loop Times: -1\n"), std::string::npos);

  // A file with nothing to send ends instead of spinning.
  std::unique_ptr<Program> empty =
      client({"-nowait", "-i", messageFile("Version: 0", "# only a comment\nMsgBuffer: [open\n")});
  EXPECT_EQ(empty->finish(), 0);
  EXPECT_NE(empty->err().find("has no message to send.\n"), std::string::npos) << empty->err();
}

// A damaged record is reported with its line and not sent; the others are.
TEST_F(ZvrclntTest, DamagedRecordIsNotSent) {
  std::unique_ptr<Program> run = client(
      {"-nowait", "-i", messageFile("LoopTimes: 1", "MsgBuffer: [a] \nMsgBuffer: [open\nMsgBuffer: [b] \n")});
  EXPECT_EQ(run->finish(), 0);
  EXPECT_NE(run->err().find("line 3: MsgBuffer: closing bracket missing; record not sent.\n"),
            std::string::npos)
      << run->err();
  EXPECT_EQ(depth("element:E"), 2);
}

// -nowait fetches no responses, but responses left from earlier runs are still drained.
TEST_F(ZvrclntTest, NoWaitStillDrainsAtStartUp) {
  ASSERT_EQ(qlxadm("send ECHO --as C1 stale1"), 0);
  ASSERT_EQ(qlxadm("send ECHO --as C1 stale2"), 0);
  ASSERT_EQ(qlxadm("echo E --count 2"), 0);
  ASSERT_EQ(depth("client:C1"), 2);
  std::unique_ptr<Program> run =
      client({"-nowait", "-i", messageFile("LoopTimes: 1", "MsgBuffer: [new] \n")});
  EXPECT_EQ(run->finish(), 0);
  EXPECT_EQ(depth("client:C1"), 0);
  EXPECT_EQ(depth("element:E"), 1);
  EXPECT_EQ(run->err().find("Received Message"), std::string::npos);
}

}  // namespace
