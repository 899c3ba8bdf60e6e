// zvrtee end to end: it empties its file at start-up, records every request and forwards
// it unchanged, consumes requests with -noforward, prints to standard output without -o,
// and ends with the request in hand still queued when a step fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools_process.h"

namespace {

using zvr::testing::ChildProcess;
using zvr::tools::Client;
using zvr::tools::Outgoing;

const std::string kUsage =
    "Usage: zvrtee [ -e be_name ] [ -hdr ] [ -o outfile ] [ -noforward ] [ -hex ]\n";

std::string hex(const std::string& bytes) {
  std::string out;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    out += digits;
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    out.push_back(text.substr(start, end - start));
  return out;
}

class TeeTest : public zvr::tools::ToolsHome {
 protected:
  std::string directoryText() const override {
    return "[element.TEE1]\nformats = [\"*\"]\n[client.C1]\nformats = []\n"
           "[service.T]\nworkflow = [\"element:TEE1\", \"origin\"]\n";
  }

  void SetUp() override {
    ToolsHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (zvr::tools::program("zvrtee").empty()) GTEST_SKIP() << "this build has no zvrtee";
  }

  // Starts zvrtee with `args` (output to "out", errors to "err") and waits until it has
  // connected.
  ChildProcess startTee(std::vector<std::string> args) {
    args.insert(args.begin(), zvr::tools::program("zvrtee"));
    ChildProcess tee(args, file("out"), file("err"));
    EXPECT_TRUE(zvr::tools::eventually(
        [&] { return text("err").find("Quor Server initialized.\n") != std::string::npos; }))
        << text("err");
    return tee;
  }

  // Waits until the message file `name` holds the header and `records` records.
  bool recorded(const std::string& name, size_t records) {
    return zvr::tools::eventually([&] { return lines(text(name)).size() == 1 + records; });
  }
};

TEST_F(TeeTest, EmptiesItsFileThenRecordsAndForwardsEveryRequest) {
  std::ofstream(file("rec")) << "an older recording\nof two lines\n";
  Client client("C1");
  ASSERT_TRUE(client.connected());
  auto tee = startTee({"-e", "TEE1", "-hdr", "-hex", "-o", file("rec")});
  EXPECT_EQ(text("rec"), "Version: 0 DisplayHdr: 1 HexMsgData: 1 LoopTimes: 1 EveryN: 0 NTimes: 1 \n");

  const std::vector<Outgoing> sent = {
      Outgoing(zvr::tools::bytes("bin\0ary ] \r\n\xff"), zvr::tools::bytes("t\0g")),
      Outgoing("plain text", "")};
  for (const Outgoing& request : sent) {
    ASSERT_TRUE(client.send("T", request));
    std::string body;
    ASSERT_TRUE(client.receive(body)) << text("err");
    EXPECT_EQ(body, request.body);
  }
  EXPECT_EQ(tee.stop(SIGTERM), 0) << text("err");

  std::vector<std::string> file = lines(text("rec"));
  ASSERT_EQ(file.size(), 3u) << text("rec");
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::string& record = file[i + 1];
    EXPECT_NE(record.find("Priority: 5 "), std::string::npos) << record;
    EXPECT_NE(record.find("FormatName: ORDERS "), std::string::npos) << record;
    EXPECT_NE(record.find("MsgBuffer: " + hex(sent[i].body) + " "), std::string::npos) << record;
    const std::string tag = sent[i].tag.empty() ? "TagBuffer: []" : "TagBuffer: " + hex(sent[i].tag) + " ";
    EXPECT_EQ(record.substr(record.size() - tag.size()), tag) << record;
  }
  EXPECT_EQ(depth("TEE1"), 0);
}

TEST_F(TeeTest, NoForwardConsumesRequests) {
  Client client("C1");
  ASSERT_TRUE(client.connected());
  // A later option overrides an earlier one.
  auto tee = startTee({"-e", "ZVRTee1", "-noforward", "-o", file("rec"), "-e", "TEE1"});
  EXPECT_NE(text("err").find("Do not forward messages\n"), std::string::npos);
  ASSERT_TRUE(client.send("T", Outgoing("first", "")));
  ASSERT_TRUE(client.send("T", Outgoing("second", "")));
  ASSERT_TRUE(recorded("rec", 2)) << text("rec") << text("err");
  EXPECT_EQ(lines(text("rec"))[2], "MsgBuffer: [second] ");
  std::string body;
  EXPECT_FALSE(client.receive(body, 300)) << body;
  EXPECT_EQ(tee.stop(SIGINT), 0);
  EXPECT_EQ(depth("TEE1"), 0);
}

TEST_F(TeeTest, PrintsToStandardOutputWithoutAFile) {
  Client client("C1");
  ASSERT_TRUE(client.connected());
  auto tee = startTee({"-e", "TEE1", "-hdr", "-hex"});
  ASSERT_TRUE(client.send("T", Outgoing("shown", "tagged")));
  std::string body;
  ASSERT_TRUE(client.receive(body));
  EXPECT_EQ(tee.stop(SIGTERM), 0);
  const std::string out = text("out");
  // Printed at once, not left in a buffer; always as hex dumps, whatever -hex says.
  EXPECT_EQ(out.rfind(std::string(79, '-') + "\n", 0), 0u) << out;
  EXPECT_NE(out.find("FormatName: ORDERS\n"), std::string::npos) << out;
  EXPECT_NE(out.find("MsgBuffer:\n00000000: 73686F77 6E"), std::string::npos) << out;
  EXPECT_NE(out.find("TagBuffer:\n00000000: 74616767 6564"), std::string::npos) << out;
}

TEST_F(TeeTest, AFailedStepEndsTheLoopWithTheRequestQueued) {
  struct Row {
    const char* name;
    const char* fault;  // qlxadm fault arguments, or null
    std::vector<std::string> args;
    const char* message;
  } rows[] = {
      // A device takes the open but not the bytes: the loss shows only at the close.
      {"record lost on a full device", nullptr, {"-noforward", "-o", "/dev/full"},
       "Unable to record the request."},
      {"failed put", "putresponse 2 --for TEE1", {"-o", file("rec")}, "putResponse failed."},
      {"failed commit", "commit 2 --for TEE1", {"-o", file("rec")}, "Commit failed."},
  };
  Client client("C1");
  ASSERT_TRUE(client.connected());
  for (const Row& row : rows) {
    if (row.args.back() == "/dev/full" && !std::filesystem::exists("/dev/full")) continue;
    const std::string body = std::string("request of row ") + row.name;
    ASSERT_TRUE(client.send("T", Outgoing(body, "")));
    if (row.fault) {
      ASSERT_EQ(qlxadm(std::string("fault ") + row.fault), 0) << row.name;
    }
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), {zvr::tools::program("zvrtee"), "-e", "TEE1"});
    ChildProcess tee(args, file("out"), file("err"));
    EXPECT_EQ(tee.wait(), 0) << row.name;
    EXPECT_NE(text("err").find(row.message), std::string::npos) << row.name << text("err");
    EXPECT_EQ(depth("TEE1"), 1) << row.name;
    // The request is still there for the next tee.
    auto next = startTee({"-e", "TEE1", "-noforward", "-o", file("next")});
    ASSERT_TRUE(recorded("next", 1)) << row.name;
    EXPECT_EQ(lines(text("next"))[1], "MsgBuffer: [" + body + "] ");
    EXPECT_EQ(next.stop(), 0);
  }
}

// An output file that cannot be created stops the tee before it takes anything: forwarding
// with nothing recorded would look like a working recording.
TEST_F(TeeTest, RefusesToStartWithoutItsOutputFile) {
  Client client("C1");
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send("T", Outgoing("waits for a tee", "")));
  for (const std::string& name : {file("no-such-dir/rec"), file("")}) {
    ChildProcess tee({zvr::tools::program("zvrtee"), "-e", "TEE1", "-o", name}, file("out"),
                     file("err"));
    EXPECT_EQ(tee.wait(), 1) << name;
    EXPECT_NE(text("err").find("zvrtee: unable to create the output file " + name + ": "),
              std::string::npos) << text("err");
    EXPECT_EQ(text("err").find("Quor Server initialized."), std::string::npos);
    EXPECT_EQ(depth("TEE1"), 1) << name;
  }
}

// Without -noforward a record that cannot be written loses the record only: the request
// goes on, and the loss is in the broker's log as well as on standard error.
TEST_F(TeeTest, ALostRecordIsLogged) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
  Client client("C1");
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send("T", Outgoing("forwarded unrecorded", "")));
  auto tee = startTee({"-e", "TEE1", "-o", "/dev/full"});
  const char* const lost =
      "zvrtee: unable to append a record to /dev/full; the request was forwarded unrecorded.";
  EXPECT_TRUE(zvr::tools::eventually(
      [&] { return logText().find(lost) != std::string::npos; })) << logText();
  EXPECT_EQ(tee.stop(), 0);
  EXPECT_NE(text("err").find(lost), std::string::npos) << text("err");
  EXPECT_EQ(depth("TEE1"), 0);
}

TEST_F(TeeTest, BadCommandLinesEndWithTheUsage) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-x"}, {"-e"}, {"-e", "TEE1", "-o"}, {"-?"}}) {
    args.insert(args.begin(), zvr::tools::program("zvrtee"));
    ChildProcess tee(args, file("out"), file("err"));
    EXPECT_EQ(tee.wait(), 1) << args[1];
    EXPECT_EQ(text("err"), kUsage) << args[1];
  }
}

}  // namespace
