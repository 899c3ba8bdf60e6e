// A failing disk under the broker, through the simulator's VFS: a write that fails with
// ENOSPC or EIO, a short write, a sync that fails. The call in hand fails with the storage
// reason and SQLite's code as sub-reason; what was committed before stays; a unit whose
// write failed can be committed once the disk works again, exactly once; a unit whose
// sync failed is never reported committed and never applied twice; a full disk that
// empties again needs no operator.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "broker_test_util.h"
#include "crashvfs.h"
#include "errors.h"

namespace qlx::crashsim {
namespace {

class StorageTest : public test::BrokerTest {
 protected:
  static void SetUpTestSuite() { install(); }

  void start(bool full) {
    if (full) setenv("QLX_SYNC", "FULL", 1);
    startRecording(home_);  // names the home whose files fail; the trace is not needed
    stopRecording();
    client_ = client("C1");
    element_ = element("E");
    send(client_, "ONEHOP", "before");
  }
  void TearDown() override {
    armFailure(Failure::kNone);
    setDiskFull(false);
    unsetenv("QLX_SYNC");
    test::BrokerTest::TearDown();
  }

  // Stages a put of `body` (the caller commits it).
  void stage(const std::string& body) {
    QLXSERVICE svc = kQlxServiceDefault;
    test::setName(svc.Name, "ONEHOP");
    QLXMSG msg = kQlxMsgDefault;
    msg.MsgLength = static_cast<uint32_t>(body.size());
    msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = test::syncOf(1);
    QLXHANDLE theme = 0;
    ASSERT_EQ(qlxPutRequest(client_, &svc, &msg, &put, &sync, &theme), 1);
  }

  // How many messages with `body` the element's queue holds.
  int64_t count(const std::string& body) {
    Query q(store_.sql(), "SELECT count(*) FROM message WHERE queue = 'element:E' AND body = ?1");
    q.bindBlob(1, body.data(), body.size());
    return q.step() == SQLITE_ROW ? q.integer(0) : -1;
  }

  QLXHANDLE client_ = 0;
  QLXHANDLE element_ = 0;
};

struct WriteCase {
  const char* name;
  Failure failure;
  bool full;
  int32_t subReason;
};

class FailedWrite : public StorageTest, public ::testing::WithParamInterface<WriteCase> {};

// A failed write fails the commit before anything of it is visible: the unit stays open
// and commits whole, once, when the disk works again.
TEST_P(FailedWrite, FailsTheCommitAndTheUnitCommitsLater) {
  const WriteCase& c = GetParam();
  start(c.full);
  stage("during");
  armFailure(c.failure);
  EXPECT_EQ(commit(client_), 0);
  EXPECT_TRUE(failureFired());
  EXPECT_EQ(test::lastReason(), kReasonStorage);
  EXPECT_EQ(test::lastSubReason(), c.subReason);
  EXPECT_EQ(count("during"), 0);
  EXPECT_EQ(count("before"), 1);
  EXPECT_EQ(commit(client_), 1);
  EXPECT_EQ(count("during"), 1);
  EXPECT_EQ(commit(client_), 1);
  EXPECT_EQ(count("during"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Disk, FailedWrite,
    ::testing::Values(WriteCase{"NoSpace", Failure::kWriteNoSpace, false, SQLITE_FULL},
                      WriteCase{"IoError", Failure::kWriteIo, false, SQLITE_IOERR_WRITE},
                      WriteCase{"ShortWrite", Failure::kShortWrite, false, SQLITE_FULL},
                      WriteCase{"NoSpaceFull", Failure::kWriteNoSpace, true, SQLITE_FULL},
                      WriteCase{"IoErrorFull", Failure::kWriteIo, true, SQLITE_IOERR_WRITE},
                      WriteCase{"ShortWriteFull", Failure::kShortWrite, true, SQLITE_FULL}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

// In FULL a failed sync fails the commit, which nonetheless reached the database: the
// unit has ended (a retry applies nothing twice) and the connection goes on working.
TEST_F(StorageTest, AFailedSyncIsNeverReportedCommittedNorAppliedTwice) {
  start(true);
  stage("during");
  armFailure(Failure::kSync);
  EXPECT_EQ(commit(client_), 0);
  EXPECT_TRUE(failureFired());
  EXPECT_EQ(test::lastReason(), kReasonStorage);
  EXPECT_EQ(test::lastSubReason(), SQLITE_IOERR_FSYNC);
  EXPECT_EQ(commit(client_), 1);
  EXPECT_LE(count("during"), 1);
  EXPECT_EQ(count("before"), 1);
  // A unit that took a message: the message is gone once, and nothing is put twice.
  test::Got got;
  ASSERT_EQ(getRequest(element_, got), 1);
  armFailure(Failure::kSync);
  EXPECT_EQ(commit(element_), 0);
  EXPECT_EQ(test::lastSubReason(), SQLITE_IOERR_FSYNC);
  EXPECT_EQ(rollback(element_), 1);
  send(client_, "ONEHOP", "after");
  EXPECT_EQ(count("after"), 1);
}

// A full disk: every commit fails while it lasts, reads still work, and the same unit
// commits once space returns, with no operator action.
TEST_F(StorageTest, ADiskThatFillsUpAndEmptiesNeedsNoOperator) {
  start(false);
  stage("waiting");
  setDiskFull(true);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(commit(client_), 0);
    EXPECT_EQ(test::lastReason(), kReasonStorage);
    EXPECT_EQ(test::lastSubReason(), SQLITE_FULL);
  }
  test::Got got;
  EXPECT_EQ(getRequest(element_, got, 0), 0);  // final at once: its delete cannot be written
  EXPECT_EQ(test::lastReason(), kReasonStorage);
  EXPECT_EQ(count("before"), 1);
  setDiskFull(false);
  EXPECT_EQ(commit(client_), 1);
  EXPECT_EQ(count("waiting"), 1);
  test::Got again;
  ASSERT_EQ(getRequest(element_, again), 1);
  EXPECT_EQ(commit(element_), 1);
  EXPECT_EQ(count("before") + count("waiting"), 1);
}

// A process whose last connection ends closes every store it opened (the one for calls
// without a connection too), so the last process to leave a home leaves no write-ahead
// log behind: it was checkpointed into the database and removed.
TEST(Checkpoint, TheLastConnectionToAHomeLeavesNoWriteAheadLog) {
  char pattern[] = "/tmp/qlxcheckpoint.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  const pid_t child = fork();
  if (child == 0) {
    setenv("QLX_HOME", home.c_str(), 1);
    {
      Store store;
      std::string error;
      if (!store.open(error) || !store.exec(test::kDirectory)) _exit(2);
    }
    QLXADDR addr = kQlxAddrDefault;
    test::setName(addr.Name, "C1");
    QLXHANDLE handle = 0;
    if (qlxClientInitialize(&addr, &handle) != 1) _exit(3);
    QLXSERVICE svc = kQlxServiceDefault;
    test::setName(svc.Name, "ONEHOP");
    QLXSYNC sync = test::syncOf(1);
    const std::string body(4000, 'b');
    for (int i = 0; i < 100; ++i) {
      QLXMSG msg = kQlxMsgDefault;
      msg.MsgLength = static_cast<uint32_t>(body.size());
      msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(body.data())};
      QLXHANDLE theme = 0;
      if (qlxPutRequest(handle, &svc, &msg, nullptr, &sync, &theme) != 1 ||
          qlxCommit(handle, &sync) != 1)
        _exit(4);
    }
    _exit(qlxTerminate(&handle) == 1 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat info {};
  const bool walLeft = stat((home + "/broker.db-wal").c_str(), &info) == 0 && info.st_size > 0;
  EXPECT_FALSE(walLeft) << "a write-ahead log of " << info.st_size << " bytes was left";
  std::string command = "rm -rf '" + home + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace qlx::crashsim
