// Subscription routing against the embedded broker: element BC holds a request of service
// ROUTED (BC, NEXT, the client) and routes the marshalled request as its transformed piece;
// the broker's queues show where each entry sent its response.
#include "zvrsubscription.h"

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "marshall.h"
#include "quorbusinesselement.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

const char* const kDirectory = R"toml(
[element.BC]
formats = ["*"]
[element.NEXT]
formats = ["*"]
[element.S1E]
formats = ["*"]
[client.C1]
formats = []
[service.ROUTED]
workflow = ["element:BC", "element:NEXT", "origin"]
[service.S1]
workflow = ["element:S1E"]
)toml";

const std::string kBody = "order 4711";

class SubscriptionTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return kDirectory; }

  void SetUp() override {
    DirectoryHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    client_ = std::make_unique<QuorClient>("C1", 1, "ROUTED");
    element_ = std::make_unique<QuorBusinessElement>("BC", 1);
    QLXMSG msg;
    zvrInitDescriptor(msg);
    zvrSetFormatName(msg, "ORDERS");
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, kBody.data(),
                    static_cast<uint32_t>(kBody.size()));
    QuorRequest out(client_->handle(), &msg, 0, kQlxGetOptDefault);
    ASSERT_EQ(out.putRequest(client_->handle(), client_->transaction(), "ROUTED",
                             kQlxPutOptDefault), 1);
    ASSERT_EQ(client_->commit(), 1);
    request_.reset(element_->getRequest());
    ASSERT_NE(request_, nullptr) << *ZVRerror;
    // The transformed piece is the marshalled request itself, as an identity map gives it.
    marshall_ = std::make_unique<TsiMarshall>(*request_, 1);
    marshall_->setBuffer(marshall_->buffer(), marshall_->length());
  }

  void TearDown() override {
    marshall_.reset();
    request_.reset();
    element_.reset();
    client_.reset();
    ZVRdebug = 0;
    ZVRverbose = 1;
    DirectoryHome::TearDown();
  }

  ZVRSubscription subscription() {
    return ZVRSubscription(element_.get(), request_->theme(), marshall_.get());
  }

  // qlxadm's listing of a queue ("element:S1E", "client:C1").
  std::string browse(const std::string& queue) {
    std::string output;
    EXPECT_EQ(qlxadm("browse " + queue, &output), 0) << output;
    return output;
  }

  void fault(const std::string& args) {
    std::string output;
    ASSERT_EQ(qlxadm("fault " + args, &output), 0) << output;
  }

  std::unique_ptr<QuorClient> client_;
  std::unique_ptr<QuorBusinessElement> element_;
  std::unique_ptr<QuorRequest> request_;
  std::unique_ptr<TsiMarshall> marshall_;
};

struct EntryCase {
  const char* service;
  const char* action;
  int result;
  const char* error;  // pending id after the call, or null
  const char* queue;  // where the response went, or null for nowhere
  const char* hop;    // the position its theme shows there
};

TEST_F(SubscriptionTest, EachEntryGoesWhereItsActionSays) {
  const EntryCase cases[] = {
      {"S1", "INSERT", 0, nullptr, "element:S1E", "hop 2 of 4"},
      {"S1", "", 0, nullptr, "element:S1E", "hop 2 of 4"},
      {"S1", "replace", 0, nullptr, "element:S1E", "hop 2 of 2"},
      {"", "Notify", 0, nullptr, "client:C1", "hop 3 of 3"},
      {"S1", "notify", 0, nullptr, "client:C1", "hop 3 of 3"},
      {"", "", 2, nullptr, nullptr, nullptr},
      {"S1", "notify ", 1, ZVRID_BK0007, nullptr, nullptr},
      {"S1", "DELETE", 1, ZVRID_BK0007, nullptr, nullptr},
      {"NOSUCH", "INSERT", 1, ZVRID_BK0003, nullptr, nullptr},
      {"", "REPLACE", 1, ZVRID_BK0003, nullptr, nullptr},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(std::string("service '") + c.service + "' action '" + c.action + "'");
    zvrClearError();
    ZVRSubscription routing = subscription();
    EXPECT_EQ(routing.route(c.service, c.action), c.result);
    if (c.error) {
      ASSERT_NE(ZVRerror, nullptr);
      EXPECT_STREQ(ZVRerror->id(), c.error);
      EXPECT_STREQ(ZVRerror->info(), "Transformed Buffer follows:");
    } else {
      EXPECT_EQ(ZVRerror, nullptr);
    }
    EXPECT_EQ(element_->anyPuts(), c.queue ? 1 : 0);
    ASSERT_EQ(element_->commit(), 1);
    if (c.queue) {
      const std::string listing = browse(c.queue);
      EXPECT_NE(listing.find(": 1 message(s)"), std::string::npos) << listing;
      EXPECT_NE(listing.find(c.hop), std::string::npos) << listing;
      EXPECT_NE(listing.find(kBody), std::string::npos) << listing;
      std::string ignored;
      qlxadm(std::string("get ") + c.queue, &ignored);
    }
  }
  EXPECT_NE(browse("element:S1E").find(": 0 message(s)"), std::string::npos);
  EXPECT_NE(browse("client:C1").find(": 0 message(s)"), std::string::npos);
}

TEST_F(SubscriptionTest, ActionCodesIgnoreCaseOnly) {
  struct {
    const char* action;
    int result;
    ZVRSubscription::action_codes code;
    int isAction;
  } const cases[] = {
      {nullptr, 0, ZVRSubscription::insert, 0}, {"", 0, ZVRSubscription::insert, 0},
      {"insert", 0, ZVRSubscription::insert, 1}, {"Replace", 0, ZVRSubscription::replace, 1},
      {"NOTIFY", 0, ZVRSubscription::notify, 1}, {"NOTIFY ", 1, ZVRSubscription::insert, 0},
  };
  ZVRSubscription routing = subscription();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action ? c.action : "(null)");
    ZVRSubscription::action_codes code = ZVRSubscription::notify;
    EXPECT_EQ(routing.getActionCode(c.action, code), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(ZVRSubscription::isAction(c.action), c.isAction);
  }
  EXPECT_STREQ(ZVRerror->text(), "Invalid action ``NOTIFY '' specified in the routing.");
}

TEST_F(SubscriptionTest, DebugLogNamesEachStep) {
  ZVRdebug = 1;
  ZVRSubscription routing = subscription();
  EXPECT_EQ(routing.route("S1", "REPLACE"), 0);
  EXPECT_EQ(routing.route("S1", "INSERT"), 0);
  EXPECT_EQ(routing.route("", "NOTIFY"), 0);
  const std::string log = logText();
  for (const char* text : {"Marshalled Request follows:", "Marshall Buffer",
                           "Replace workflow with 'S1'", "Insert workflow with 'S1'",
                           "Notifying original client"})
    EXPECT_NE(log.find(text), std::string::npos) << text;
}

// Failures put nothing (or nothing that stays: a failed put), and the new theme an insert
// built is closed on every path: the injected closehandle fault is used up by that close.
TEST_F(SubscriptionTest, FailuresLeaveNoNewThemeOpen) {
  const std::string broken = "<Header>\r\n<Routing>\r\n</Header>\r\nbody";
  struct {
    const char* fault;
    bool brokenPiece;
    const char* action;
    const char* error;
    const char* pending;  // faults left afterwards
  } const cases[] = {
      {"buildtheme 2", false, "INSERT", ZVRID_BK0003, "no faults pending"},
      {"putresponse 2085", false, "INSERT", ZVRID_R0009, "no faults pending"},
      {nullptr, true, "INSERT", ZVRID_BK0004, "no faults pending"},
      {nullptr, true, "NOTIFY", ZVRID_BK0004, "closehandle"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.action) + (c.fault ? c.fault : " broken piece"));
    zvrClearError();
    fault("clear");
    if (c.fault) fault(c.fault);
    // A failed build makes no theme: its row has no close fault to use up.
    if (std::string(c.error) != ZVRID_BK0003) fault("closehandle 2");
    if (c.brokenPiece) marshall_->setBuffer(broken.data(), broken.size());
    ZVRSubscription routing = subscription();
    EXPECT_ZVR_FAILURE(routing.route("S1", c.action) == 0, c.error);
    if (std::string(c.error) == ZVRID_BK0003) {
      EXPECT_EQ(ZVRerror->isQuorError(), 1);
      EXPECT_STREQ(ZVRerror->info(), "Transformed Buffer follows:");
    }
    EXPECT_EQ(element_->anyPuts(), 0);
    std::string pending;
    qlxadm("fault list", &pending);
    EXPECT_NE(pending.find(c.pending), std::string::npos) << pending;
  }
}

TEST_F(SubscriptionTest, MissingMarshallFailsEveryEntry) {
  ZVRSubscription routing(element_.get(), request_->theme(), nullptr);
  EXPECT_STREQ(ZVRerror->id(), ZVRID_BK0001);
  EXPECT_EQ(ZVRerror->severity(), 3u);
  zvrClearError();
  EXPECT_ZVR_FAILURE(routing.route("S1", "INSERT") == 0, ZVRID_BK0001);
  EXPECT_EQ(routing.route("", ""), 2);
  EXPECT_ZVR_FAILURE(routing.notify_route() == 0, ZVRID_BK0004);
}

// A subclass whose action table knows one more code than the routing does.
class ExtendedSubscription : public ZVRSubscription {
 public:
  using ZVRSubscription::ZVRSubscription;
  int getActionCode(const char*, action_codes& code) override {
    code = static_cast<action_codes>(7);
    return 0;
  }
};

TEST_F(SubscriptionTest, CodeBeyondTheThreeIsUnknown) {
  ExtendedSubscription routing(element_.get(), request_->theme(), marshall_.get());
  EXPECT_ZVR_FAILURE(routing.route("S1", "ARCHIVE") == 0, ZVRID_BK0002);
  EXPECT_STREQ(ZVRerror->text(), "Unknown routing action ``ARCHIVE''.");
  EXPECT_STREQ(ZVRerror->info(), "Transformed Buffer follows:");
  EXPECT_EQ(element_->anyPuts(), 0);
}

}  // namespace
