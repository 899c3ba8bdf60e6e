// Syncpoint strategies: what each reports and does without the middleware, and how a local
// unit of work keeps its put flag when the middleware refuses a commit or rollback.
#include "quortransaction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "testing/zvr_testing.h"

namespace {

std::string shown(const QuorTransaction& transaction) {
  char* text = nullptr;
  const int length = transaction.display(text);
  std::string result(text, static_cast<size_t>(length));
  delete[] text;
  return result;
}

TEST(TransactionTest, DisplaysNameTheStrategy) {
  const std::string head = "\nQuorTransaction\n---------------\nTransactionType:    ";
  EXPECT_EQ(shown(QuorLocalSync(7)), head + "Local (1)");
  EXPECT_EQ(shown(QuorNoSync()), head + "None (0)");
  EXPECT_EQ(shown(QuorTransaction(7)), head + "Unknown (error)");
  std::ostringstream os;
  os << QuorNoSync();
  EXPECT_EQ(os.str(), head + "None (0)");
}

TEST(TransactionTest, SyncRecords) {
  struct Case {
    std::unique_ptr<QuorTransaction> strategy;
    int32_t type;
  };
  Case cases[] = {{std::make_unique<QuorLocalSync>(3), 1},
                  {std::make_unique<QuorNoSync>(), 0},
                  {std::make_unique<QuorTransaction>(3), -2}};
  for (Case& c : cases) {
    const QLXSYNC* sync = c.strategy->getSync();
    EXPECT_EQ(std::memcmp(sync->Signature, "BXSY", 4), 0);
    EXPECT_EQ(sync->Version, 1);
    EXPECT_EQ(sync->Reserved, 0);
    EXPECT_EQ(sync->SyncType, c.type);
    EXPECT_EQ(c.strategy->anyPuts(), 0);
  }
}

TEST(TransactionTest, NoSyncAlwaysSucceedsAndNeverReportsPuts) {
  QuorNoSync none;
  none.putFlag(1);
  EXPECT_EQ(none.anyPuts(), 0);
  EXPECT_EQ(none.commit(), 1);
  EXPECT_EQ(none.rollback(), 1);
}

TEST(TransactionTest, BaseClassHasNoUnitOfWork) {
  QuorTransaction base(3);
  base.putFlag(1);
  EXPECT_EQ(base.commit(), 0);
  EXPECT_EQ(base.rollback(), 0);
  EXPECT_EQ(base.anyPuts(), 1);
}

// A handle the middleware never gave out: its commit and rollback fail.
class LocalSyncTest : public zvr::testing::BrokerHome {};

TEST_F(LocalSyncTest, FailedCommitOrRollbackKeepsThePutFlag) {
  QuorLocalSync local(0xDEAD);
  local.putFlag(1);
  EXPECT_EQ(local.commit(), 0);
  EXPECT_EQ(local.anyPuts(), 1);
  EXPECT_EQ(local.rollback(), 0);
  EXPECT_EQ(local.anyPuts(), 1);
}

}  // namespace
