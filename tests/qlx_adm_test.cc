// qlxadm as a user runs it: separate processes on one broker home.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "qlx_adm_util.h"

namespace {

using namespace qlxtest;

TEST_F(Qlxadm, EchoServesAndSendReceivesTheResponse) {
  ChildProcess echo = start({"echo", "E"}, "echo");
  Outcome sent = qlxadm({"send", "ECHO", "--as", "C1", "--wait", "20000", "hello world"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out, "hello world\n");
  // The interrupt ends the echo's wait.
  EXPECT_EQ(echo.stop(SIGINT, 10000), 0) << echo.standardError();
  EXPECT_EQ(echo.standardError(),
            "qlxadm: serving as E\nqlxadm: request 1 (11 bytes) forwarded\n");
  Outcome queues = qlxadm({"queues"});
  EXPECT_EQ(queues.status, 0);
  EXPECT_NE(queues.out.find("DEPTH"), std::string::npos);
}

TEST_F(Qlxadm, BrowseGetAndQueuesShowWhatWasSent) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "--format", "ORDERS", "first"}).status, 0);
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "second"}).status, 0);
  Outcome queues = qlxadm({"queues"});
  EXPECT_NE(queues.out.find("element:E"), std::string::npos) << queues.out;
  Outcome browse = qlxadm({"browse", "E"});
  EXPECT_EQ(browse.status, 0) << browse.err;
  EXPECT_NE(browse.out.find("2 message(s)"), std::string::npos) << browse.out;
  EXPECT_NE(browse.out.find("format 'ORDERS'"), std::string::npos) << browse.out;
  Outcome get = qlxadm({"get", "element:E"});
  EXPECT_EQ(get.out, "first\n");
  EXPECT_EQ(qlxadm({"get", "E"}).out, "second\n");
  Outcome empty = qlxadm({"get", "E"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no ready message"), std::string::npos);
}

TEST_F(Qlxadm, FaultMakesTheNextCallFailAndIsListed) {
  Outcome add = qlxadm({"fault", "putrequest", "60", "3", "--for", "C1"});
  EXPECT_EQ(add.status, 0) << add.err;
  Outcome list = qlxadm({"fault", "list"});
  EXPECT_NE(list.out.find("putrequest reason 60 sub-reason 3 for C1, 1 more"),
            std::string::npos) << list.out;
  Outcome sent = qlxadm({"send", "ECHO", "--as", "C1", "x"});
  EXPECT_EQ(sent.status, 1);
  EXPECT_NE(sent.err.find("injected"), std::string::npos) << sent.err;
  EXPECT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "x"}).status, 0);
  EXPECT_EQ(qlxadm({"fault", "clear"}).status, 0);
}

TEST_F(Qlxadm, MisuseGetsUsageAndNonZeroStatus) {
  const Case cases[] = {
      {{}, 2, "Usage: qlxadm"},
      {{"nosuch"}, 2, "unknown command nosuch"},
      {{"--home"}, 2, "--home takes DIR"},
      {{"--home", "", "queues"}, 2, "--home takes DIR"},
      {{"fault", "bogus", "1"}, 2, "unknown call bogus"},
      {{"fault", "commit"}, 2, "fault takes CALL REASON"},
      {{"send", "ECHO"}, 2, "send takes SERVICE --as CLIENT"},
      {{"send", "NOSUCH", "--as", "C1", "x"}, 1, "not in the directory"},
      {{"send", "ECHO", "--as", "NOBODY", "x"}, 1, "cannot connect as client NOBODY"},
      {{"echo", "NOBODY"}, 1, "cannot connect as business element NOBODY"},
      {{"browse", "nobody"}, 1, "no queue named nobody"},
      {{"log", "-n", "x"}, 2, "log takes -n N"},
  };
  for (const Case& c : cases) {
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  Outcome help = qlxadm({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("echo ELEMENT"), std::string::npos);
}

// The broker in use as the errors name it: a mistyped or forgotten QLX_HOME shows as an
// empty broker, and the name tells the operator where qlxadm looked.
std::string brokerNamed(const std::string& home) {
  if (zvr::testing::onPostgres()) return "(broker database postgres";
  return "(broker home " + std::filesystem::canonical(home).string() + ")";
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// What is not found may well be in another broker: each such error names the broker it
// looked in, once, also where the broker's own words named it already.
TEST_F(Qlxadm, NotFoundErrorsNameTheBrokerInUse) {
  const Case cases[] = {
      {{"browse", "nobody"}, 1, "no queue named nobody: no element or client nobody"},
      {{"get", "element:NOBODY"}, 1, "no element NOBODY in the directory"},
      {{"browse", "element:NOBODY"}, 1, "no element NOBODY in the directory"},
      {{"errors", "NOBODY"}, 1, "no element NOBODY in the directory"},
      {{"purge", "NOBODY", "--all"}, 1, "purge: the error queue of NOBODY is empty"},
      {{"resubmit", "NOBODY", "--all"}, 1, "resubmit: no element named NOBODY in the directory"},
      {{"send", "NOSUCH", "--as", "C1", "x"}, 1, "service ``NOSUCH'' is not in the directory"},
      {{"send", "ECHO", "--as", "NOBODY", "x"}, 1,
       "client ``NOBODY'' is not in the directory: load a directory that defines it, or "
       "correct the name"},
      {{"echo", "NOBODY"}, 1, "business element ``NOBODY'' is not in the directory"},
  };
  const std::string broker = brokerNamed(home());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(occurrences(run.err, broker), 1u) << run.err;
  }
}

// The usage names the broker that a command would use, whether asked for or shown after
// a mistake; --home takes effect in it.
TEST_F(Qlxadm, UsageNamesTheBrokerInUse) {
  const std::string other = file("other");
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  const struct {
    std::vector<std::string> args;
    int status;
    bool onOutput;
    std::string home;
  } rows[] = {
      {{"--help"}, 0, true, home()},
      {{}, 2, false, home()},
      {{"--bogus"}, 2, false, home()},
      {{"--home", other, "--help"}, 0, true, other},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
    Outcome run = qlxadm(row.args);
    EXPECT_EQ(run.status, row.status);
    const std::string& text = row.onOutput ? run.out : run.err;
    const std::string named = zvr::testing::onPostgres()
                                  ? "In use now: broker database postgres"
                                  : "In use now: broker home " +
                                        std::filesystem::canonical(row.home).string() + "\n";
    EXPECT_NE(text.find(named), std::string::npos) << text;
  }
}

// Bad input as a new user gives it: each refused with a clear message and a non-zero
// status, and the broker's state (directory, queues, faults) as it was.
TEST_F(Qlxadm, BadInputIsRefusedAndChangesNothing) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "waiting"}).status, 0);
  const std::string fifo = home() + "/fifo", big = home() + "/big.toml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(truncate(writeFile("big.toml", "").c_str(), 17 << 20), 0);
  std::string deep = "[element";
  for (int i = 0; i < 50000; ++i) deep += ".e";
  const std::string n132(132, 'N'), n133(133, 'N');
  const Case cases[] = {
      {{"load", home()}, 1, "is a folder"},
      {{"load", fifo}, 1, "is not a regular file"},
      {{"load", "/dev/zero"}, 1, "is not a regular file"},
      {{"load", big}, 1, "a directory file holds at most 16777216 bytes"},
      {{"load", writeFile("deep.toml", deep + "]\n")}, 1, "nested deeper than 32 levels"},
      {{"load", writeFile("empty.toml", "")}, 1, "(load --allow-empty FILE does that)"},
      {{"send", "ECHO", "--as", n133, "x"}, 2, "client name 'NNNN"},
      {{"send", "ECHO", "--as", n132, "x"}, 1, "cannot connect as client NNNN"},
      {{"send", n133, "--as", "C1", "x"}, 2, "service name 'NNNN"},
      {{"send", "ECHO", "--as", "C1", "--format", n133, "x"}, 2, "format name 'NNNN"},
      {{"send", "ECHO", "--as", "C1", "--format", "", "x"}, 2, "format name is empty"},
      {{"echo", n133}, 2, "element name 'NNNN"},
      {{"send", "ECHO", "--as", "C1", "--wait", "2147483648", "x"}, 2, "--wait needs"},
      {{"send", "ECHO", "--as", "C1", "--wait", "99999999999999999999", "x"}, 2, "--wait"},
      {{"send", "ECHO", "--as", "C1", "--wait", " 5", "x"}, 2, "--wait"},
      {{"fault", "commit", "4294967297"}, 2, "REASON must be"},
      {{"fault", "commit", "5", "-1"}, 2, "SUBREASON from 0"},
      {{"fault", "commit", "0"}, 2, "REASON must be from 1"},
      {{"fault", "commit", "5", "--for", n133}, 2, "connection name"},
      {{"set", "ZVRBroker", "K", "\xFF"}, 1, "the value is not valid UTF-8"},
  };
  const std::string directory = qlxadm({"show"}).out, queues = qlxadm({"queues"}).out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  // A body on standard input that never ends.
  ChildProcess endless = start({"send", "ECHO", "--as", "C1", "-"}, "endless", "/dev/zero");
  EXPECT_EQ(endless.wait(), 2);
  EXPECT_NE(endless.standardError().find("over 64 MiB"), std::string::npos)
      << endless.standardError();
  EXPECT_EQ(qlxadm({"show"}).out, directory);
  EXPECT_EQ(qlxadm({"queues"}).out, queues);
  EXPECT_EQ(qlxadm({"fault", "list"}).out, "no faults pending\n");
}

// A refused command does not even create the broker home it names.
TEST_F(Qlxadm, RefusedCommandsCreateNoHome) {
  const std::string fresh = home() + "/fresh";
  const std::vector<std::string> refused[] = {
      {"load", writeFile("empty.toml", "\n")},
      {"set", "D", "K", "\xC3"},
      {"fault", "commit", "0"},
      {"purge", "E", "x"},
  };
  for (const std::vector<std::string>& args : refused) {
    std::vector<std::string> words{"--home", fresh};
    words.insert(words.end(), args.begin(), args.end());
    EXPECT_NE(qlxadm(words).status, 0) << args[0];
    EXPECT_NE(access(fresh.c_str(), F_OK), 0) << args[0];
  }
  Outcome run = qlxadm({"--home", fresh, "load", "--allow-empty", home() + "/empty.toml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("loaded"), std::string::npos);
}

// A command that only looks at the broker or removes from it, run on a home that holds no
// broker (QLX_HOME forgotten or mistyped), says so and names that home, instead of making
// an empty broker there.
TEST_F(Qlxadm, LookingAtAHomeWithoutABrokerSaysSoAndMakesNone) {
  if (zvr::testing::onPostgres()) GTEST_SKIP() << "a database broker is there or not at all";
  const std::string fresh = home() + "/fresh";
  const std::vector<std::string> looks[] = {
      {"queues"}, {"browse", "E"}, {"get", "E"}, {"errors"}, {"errors", "E"},
      {"show"}, {"show", "element", "E"}, {"delete", "element", "E"}, {"unset", "D", "K"},
  };
  for (const std::vector<std::string>& args : looks) {
    SCOPED_TRACE(args[0]);
    std::vector<std::string> words{"--home", fresh};
    words.insert(words.end(), args.begin(), args.end());
    Outcome run = qlxadm(words);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no broker at " + fresh + " (set QLX_HOME"), std::string::npos)
        << run.err;
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);
  }
}

TEST_F(Qlxadm, ResetEmptiesQueuesAndKeepsTheDirectory) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "x"}).status, 0);
  EXPECT_EQ(qlxadm({"reset"}).status, 0);
  EXPECT_EQ(qlxadm({"get", "E"}).status, 1);
  EXPECT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "y"}).status, 0);
  Outcome log = qlxadm({"log", "-n", "5"});
  EXPECT_EQ(log.status, 0);
}

// A name typed wrong says so, rather than showing an empty queue or error queue.
TEST_F(Qlxadm, UnknownNamesAreSaidSo) {
  const Case cases[] = {
      {{"browse", "element:NOPE"}, 1, "qlxadm: no element NOPE in the directory"},
      {{"browse", "error:NOPE"}, 1, "qlxadm: no element NOPE in the directory"},
      {{"browse", "client:NOPE"}, 1, "qlxadm: no client NOPE in the directory"},
      {{"errors", "NOPE"}, 1, "qlxadm: no element NOPE in the directory"},
      {{"browse", "element:E"}, 0, ""},
      {{"browse", "error:E"}, 0, ""},
      {{"browse", "client:C1"}, 0, ""},
      {{"errors", "E"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  // A queue whose entry was deleted from the directory still shows what it holds.
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "left behind"}).status, 0);
  ASSERT_EQ(qlxadm({"delete", "element", "E"}).status, 0);
  Outcome left = qlxadm({"browse", "element:E"});
  EXPECT_EQ(left.status, 0) << left.err;
  EXPECT_NE(left.out.find("1 message(s)"), std::string::npos) << left.out;
}

// A backup is a broker database of its own: a home made from it holds the directory and
// the queued messages. It never replaces an existing file.
TEST_F(Qlxadm, BackupCopiesALiveHome) {
  if (zvr::testing::onPostgres()) {
    // There the database's own tools back up; the command must say so, not pretend.
    Outcome refused = qlxadm({"backup", file("copy.db")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("back it up with pg_dump"), std::string::npos) << refused.err;
    EXPECT_NE(access(file("copy.db").c_str(), F_OK), 0) << "a refused backup left a file";
    GTEST_SKIP() << "a backup file is the embedded store's; PostgreSQL is backed up with "
                    "pg_dump";
  }
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "first"}).status, 0);
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "second"}).status, 0);
  const std::string copy = file("copy.db");
  Outcome made = qlxadm({"backup", copy});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "backed up " + home() + "/broker.db to " + copy + "\n");
  EXPECT_NE(access((copy + "-wal").c_str(), F_OK), 0) << "a backup is one file";
  struct stat info {};
  ASSERT_EQ(stat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const std::string restored = file("restored");
  ASSERT_EQ(mkdir(restored.c_str(), 0700), 0);
  std::filesystem::copy_file(copy, restored + "/broker.db");
  EXPECT_EQ(qlxadm({"--home", restored, "get", "E"}).out, "first\n");
  EXPECT_EQ(qlxadm({"--home", restored, "get", "E"}).out, "second\n");
  EXPECT_NE(qlxadm({"--home", restored, "show"}).out.find("[service.ECHO]"), std::string::npos);
  EXPECT_EQ(qlxadm({"get", "E"}).out, "first\n") << "the live home keeps its messages";

  const std::string exists = "backup: " + copy + " exists; give a new file name";
  const Case refused[] = {
      {{"backup", copy}, 1, exists.c_str()},
      {{"backup", file("no-such-dir/copy.db")}, 1, "backup: cannot write "},
      {{"backup"}, 2, "backup takes one FILE"},
  };
  for (const Case& c : refused) {
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}

}  // namespace
