// A writer queued behind another connection's write lock must get in once the lock is let
// go (woken by the release, or by its slice when the holder announces nothing) and must
// give up, reporting busy, when the lock never comes free.
#include "busygate.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace qlx {
namespace {

constexpr int64_t kLong = 20'000'000;  // longer than any wake-up should take

class BusyGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qlx-busygate-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string path = dir_ + "/db";
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder_), SQLITE_OK);
    ASSERT_EQ(sqlite3_open(path.c_str(), &waiter_), SQLITE_OK);
    ASSERT_EQ(exec(holder_, "PRAGMA journal_mode=WAL; CREATE TABLE t(x)"), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close(holder_);
    sqlite3_close(waiter_);
    std::filesystem::remove_all(dir_);
  }
  static int exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  }

  std::string dir_;
  sqlite3* holder_ = nullptr;
  sqlite3* waiter_ = nullptr;
  std::atomic<uint32_t> releases_{0};
  std::atomic<uint32_t> sleepers_{0};
  std::atomic<uint32_t> holding_{0};
};

TEST_F(BusyGateTest, AQueuedWriterGetsInOrGivesUp) {
  struct Case {
    const char* name;
    bool shared;          // the gates share the release count
    bool announce;        // the holder raises it when it lets go
    bool letGo;           // the holder commits at all
    int64_t slice, limit;
    int expect;           // the queued BEGIN IMMEDIATE's result
  };
  const Case cases[] = {
      {"woken by the release", true, true, true, kLong, kLong, SQLITE_OK},
      {"holder announces nothing", true, false, true, 10'000, kLong, SQLITE_OK},
      {"no shared page", false, false, true, 10'000, kLong, SQLITE_OK},
      {"lock never let go", true, true, false, 10'000, 200'000, SQLITE_BUSY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BusyGate holderGate, waiterGate;
    if (c.shared) {
      holderGate.attach(&releases_, &sleepers_);
      waiterGate.attach(&releases_, &sleepers_);
    }
    waiterGate.setTimes(c.slice, c.limit);
    sqlite3_busy_handler(waiter_, BusyGate::handler, &waiterGate);
    ASSERT_EQ(exec(holder_, "BEGIN IMMEDIATE; INSERT INTO t VALUES(1)"), SQLITE_OK);
    int rc = -1;
    std::thread queued([&] {
      waiterGate.arm();
      rc = exec(waiter_, "BEGIN IMMEDIATE");
    });
    // Let the waiter reach its sleep (it gets in either way, only by another route).
    while (c.shared && sleepers_.load() == 0 && c.letGo)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (c.letGo) {
      ASSERT_EQ(exec(holder_, "COMMIT"), SQLITE_OK);
      if (c.announce) holderGate.released();
    }
    queued.join();
    EXPECT_EQ(rc & 0xFF, c.expect);
    if (rc == SQLITE_OK) {
      EXPECT_EQ(exec(waiter_, "COMMIT"), SQLITE_OK);
    }
    if (!c.letGo) {
      ASSERT_EQ(exec(holder_, "COMMIT"), SQLITE_OK);
    }
    EXPECT_EQ(sleepers_.load(), 0u);
  }
}

// A release between reading the count and the failed attempt must not be slept through:
// the wait returns at once (with a slice of 20 s it would otherwise sleep that long).
TEST_F(BusyGateTest, AReleaseBeforeTheSleepIsNotMissed) {
  BusyGate holderGate, waiterGate;
  holderGate.attach(&releases_, &sleepers_);
  waiterGate.attach(&releases_, &sleepers_);
  waiterGate.setTimes(kLong, kLong);
  waiterGate.arm();
  holderGate.released();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waiterGate.wait(0), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(sleepers_.load(), 0u);
}

// A writer about to ask for the lock sleeps while another says it holds it, and only until
// that one lets go; a holder that died without clearing its word costs one slice.
TEST_F(BusyGateTest, AWriterWaitsForTheSaidHolderBeforeItsAttempt) {
  struct Case {
    const char* name;
    bool held;      // a holder said it holds the lock
    bool letsGo;    // and releases it once the writer sleeps
    int64_t slice;
  };
  const Case cases[] = {
      {"nobody holds it", false, false, kLong},
      {"woken by the release", true, true, kLong},
      {"the holder died", true, false, 50'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BusyGate holderGate, waiterGate;
    for (BusyGate* gate : {&holderGate, &waiterGate}) {
      gate->attach(&releases_, &sleepers_);
      gate->attachHolder(&holding_);
    }
    waiterGate.setTimes(c.slice, kLong);
    if (c.held) holderGate.holding();
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { waiterGate.awaitHolder(); });
    if (c.letsGo) {
      while (sleepers_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      holderGate.released();
    }
    writer.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(10));
    if (c.held && !c.letsGo) {
      EXPECT_GE(waited, std::chrono::microseconds(c.slice));
    }
    EXPECT_EQ(holding_.load(), c.held && !c.letsGo ? 1u : 0u);
    EXPECT_EQ(sleepers_.load(), 0u);
    holding_ = 0;
  }
}

}  // namespace
}  // namespace qlx
