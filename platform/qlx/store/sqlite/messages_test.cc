// A claim reads its candidates and the locked row in one snapshot: a message whose holder
// ended its unit after that snapshot began must be read again, never taken as the snapshot
// shows it. The snapshot relies on the count of ended writes moving exactly once for each
// write transaction, before the writer lets its claims go.
#include "messages.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "store.h"
#include "testing/temp_home.h"

namespace qlx {
namespace {

constexpr const char* kQueue = "element:E";

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zvr::testing::makeTempHome("qlx-messages-test-", home_));
    unsetenv("QLX_SYNC");
  }
  void TearDown() override { zvr::testing::removeTempHome(home_); }

  static void open(Store& store) {
    std::string error;
    ASSERT_TRUE(store.open(error)) << error;
    ASSERT_TRUE(store.writesEnded().has_value()) << "no control page";
  }

  static void put(Store& store, const std::string& body) {
    MessageRow row;
    row.queue = kQueue;
    row.body = body;
    ASSERT_TRUE(sqlite::insertMessage(store, row)) << store.errorText();
  }

  std::string home_;
};

// Runs `action` once, when the connection of `db` has finished reading a claim's
// candidates and before it locks any of them.
struct AfterCandidates {
  std::function<void()> action;
  bool fired = false;

  void attach(sqlite3* db) {
    sqlite3_trace_v2(db, SQLITE_TRACE_PROFILE, &AfterCandidates::traced, this);
  }
  static int traced(unsigned, void* self, void* stmt, void*) {
    auto* me = static_cast<AfterCandidates*>(self);
    const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(stmt));
    if (!me->fired && sql && std::strncmp(sql, "SELECT id, seq FROM message", 27) == 0) {
      me->fired = true;
      me->action();
    }
    return 0;
  }
};

TEST_F(MessagesTest, AClaimSeesAHoldersUnitThatEndedAfterItsSnapshotBegan) {
  struct Case {
    const char* name;
    bool commits;  // else the holder rolls back
    const char* body;
    int64_t backout;
  };
  const Case cases[] = {
      {"the holder committed: its message is gone", true, "second", 0},
      {"the holder rolled back: the message comes counted", false, "first", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    Store holder, taker;
    open(holder);
    open(taker);
    put(holder, "first");
    put(holder, "second");
    MessageRow held;
    ASSERT_EQ(sqlite::takeMessage(holder, kQueue, Match{}, Take::kClaim, held), 1);
    ASSERT_EQ(held.body, "first");

    AfterCandidates hook;
    hook.action = [&] {
      if (c.commits) {
        UnitOfWork unit;
        unit.claims.push_back(Claim{held.id, kQueue});
        EXPECT_EQ(sqlite::commitUnit(holder, unit), 1) << holder.errorText();
      } else {
        std::vector<std::string> queues;
        EXPECT_TRUE(sqlite::returnClaims(holder, {held.id}, false, queues));
      }
      holder.claims().unlockAll();
    };
    hook.attach(taker.db());
    MessageRow taken;
    ASSERT_EQ(sqlite::takeMessage(taker, kQueue, Match{}, Take::kClaim, taken), 1)
        << taker.errorText();
    sqlite3_trace_v2(taker.db(), 0, nullptr, nullptr);
    EXPECT_TRUE(hook.fired);
    EXPECT_EQ(taken.body, c.body);
    EXPECT_EQ(taken.backout, c.backout);
    // The claim's read transaction is over: another connection can write and this one too.
    taker.claims().unlockAll();
    put(holder, "third");
    put(taker, "fourth");
  }
}

TEST_F(MessagesTest, EveryWriteTransactionMovesTheCountOfEndedWritesOnce) {
  struct Case {
    const char* name;
    bool writes;
    bool commits;
  };
  const Case cases[] = {
      {"a commit that wrote", true, true},
      {"a commit that wrote nothing", false, true},
      {"a rollback", true, false},
  };
  Store store;
  open(store);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t before = *store.writesEnded();
    {
      Transaction tx(store);
      ASSERT_TRUE(tx.ok());
      if (c.writes) put(store, "x");
      if (c.commits) {
        ASSERT_TRUE(tx.commit());
      }
    }
    EXPECT_EQ(*store.writesEnded() - before, 1u);
  }
  // A write outside any transaction of ours commits on its own: counted once too.
  const uint32_t before = *store.writesEnded();
  put(store, "y");
  EXPECT_EQ(*store.writesEnded() - before, 1u);
}

}  // namespace
}  // namespace qlx
