// The broker's counters and the operator's view built on them: what each call counts, that
// processes sharing a home add up exactly, that the counts outlive the mapping that wrote
// them, and when the broker is judged unhealthy. On both stores; the embedded store's
// counter file only there.
#include "metrics.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "broker_test_util.h"
#include "brokerstats.h"
#include "connection.h"
#include "mapped_metrics.h"

namespace qlx::test {
namespace {

constexpr const char* kCounterFileOnly =
    "the counter file is the embedded store's (the store contract covers PostgreSQL's)";

class MetricsTest : public BrokerTest {
 protected:
  // The counts as a fresh mapping of the home's file reads them on the embedded store
  // (another path to the same home opens another mapping); as the store sums them in the
  // database on PostgreSQL.
  QueueCounters counted(const std::string& queue) {
    std::vector<QueueCounters> all;
    std::string error;
    Metrics& metrics = zvr::testing::onPostgres() ? store_->metrics() : metricsOf(home_ + "/.");
    EXPECT_TRUE(metrics.read(all, error)) << error;
    for (QueueCounters& q : all)
      if (q.queue == queue) return q;
    QueueCounters none;
    none.queue = queue;
    return none;
  }

  QueueStats stats(const std::string& queue, BrokerStats* whole = nullptr) {
    BrokerStats s;
    std::string error;
    EXPECT_TRUE(collectStats(store_, s, error)) << error;
    if (whole) *whole = s;
    for (const QueueStats& q : s.queues)
      if (q.queue == queue) return q;
    QueueStats none;
    none.queue = queue;
    return none;
  }
};

TEST_F(MetricsTest, CyclesCountPutsGetsCommitsRollbacksAndBackouts) {
  QLXHANDLE c = client("C1"), e = element("E");
  send(c, "ECHO", "one");
  send(c, "ECHO", "two", 0);
  Got got;
  ASSERT_EQ(getRequest(e, got), 1);
  ASSERT_EQ(rollback(e), 1);  // "one" goes back with backout 1
  ASSERT_EQ(getRequest(e, got), 1);
  ASSERT_EQ(forward(e, got), 1);
  ASSERT_EQ(commit(e), 1);
  Got browsed;
  ASSERT_EQ(getRequest(e, browsed, 1, 0, 0x140), 1);  // a browse counts nothing
  const QueueCounters q = counted("element:E");
  EXPECT_EQ(q.counts[kCountPut], 2u);
  EXPECT_EQ(q.counts[kCountGot], 2u);
  EXPECT_EQ(q.counts[kCountCommitted], 1u);
  EXPECT_EQ(q.counts[kCountRolledBack], 1u);
  EXPECT_EQ(q.counts[kCountBackout], 1u);
  EXPECT_EQ(q.processed(), 1u);
  EXPECT_EQ(counted("client:C1").counts[kCountPut], 1u);
  EXPECT_EQ(counted("client:C1").counts[kCountCommitted], 1u);  // the send's own unit
}

// Set in a child that ends on purpose with its connection and unit open: the leak checker
// of a sanitizer build (which calls this hook at exit) must not count what it left.
bool gDyingHolding = false;

}  // namespace

extern "C" int __lsan_is_turned_off() { return gDyingHolding ? 1 : 0; }

namespace {

TEST_F(MetricsTest, MessagesOfAServerThatDiedHoldingThemCountAsBackouts) {
  QLXHANDLE c = client("C1");
  send(c, "ECHO", "poison");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    QLXADDR addr = kQlxAddrDefault;
    setName(addr.Name, "E");
    QLXHANDLE e = 0;
    void* directory = nullptr;
    unsigned char work[852] = {};
    Got got;
    const bool held = qlxSPIInitialize(&addr, 1, &e, &directory, work) == 1 &&
                      getRequest(e, got) == 1;
    // exit, not _exit: the PostgreSQL store writes the process's counts at exit (a process
    // killed loses its last second's); the unit stays open either way.
    gDyingHolding = true;
    std::exit(held ? 0 : 1);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  ASSERT_EQ(status, 0);
  waitUntilEnded(pid);
  recoverDeadConnections(store_);
  EXPECT_EQ(counted("element:E").counts[kCountBackout], 1u);
  EXPECT_EQ(counted("element:E").counts[kCountGot], 1u);
  EXPECT_EQ(stats("element:E").maxBackout, 1);
}

TEST_F(MetricsTest, ReportsCountAsPutsOnTheErrorQueue) {
  QLXHANDLE c = client("C1"), g = element("G");
  send(c, "SVC2", "<b>bad</b>");
  Got got;
  ASSERT_EQ(getRequest(g, got), 1);
  QLXEPOPT options = kQlxEpOptDefault;
  QLXEXCEPTION exception = kQlxExceptionDefault;
  QLXSYNC none = syncOf(0);
  ASSERT_EQ(qlxReportError(g, &options, &got.msg, &exception, &none, &got.theme), 1);
  EXPECT_EQ(counted("error:G").counts[kCountPut], 1u);
  EXPECT_EQ(stats("error:G").depth, 1);
}

TEST_F(MetricsTest, ProcessesCreatingQueuesAtOnceAddUpExactly) {
  if (zvr::testing::onPostgres()) GTEST_SKIP() << kCounterFileOnly;
  constexpr int kChildren = 4, kAdds = 5000;
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Metrics& m = metricsOf(home_ + "/child");  // mapped anew in each child
      for (int n = 0; n < kAdds; ++n) m.add("native:Q" + std::to_string(n % 50), kCountPut, 1);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  std::vector<QueueCounters> all;
  std::string error;
  ASSERT_TRUE(metricsOf(home_ + "/child").read(all, error)) << error;
  ASSERT_EQ(all.size(), 50u);
  for (const QueueCounters& q : all) EXPECT_EQ(q.counts[kCountPut], uint64_t{kChildren * kAdds / 50}) << q.queue;
  struct stat info {};
  ASSERT_EQ(stat((home_ + "/child/metrics").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(MetricsTest, AForeignFileOrCountersOffKeepNothingAndSayWhy) {
  if (zvr::testing::onPostgres()) GTEST_SKIP() << kCounterFileOnly;
  const std::string other = home_ + "/other";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  std::ofstream(other + "/metrics") << "not a counter file";
  std::vector<QueueCounters> all;
  std::string error;
  metricsOf(other).add("element:E", kCountPut, 1);
  EXPECT_FALSE(metricsOf(other).read(all, error));
  EXPECT_NE(error.find("is not a counter file"), std::string::npos) << error;
  setenv("QLX_METRICS", "off", 1);
  const bool read = metricsOf(home_ + "/off").read(all, error);
  unsetenv("QLX_METRICS");
  EXPECT_FALSE(read);
  EXPECT_NE(error.find("QLX_METRICS=off"), std::string::npos) << error;
}

TEST(ProcessingBucket, BoundsBelongToTheirBucket) {
  const struct {
    uint64_t micros;
    size_t bucket;
  } cases[] = {{0, 0}, {100, 0}, {101, 1}, {250, 1}, {1000, 3}, {1001, 4},
               {10000000, 15}, {10000001, 16}, {UINT64_MAX, 16}};
  for (const auto& c : cases) EXPECT_EQ(processingBucket(c.micros), c.bucket) << c.micros;
}

TEST_F(MetricsTest, StatsShowDepthAgeAndLiveServers) {
  QLXHANDLE c = client("C1");
  send(c, "ECHO", "waiting");
  sql("UPDATE message SET put_sec = put_sec - 100");
  BrokerStats whole;
  const QueueStats q = stats("element:E", &whole);
  EXPECT_EQ(q.depth, 1);
  EXPECT_GE(whole.takenAt - q.oldestPut, 100)
      << "taken at " << whole.takenAt << ", oldest put " << q.oldestPut;
  ASSERT_FALSE(whole.elements.empty());
  EXPECT_EQ(whole.elements[0].element, "E");
  EXPECT_EQ(whole.elements[0].servers, 0);
  EXPECT_EQ(healthProblem(whole, 3600),
            "element E has 1 request(s) waiting and no live server");
  element("E");
  stats("element:E", &whole);
  EXPECT_EQ(whole.elements[0].servers, 1) << whole.elements[0].element;
  EXPECT_GT(whole.elements[0].since, 0);
  EXPECT_EQ(healthProblem(whole, 3600), "");
  EXPECT_NE(healthProblem(whole, 50).find("the oldest message on element:E is 10"),
            std::string::npos)
      << healthProblem(whole, 50) << " (taken at " << whole.takenAt << ")";
}

// A message put in the first milliseconds of a second, where time() still shows the second
// before, is never younger than the stats taken after it.
TEST_F(MetricsTest, StatsTakenAfterAPutNeverDateBeforeIt) {
  QLXHANDLE c = client("C1");
  for (int round = 0; round < 2; ++round) {
    timeval now{};
    gettimeofday(&now, nullptr);
    const time_t second = now.tv_sec;
    while (now.tv_sec == second) gettimeofday(&now, nullptr);
    send(c, "ECHO", "fresh");
    BrokerStats whole;
    const QueueStats q = stats("element:E", &whole);
    EXPECT_GE(whole.takenAt, q.oldestPut) << "round " << round;
    sql("DELETE FROM message");
  }
}

}  // namespace
}  // namespace qlx::test
