// Workflow hops: the bounded reader of the workflow item (hand-built items), the hop
// classes' answers from a directory of the test's own, and createWorkflowComponent against
// the embedded broker for every application type a workflow can name.
#include "quorworkflow.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "quorbusinesselement.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

// A workflow item's data: hops remaining, then the next-hop record at 412.
std::vector<unsigned char> workflowData(int32_t remaining, uint32_t type, const std::string& client,
                                        const std::string& component) {
  std::vector<unsigned char> data(kWorkflowNextHop + 412, 0);
  std::memcpy(data.data() + kWorkflowRemaining, &remaining, 4);
  std::memcpy(data.data() + kWorkflowNextHop + kNextHopType, &type, 4);
  std::memcpy(data.data() + kWorkflowNextHop + kNextHopClientName, client.data(),
              std::min<size_t>(client.size(), kNextHopComponentName - kNextHopClientName));
  std::memcpy(data.data() + kWorkflowNextHop + kNextHopComponentName, component.data(),
              std::min<size_t>(component.size(), 412 - kNextHopComponentName));
  return data;
}

// Reads `data` cut to `length` bytes from a heap block of exactly that size.
ZvrWorkflowRead readCut(const std::vector<unsigned char>& data, size_t length, ZvrNextHop& hop) {
  auto block = std::make_unique<unsigned char[]>(length ? length : 1);
  std::memcpy(block.get(), data.data(), std::min(length, data.size()));
  return zvrReadNextHop(block.get(), length, hop);
}

TEST(NextHopTest, ReadsTypeAndNames) {
  const auto data = workflowData(2, 1, "CLIENT", "ELEMENT");
  ZvrNextHop hop;
  ASSERT_EQ(readCut(data, data.size(), hop), kWorkflowOk);
  EXPECT_EQ(hop.remaining, 2);
  EXPECT_EQ(hop.type, 1u);
  EXPECT_EQ(hop.clientName, "CLIENT");
  EXPECT_EQ(hop.componentName, "ELEMENT");
}

TEST(NextHopTest, NamesWithoutTerminatorAreCut) {
  struct Case {
    const char* name;
    std::string client, component;
    size_t length;  // 0: whole
    std::string wantClient, wantComponent;
  };
  const std::string full(200, 'B');
  const Case cases[] = {
      {"132-character names", std::string(132, 'C'), std::string(132, 'E'), 0,
       std::string(132, 'C'), std::string(132, 'E')},
      {"names filling their areas", std::string(133, 'C'), full, 0, std::string(132, 'C'),
       std::string(132, 'B')},
      {"data ending inside the component name", "C", full, kWorkflowNextHop + 280, "C",
       std::string(10, 'B')},
      {"data ending at the component name", "C", full, kWorkflowNextHop + 270, "C", ""},
      {"data ending inside the client name", std::string(100, 'C'), full, kWorkflowNextHop + 140,
       "CCC", ""},
      {"data ending after the type", "C", "E", kWorkflowNextHop + 4, "", ""},
  };
  for (const Case& c : cases) {
    const auto data = workflowData(1, 3, c.client, c.component);
    ZvrNextHop hop;
    ASSERT_EQ(readCut(data, c.length ? c.length : data.size(), hop), kWorkflowOk) << c.name;
    EXPECT_EQ(hop.clientName, c.wantClient) << c.name;
    EXPECT_EQ(hop.componentName, c.wantComponent) << c.name;
  }
}

TEST(NextHopTest, ShortOrEndedWorkflows) {
  struct Case {
    int32_t remaining;
    size_t length;
    ZvrWorkflowRead want;
  };
  const Case cases[] = {
      {1, 7, kWorkflowShort},
      {1, 8, kWorkflowShort},
      {1, kWorkflowNextHop + 3, kWorkflowShort},
      {1, kWorkflowNextHop + 4, kWorkflowOk},
      {0, 8, kWorkflowEnded},
      {-1, kWorkflowNextHop + 412, kWorkflowEnded},
      {0, kWorkflowNextHop + 412, kWorkflowEnded},
  };
  for (const Case& c : cases) {
    const auto data = workflowData(c.remaining, 1, "C", "E");
    ZvrNextHop hop;
    EXPECT_EQ(readCut(data, c.length, hop), c.want) << c.remaining << " " << c.length;
  }
  ZvrNextHop hop;
  EXPECT_EQ(zvrReadNextHop(nullptr, 0, hop), kWorkflowShort);
}

// ---- hop answers from a directory of the test's own ----

class FormatsDirectory : public qlxDirInterface {
 public:
  int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry, void*) override {
    if (std::string(name) == "KNOWN") {
      entry.fill(type, name, {"XML", "EDI"}, {});
      return 1;
    }
    return ctl->Services->ExceptionHandler(2001, type, type, reinterpret_cast<unsigned long>(name),
                                           0, 0, kQlxCallDirectory,
                                           reinterpret_cast<unsigned long>(ctl), 0, 0);
  }
};

class HopTest : public zvr::testing::BrokerHome {
 protected:
  FormatsDirectory directory_;
};

TEST_F(HopTest, ComponentAndClientAnswerFromTheirEntries) {
  QuorWorkflowComponent component("KNOWN", &directory_);
  QuorWorkflowClient client("KNOWN", &directory_);
  EXPECT_NE(component.acceptFormat("XML"), 0);
  EXPECT_EQ(component.acceptFormat("CSV"), 0);
  EXPECT_NE(client.acceptFormat("EDI"), 0);
  EXPECT_EQ(client.acceptFormat("CSV"), 0);
  EXPECT_EQ(logText().find("ZVRD000"), std::string::npos);
}

TEST_F(HopTest, HopsMissingFromTheDirectoryAcceptNothing) {
  QuorWorkflowComponent component("GONE", &directory_);
  QuorWorkflowClient client("AWAY", &directory_);
  EXPECT_EQ(component.acceptFormat("XML"), 0);
  EXPECT_EQ(client.acceptFormat("XML"), 0);
  EXPECT_EQ(ZVRerror, nullptr);
  if (logText().empty()) GTEST_SKIP() << "this build's middleware keeps no log";
  EXPECT_NE(logText().find("Unable to locate Business Component named ``GONE'' in the Quor "
                           "Directory."),
            std::string::npos);
  EXPECT_NE(logText().find("Unable to locate Quor Client named ``AWAY'' in the Quor Directory."),
            std::string::npos);
  EXPECT_NE(logText().find("None required; continuing."), std::string::npos);
}

TEST_F(HopTest, NativeHopAcceptsNothing) {
  QuorWorkflowNative native;
  EXPECT_STREQ(native.name(), "ZVRNative");
  EXPECT_EQ(native.ldapHandle(), nullptr);
  EXPECT_EQ(native.acceptFormat("XML"), 0);
  EXPECT_EQ(native.acceptFormat(""), 0);
  QuorWorkflowComponent unnamed(nullptr, nullptr);
  EXPECT_STREQ(unnamed.name(), "");
}

// ---- next hops of workflows kept by the embedded broker ----

const char* const kWorkflows = R"toml(
[element.E]
formats = ["*"]
[element.NEXT]
formats = ["XML"]
[client.C1]
formats = []
[client.OTHER]
formats = ["EDI"]
[service.TO_ELEMENT]
workflow = ["element:E", "element:NEXT", "origin"]
[service.TO_CLIENT]
workflow = ["element:E", "client:OTHER"]
[service.TO_ORIGIN]
workflow = ["element:E", "origin"]
[service.TO_NATIVE]
workflow = ["element:E", "native"]
[service.TO_TYPE5]
workflow = ["element:E", "type:5:NAT5"]
[service.TO_TYPE2]
workflow = ["element:E", "type:2:ODD"]
[service.LAST]
workflow = ["element:E"]
)toml";

class BrokerHopTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return kWorkflows; }

  void SetUp() override {
    DirectoryHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    client_ = std::make_unique<QuorClient>("C1", 1, "");
    element_ = std::make_unique<QuorBusinessElement>("E", 1);
  }

  // Sends an XML request to `service` and gets it at E.
  std::unique_ptr<QuorRequest> atE(const char* service) {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    zvrSetFormatName(msg, "XML");
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, "<a/>", 4);
    QuorRequest request(client_->handle(), &msg, 0, kQlxGetOptDefault);
    EXPECT_EQ(
        request.putRequest(client_->handle(), client_->transaction(), service, kQlxPutOptDefault),
        1);
    EXPECT_EQ(client_->commit(), 1);
    return std::unique_ptr<QuorRequest>(element_->getRequest());
  }

  std::unique_ptr<QuorWorkflowComponent> hop(const QuorRequest& request) {
    return std::unique_ptr<QuorWorkflowComponent>(QuorWorkflowComponent::createWorkflowComponent(
        request, element_->handle(), element_->directoryHandle()));
  }

  std::unique_ptr<QuorClient> client_;
  std::unique_ptr<QuorBusinessElement> element_;
};

TEST_F(BrokerHopTest, EveryKnownApplicationType) {
  struct Case {
    const char* service;
    const char* name;
    int acceptsXml;
  };
  const Case cases[] = {
      {"TO_ELEMENT", "NEXT", 1},     {"TO_CLIENT", "OTHER", 0},    {"TO_ORIGIN", "C1", 0},
      {"TO_NATIVE", "ZVRNative", 0}, {"TO_TYPE5", "ZVRNative", 0},
  };
  for (const Case& c : cases) {
    auto request = atE(c.service);
    ASSERT_NE(request, nullptr) << c.service;
    auto next = hop(*request);
    ASSERT_NE(next, nullptr) << c.service << *ZVRerror;
    EXPECT_STREQ(next->name(), c.name) << c.service;
    EXPECT_EQ(next->acceptFormat("XML") != 0, c.acceptsXml != 0) << c.service;
    EXPECT_EQ(element_->commit(), 1);
  }
  auto request = atE("TO_CLIENT");
  auto client = hop(*request);
  EXPECT_NE(dynamic_cast<QuorWorkflowClient*>(client.get()), nullptr);
  EXPECT_NE(client->acceptFormat("EDI"), 0);
  EXPECT_EQ(logText().find("ZVRD000"), std::string::npos);
}

TEST_F(BrokerHopTest, UnrecognizedApplicationType) {
  auto request = atE("TO_TYPE2");
  ASSERT_NE(request, nullptr);
  EXPECT_ZVR_FAILURE(hop(*request), "ZVRD0007");
  EXPECT_STREQ(ZVRerror->text(), "Workflow contains an unrecognized application of type ``2l''.");
  EXPECT_EQ(ZVRerror->severity(), 2u);
  EXPECT_STREQ(ZVRerror->info(), "Quor Request follows:");  // ZVRverbose is set
}

TEST_F(BrokerHopTest, NoHopLeftIsAnIllegalWorkflow) {
  auto request = atE("LAST");
  ASSERT_NE(request, nullptr);
  EXPECT_ZVR_FAILURE(hop(*request), "ZVRD0002");
}

TEST_F(BrokerHopTest, FailedWorkflowQuery) {
  auto request = atE("TO_ELEMENT");
  ASSERT_NE(request, nullptr);
  ASSERT_EQ(qlxadm("fault querytheme 2085"), 0);
  ZVRverbose = 0;
  EXPECT_ZVR_FAILURE(hop(*request), "ZVRD0001");
  ZVRverbose = 1;
  EXPECT_EQ(ZVRerror->info(), nullptr);
  EXPECT_STREQ(ZVRerror->userAction(), "Contact Velmar Technical Support.");
}

TEST_F(BrokerHopTest, DeletedBusinessComponentAcceptsNothing) {
  auto request = atE("TO_ELEMENT");
  ASSERT_NE(request, nullptr);
  std::string output;
  ASSERT_EQ(qlxadm("delete element NEXT", &output), 0) << output;
  auto next = hop(*request);
  ASSERT_NE(next, nullptr) << *ZVRerror;
  EXPECT_STREQ(next->name(), "NEXT");
  EXPECT_EQ(next->acceptFormat("XML"), 0);
  EXPECT_EQ(ZVRerror, nullptr);
  EXPECT_NE(logText().find("ZVRD0004"), std::string::npos);
  EXPECT_NE(logText().find("Unable to locate Business Component named ``NEXT'' in the Quor "
                           "Directory."),
            std::string::npos);
}

}  // namespace
