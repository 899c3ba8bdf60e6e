// The PostgreSQL store's counters thread against fork: a child must never inherit a lock
// that thread held (the child connects through the same libpq, OpenSSL and allocator), so
// a fork waits until the thread is parked outside libpq. Only that store has the thread;
// on the embedded store the cases report themselves skipped.
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "broker_test_util.h"

namespace qlx::test {
namespace {

int64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class PgCounters : public BrokerTest {
 protected:
  void SetUp() override {
    if (!zvr::testing::onPostgres())
      GTEST_SKIP() << "only the PostgreSQL store writes its counters from a thread";
    BrokerTest::SetUp();
  }

  // Whether some session waits for the lock on the counter table within `millis`.
  bool aWriteWaitsForTheCounters(int millis) {
    for (int waited = 0; waited < millis; waited += 20) {
      if (postgresSql("SELECT count(*) FROM pg_locks WHERE relation = 'counter'::regclass "
                   "AND NOT granted") != "0")
        return true;
      usleep(20 * 1000);
    }
    return false;
  }

};

// The thread is held inside its upsert by a table lock; the fork may only go ahead once the
// lock is given back and the statement has ended.
TEST_F(PgCounters, AForkWaitsForAWriteOfTheCountersInProgress) {
  QLXHANDLE c = client("C1");
  send(c, "ECHO", "counted");  // counts, so the thread starts and has something to write
  ASSERT_EQ(postgresSql("BEGIN"), "");
  ASSERT_EQ(postgresSql("LOCK TABLE counter IN SHARE MODE"), "");
  send(c, "ECHO", "counted again");  // the thread's first write may have been before the lock
  ASSERT_TRUE(aWriteWaitsForTheCounters(20000)) << "the counters were never written";
  std::atomic<int64_t> releasedAt{0};
  std::thread releaser([&] {
    usleep(300 * 1000);
    releasedAt = nowMicros();
    PQclear(PQexec(admin_, "COMMIT"));
  });
  const pid_t child = fork();
  if (child == 0) _exit(0);
  const int64_t forkedAt = nowMicros();
  releaser.join();
  ASSERT_GT(child, 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_GE(forkedAt, releasedAt.load()) << "fork went ahead while the thread was inside libpq";
}

}  // namespace
}  // namespace qlx::test
