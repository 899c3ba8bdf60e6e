// The broker through its C interface, in one process: workflows, units of work, waits,
// errors and fault injection.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "broker_test_util.h"
#include "errors.h"

namespace qlx::test {
namespace {

class BrokerCalls : public BrokerTest {
 protected:
  // A theme built from `theme` by `option` (INSERT or REPLACE) with service `name`; 0
  // when qlxBuildTheme refused it.
  QLXHANDLE buildTheme(QLXHANDLE e, QLXHANDLE theme, int32_t option, const char* name) {
    QLXSERVICE svc = kQlxServiceDefault;
    std::strcpy(svc.Name, name);
    QLXBUFFER field{0, sizeof svc, &svc};
    QLXHANDLE built = 0;
    return qlxBuildTheme(e, theme, option, &field, &built) == 1 ? built : 0;
  }
};

TEST_F(BrokerCalls, RequestTravelsToElementAndResponseBackToClient) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  QLXHANDLE theme = send(c1, "ECHO", "hello");
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  EXPECT_EQ(request.body(), "hello");
  EXPECT_TRUE(request.follows());
  EXPECT_EQ(request.msg.BackoutCount, 0);
  EXPECT_EQ(std::string(request.msg.FormatName), "TESTFMT");
  EXPECT_EQ(request.msg.MsgBuffer.Owned, 1u);
  ASSERT_EQ(forward(e, request), 1);
  ASSERT_EQ(commit(e), 1);
  Got response;
  ASSERT_EQ(getResponse(c1, response, theme), 1);
  EXPECT_EQ(response.body(), "hello");
  EXPECT_FALSE(response.follows());
  EXPECT_EQ(std::memcmp(response.msg.CorrelId, request.msg.CorrelId, kQlxMsgIdLength), 0);
  ASSERT_EQ(commit(c1), 1);
  EXPECT_EQ(queue("client:C1").depth, 0);
}

TEST_F(BrokerCalls, StagedPutsStayInvisibleUntilCommit) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "one", 1);
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  ASSERT_EQ(forward(e, request), 1);
  EXPECT_EQ(queue("client:C1").depth, 0);
  EXPECT_EQ(queue("element:E").inFlight, 1);
  Got early;
  EXPECT_EQ(getResponse(c1, early, 0), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  ASSERT_EQ(commit(e), 1);
  EXPECT_EQ(queue("client:C1").depth, 1);
  EXPECT_EQ(queue("element:E").inFlight, 0);
  EXPECT_EQ(queue("element:E").depth, 0);
}

TEST_F(BrokerCalls, RollbackReturnsClaimToFrontWithBackoutAndDropsPuts) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "first");
  send(c1, "ECHO", "second");
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  ASSERT_EQ(request.body(), "first");
  ASSERT_EQ(forward(e, request), 1);
  ASSERT_EQ(rollback(e), 1);
  EXPECT_EQ(queue("client:C1").depth, 0);
  for (int expected = 1; expected <= 2; ++expected) {
    Got again;
    ASSERT_EQ(getRequest(e, again), 1);
    EXPECT_EQ(again.body(), "first");
    EXPECT_EQ(again.msg.BackoutCount, expected);
    ASSERT_EQ(rollback(e), 1);
  }
  EXPECT_EQ(queue("element:E").depth, 2);
}

TEST_F(BrokerCalls, WithoutUnitOfWorkGetsAndPutsAreFinal) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "x", 0);
  EXPECT_EQ(queue("element:E").depth, 1);
  Got request;
  ASSERT_EQ(getRequest(e, request, 0), 1);
  ASSERT_EQ(rollback(e), 1);
  EXPECT_EQ(queue("element:E").depth, 0);
}

TEST_F(BrokerCalls, BrowseLeavesTheMessageServingGetTakesIt) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "peek");
  Got browsed;
  ASSERT_EQ(getRequest(e, browsed, 1, 0, kQlxGetBrowse), 1);
  EXPECT_EQ(browsed.body(), "peek");
  EXPECT_EQ(queue("element:E").depth, 1);
  Got taken;
  ASSERT_EQ(getRequest(e, taken, 0, 0, 0x2140), 1);
  EXPECT_EQ(queue("element:E").depth, 0);
}

TEST_F(BrokerCalls, ResponsesAreMatchedByThemeAndCorrelId) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  QLXHANDLE first = send(c1, "ECHO", "a");
  QLXHANDLE second = send(c1, "ECHO", "b");
  for (int i = 0; i < 2; ++i) {
    Got request;
    ASSERT_EQ(getRequest(e, request), 1);
    ASSERT_EQ(forward(e, request), 1);
    ASSERT_EQ(commit(e), 1);
  }
  Got b;
  ASSERT_EQ(getResponse(c1, b, second), 1);
  EXPECT_EQ(b.body(), "b");
  Got byCorrel;
  QLXGETOPT get = kQlxGetOptDefault;
  get.Options = kQlxGetMatchCorrelId;
  std::memcpy(get.CorrelId, b.msg.CorrelId, kQlxMsgIdLength);
  QLXSYNC sync = syncOf(1);
  EXPECT_EQ(qlxGetResponse(c1, &byCorrel.msg, &get, &sync, &byCorrel.theme), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  Got a;
  ASSERT_EQ(getResponse(c1, a, first), 1);
  EXPECT_EQ(a.body(), "a");
}

TEST_F(BrokerCalls, PutAtEndOfWorkflowFails) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ONEHOP", "last");
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  EXPECT_FALSE(request.follows());
  EXPECT_EQ(forward(e, request), 0);
  EXPECT_EQ(lastReason(), kReasonEndOfWorkflow);
}

TEST_F(BrokerCalls, NativeHopGoesToNativeQueue) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "NATIVE", "n");
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  ASSERT_EQ(forward(e, request), 1);
  ASSERT_EQ(commit(e), 1);
  EXPECT_EQ(queue("native:N").depth, 1);
}

TEST_F(BrokerCalls, NotifyDeliversToOriginatingClient) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  QLXHANDLE theme = send(c1, "CHAIN", "tell me");
  Got request;
  ASSERT_EQ(getRequest(e, request), 1);
  ASSERT_EQ(forward(e, request, 0, (kQlxPutNotify | kQlxPutNoReply)), 1);
  ASSERT_EQ(commit(e), 1);
  EXPECT_EQ(queue("element:F").depth, 0);
  Got note;
  ASSERT_EQ(getResponse(c1, note, theme), 1);
  EXPECT_EQ(note.body(), "tell me");
  EXPECT_FALSE(note.follows());
}

TEST_F(BrokerCalls, InsertRunsTheServiceThenTheRestOfTheWorkflow) {
  QLXHANDLE c1 = client("C1"), e = element("E"), f = element("F"), g = element("G");
  QLXHANDLE theme = send(c1, "CHAIN", "route");
  Got atE;
  ASSERT_EQ(getRequest(e, atE), 1);
  QLXHANDLE built = buildTheme(e, atE.theme, kQlxBuildInsert, "SVC2");
  ASSERT_NE(built, 0u) << lastReason();
  ASSERT_EQ(forward(e, atE, built), 1);
  ASSERT_EQ(qlxCloseHandle(e, &built), 1);
  EXPECT_EQ(built, 0u);
  ASSERT_EQ(commit(e), 1);
  for (QLXHANDLE hop : {g, f}) {
    Got at;
    ASSERT_EQ(getRequest(hop, at), 1);
    EXPECT_TRUE(at.follows());
    ASSERT_EQ(forward(hop, at), 1);
    ASSERT_EQ(commit(hop), 1);
  }
  Got back;
  ASSERT_EQ(getResponse(c1, back, theme), 1);
  EXPECT_EQ(back.body(), "route");
}

TEST_F(BrokerCalls, ReplaceEndsTheWorkflowAfterTheService) {
  QLXHANDLE c1 = client("C1"), e = element("E"), g = element("G");
  send(c1, "CHAIN", "replace");
  Got atE;
  ASSERT_EQ(getRequest(e, atE), 1);
  QLXHANDLE built = buildTheme(e, atE.theme, kQlxBuildReplace, "SVC2");
  ASSERT_NE(built, 0u) << lastReason();
  ASSERT_EQ(forward(e, atE, built), 1);
  ASSERT_EQ(commit(e), 1);
  Got atG;
  ASSERT_EQ(getRequest(g, atG), 1);
  EXPECT_FALSE(atG.follows());
  EXPECT_EQ(forward(g, atG), 0);
  EXPECT_EQ(lastReason(), kReasonEndOfWorkflow);
}

TEST_F(BrokerCalls, BuildThemeRejectsBadInput) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "CHAIN", "x");
  Got atE;
  ASSERT_EQ(getRequest(e, atE), 1);
  QLXSERVICE svc = kQlxServiceDefault;
  std::strcpy(svc.Name, "NOSUCH");
  QLXBUFFER field{0, sizeof svc, &svc};
  QLXHANDLE built = 0;
  struct Case {
    QLXHANDLE theme;
    int32_t option;
    uint32_t length;
    int32_t reason;
  } cases[] = {
      {atE.theme, kQlxBuildInsert, sizeof svc, kReasonUnknownService},
      {atE.theme, 12, sizeof svc, kReasonUnsupported},
      {atE.theme, kQlxBuildInsert, sizeof svc - 1, kReasonInvalidArgument},
      {999, kQlxBuildReplace, sizeof svc, kReasonInvalidTheme},
  };
  for (const Case& c : cases) {
    field.Length = c.length;
    EXPECT_EQ(qlxBuildTheme(e, c.theme, c.option, &field, &built), 0);
    EXPECT_EQ(lastReason(), c.reason) << c.option << " " << c.length;
  }
}

TEST_F(BrokerCalls, UnknownNamesAndHandlesAreRefused) {
  QLXADDR addr = kQlxAddrDefault;
  std::strcpy(addr.Name, "NOBODY");
  QLXHANDLE handle = 0;
  void* directory = nullptr;
  EXPECT_EQ(qlxSPIInitialize(&addr, 1, &handle, &directory, nullptr), 0);
  EXPECT_EQ(lastReason(), kReasonUnknownName);
  EXPECT_EQ(qlxClientInitialize(&addr, &handle), 0);
  EXPECT_EQ(lastReason(), kReasonUnknownName);
  std::strcpy(addr.Name, "C1");  // a client is not a business element
  EXPECT_EQ(qlxSPIInitialize(&addr, 1, &handle, &directory, nullptr), 0);
  addr.Signature[0] = 'X';
  EXPECT_EQ(qlxClientInitialize(&addr, &handle), 0);
  EXPECT_EQ(lastReason(), kReasonInvalidArgument);
  Got got;
  EXPECT_EQ(getRequest(12345, got), 0);
  EXPECT_EQ(lastReason(), kReasonInvalidHandle);
}

TEST_F(BrokerCalls, TerminateRollsBackTheOpenUnit) {
  QLXHANDLE c1 = client("C1");
  QLXHANDLE e = element("E");
  send(c1, "ECHO", "kept");
  {
    Got request;
    ASSERT_EQ(getRequest(e, request), 1);
    ASSERT_EQ(forward(e, request), 1);
  }
  ASSERT_EQ(qlxTerminate(&e), 1);
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(queue("client:C1").depth, 0);
  QLXHANDLE again = element("E");
  Got back;
  ASSERT_EQ(getRequest(again, back), 1);
  EXPECT_EQ(back.body(), "kept");
  EXPECT_EQ(back.msg.BackoutCount, 1);
}

TEST_F(BrokerCalls, DescriptorLengthsBeyondTheBufferAreRefused) {
  QLXHANDLE c1 = client("C1");
  QLXSERVICE svc = kQlxServiceDefault;
  std::strcpy(svc.Name, "ECHO");
  char data[4] = {'a', 'b', 'c', 'd'};
  QLXMSG msg = kQlxMsgDefault;
  msg.MsgLength = 8;
  msg.MsgBuffer = QLXBUFFER{0, 4, data};
  QLXSYNC sync = syncOf(0);
  QLXHANDLE theme = 0;
  EXPECT_EQ(qlxPutRequest(c1, &svc, &msg, nullptr, &sync, &theme), 0);
  EXPECT_EQ(lastReason(), kReasonBuffer);
  msg.MsgBuffer.Data = nullptr;
  msg.MsgLength = 1;
  EXPECT_EQ(qlxPutRequest(c1, &svc, &msg, nullptr, &sync, &theme), 0);
  sync.SyncType = -2;
  msg.MsgLength = 0;
  EXPECT_EQ(qlxPutRequest(c1, &svc, &msg, nullptr, &sync, &theme), 0);
  EXPECT_EQ(lastReason(), kReasonSyncpoint);
  EXPECT_EQ(queue("element:E").depth, 0);
}

// ---- waits ----

using BrokerWaits = BrokerTest;

void onSignal(int) {}

TEST_F(BrokerWaits, NoWaitFailsAtOnceTimedWaitRunsOut) {
  QLXHANDLE e = element("E");
  Got none;
  EXPECT_EQ(getRequest(e, none, 1, 0, 0x2140), 0);
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(getRequest(e, none, 1, 300), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(lastReason(), kReasonNoMessage);
  EXPECT_GE(waited, std::chrono::milliseconds(290));
}

TEST_F(BrokerWaits, TimedAndUnlimitedWaitsEndWhenAMessageArrives) {
  QLXHANDLE e = element("E");
  for (int32_t wait : {int32_t{10000}, int32_t{kQlxWaitUnlimited}}) {
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      QLXADDR addr = kQlxAddrDefault;
      std::strcpy(addr.Name, "C2");
      QLXHANDLE c = 0;
      ASSERT_EQ(qlxClientInitialize(&addr, &c), 1);
      send(c, "ECHO", "late");
      qlxTerminate(&c);
    });
    Got got;
    EXPECT_EQ(getRequest(e, got, 1, wait), 1) << lastReason();
    sender.join();
    EXPECT_EQ(got.body(), "late");
    ASSERT_EQ(commit(e), 1);
  }
}

TEST_F(BrokerWaits, SignalEndsAnUnlimitedWait) {
  QLXHANDLE e = element("E");
  struct sigaction action {}, saved{};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // even a restarting handler ends the wait
  sigaction(SIGUSR1, &action, &saved);
  // A signal that lands before the get starts waiting is lost (the broker installs no
  // handler), so keep signalling until the get has returned; on a slow machine the first
  // one may come too early.
  pthread_t self = pthread_self();
  std::atomic<bool> returned{false};
  std::thread killer([self, &returned] {
    while (!returned.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (!returned.load()) pthread_kill(self, SIGUSR1);
    }
  });
  Got got;
  EXPECT_EQ(getRequest(e, got, 1, kQlxWaitUnlimited), 0);
  returned = true;
  killer.join();
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_EQ(lastReason(), kReasonInterrupted);
  EXPECT_EQ(lastSubReason(), EINTR);
}

// ---- errors and faults ----

using BrokerErrors = BrokerTest;

TEST_F(BrokerErrors, FormatErrorRespectsTheRoomAndTheLimit) {
  QLXHANDLE e = element("E");
  Got none;
  ASSERT_EQ(getRequest(e, none), 0);
  QLXERROR error{};
  ASSERT_EQ(qlxGetLastError(&error), 1);
  ASSERT_EQ(error.Flags & kQlxErrorReason, kQlxErrorReason);
  char text[500];
  std::memset(text, '#', sizeof text);
  uint32_t length = 10;
  ASSERT_EQ(qlxFormatError(&error.Reason, 1, text, &length), 1);
  EXPECT_EQ(length, 9u);
  EXPECT_EQ(text[9], '\0');
  EXPECT_EQ(text[10], '#');
  std::memset(error.Reason.Text, 'x', sizeof error.Reason.Text);  // no terminator
  error.Reason.Code = 123456789;
  length = sizeof text;
  ASSERT_EQ(qlxFormatError(&error.Reason, 1, text, &length), 1);
  EXPECT_LT(length, 400u);
  EXPECT_EQ(std::strlen(text), length);
  length = 0;
  EXPECT_EQ(qlxFormatError(&error.Reason, 1, text, &length), 0);
}

TEST_F(BrokerErrors, InjectedFaultsFailTheNextCallsOfTheirKind) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "f");
  fault("getrequest", kQlxReasonSuppressed, 7, 2, std::string("E"));
  fault("getrequest", 99, std::nullopt, 1, std::string("OTHER"));
  for (int i = 0; i < 2; ++i) {
    Got got;
    EXPECT_EQ(getRequest(e, got), 0);
    EXPECT_EQ(lastReason(), kQlxReasonSuppressed);
    EXPECT_EQ(lastSubReason(), 7);
  }
  EXPECT_EQ(queue("element:E").depth, 1);  // a fault takes nothing off the queue
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  struct Case {
    const char* call;
    std::function<int()> make;
  } cases[] = {
      {"putresponse", [&] { return forward(e, got); }},
      {"commit", [&] { return commit(e); }},
      {"rollback", [&] { return rollback(e); }},
      {"querytheme", [&] {
         QLXBUFFER list{};
         return qlxQueryTheme(e, got.theme, 1, &list);
       }},
      {"closehandle", [&] { return qlxCloseHandle(e, &got.theme); }},
      {"freebuffer", [&] {
         QLXBUFFER none{};
         return qlxFreeBuffer(e, &none);
       }},
      {"writelog", [&] {
         QLXLOG log = kQlxLogDefault;
         log.Text = "x";
         return qlxWriteLog(&log) == 0 ? 1 : 0;
       }},
      {"putrequest", [&] {
         QLXSERVICE svc = kQlxServiceDefault;
         std::strcpy(svc.Name, "ECHO");
         QLXMSG msg = kQlxMsgDefault;
         QLXHANDLE theme = 0;
         return qlxPutRequest(c1, &svc, &msg, nullptr, nullptr, &theme);
       }},
  };
  for (const Case& c : cases) {
    fault(c.call, 41, 3);
    EXPECT_EQ(c.make(), 0) << c.call;
    EXPECT_EQ(lastReason(), 41) << c.call;
    EXPECT_EQ(lastSubReason(), 3) << c.call;
  }
}

TEST_F(BrokerErrors, InitializeFaultsNameTheConnection) {
  fault("spiinitialize", 62, std::nullopt, 1, std::string("E"));
  QLXADDR addr = kQlxAddrDefault;
  std::strcpy(addr.Name, "F");
  QLXHANDLE f = 0;
  void* dir = nullptr;
  ASSERT_EQ(qlxSPIInitialize(&addr, 1, &f, &dir, nullptr), 1);
  open_.push_back(f);
  std::strcpy(addr.Name, "E");
  QLXHANDLE e = 0;
  EXPECT_EQ(qlxSPIInitialize(&addr, 1, &e, &dir, nullptr), 0);
  EXPECT_EQ(lastReason(), 62);
  element("E");
}

TEST_F(BrokerErrors, FreeBufferReleasesOnlyBrokerBuffersOnce) {
  QLXHANDLE c1 = client("C1"), e = element("E");
  send(c1, "ECHO", "buf");
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  QLXBUFFER copy = got.msg.MsgBuffer;
  ASSERT_EQ(qlxFreeBuffer(e, &got.msg.MsgBuffer), 1);
  EXPECT_EQ(got.msg.MsgBuffer.Data, nullptr);
  EXPECT_EQ(got.msg.MsgBuffer.Owned, 0u);
  EXPECT_EQ(qlxFreeBuffer(e, &got.msg.MsgBuffer), 1);  // cleared: nothing to do
  EXPECT_EQ(qlxFreeBuffer(0, &copy), 0);               // a stale copy is not freed twice
  EXPECT_EQ(lastReason(), kReasonBuffer);
  char own[4];
  QLXBUFFER mine{0, 4, own};
  EXPECT_EQ(qlxFreeBuffer(0, &mine), 1);
  EXPECT_EQ(mine.Data, own);
}

TEST_F(BrokerErrors, StoreErrorFillsReasonAndSubReason) {
  QLXERROR error;
  std::memset(&error, 0xFF, sizeof error);
  QLXERRDETAIL* sub = nullptr;
  const char* name = "REC";
  const char* reason = "no such entry";
  ASSERT_EQ(qlxStoreError(&error, &sub, 2001, 14, 14, reinterpret_cast<unsigned long>(name),
                          reinterpret_cast<unsigned long>(reason), 0, kQlxCallDirectory, 0, 0,
                          0),
            1);
  EXPECT_EQ(error.Flags, kQlxErrorReason | kQlxErrorSubReason);
  EXPECT_EQ(error.Reason.Code, 2001);
  EXPECT_EQ(error.SubReason.Code, 14);
  EXPECT_EQ(sub, &error.SubReason);
  EXPECT_STREQ(error.Reason.Text, "no such entry");
  EXPECT_NE(std::strstr(error.SubReason.Text, "REC"), nullptr);
}

TEST_F(BrokerErrors, WriteLogAppendsOneEntryPerCall) {
  element("E");
  QLXLOG log = kQlxLogDefault;
  log.Reserved = 0;
  log.Severity = 2;
  log.Text = "\nZVRX0001\nERROR: two\nlines";
  ASSERT_EQ(qlxWriteLog(&log), 0);
  log.Text = nullptr;
  EXPECT_NE(qlxWriteLog(&log), 0);
  FILE* in = std::fopen((home_ + "/log").c_str(), "r");
  ASSERT_NE(in, nullptr);
  char line[512];
  // After the line of the element's connection.
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  // (On PostgreSQL the database comes before the home.)
  EXPECT_NE(std::strstr(line, " E INFO connected: broker "), nullptr) << line;
  EXPECT_NE(std::strstr(line, ("broker home " + home_).c_str()), nullptr) << line;
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  EXPECT_NE(std::strstr(line, " E ERROR ZVRX0001"), nullptr) << line;
  ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
  EXPECT_STREQ(line, "    ERROR: two\n");
  std::fclose(in);
}

}  // namespace
}  // namespace qlx::test
