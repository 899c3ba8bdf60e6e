// What the session layer hands the middleware: spies placed in front of the broker's calls
// record the records they forward. Ownership: what the broker allocated is released
// through qlxFreeBuffer, with the holder's handle, exactly once; what the program owns
// never is. Options: the get-option words and waits, and the names cut to 132 characters.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "descriptor.h"
#include "erroradt.h"
#include "quorbusinesselement.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "quorworkflow.h"
#include "testing/zvr_testing.h"

namespace {

struct Release {
  QLXHANDLE handle;
  const void* data;
};
std::vector<Release> gReleased;

struct Get {
  uint32_t options;
  int32_t wait;
  QLXHANDLE theme;
  QLXSYNCP sync;
};
std::vector<Get> gGets;
std::string gAddressName;  // all 132 bytes of the last connection record

struct Report {
  uint32_t options;
  uint32_t flags;
  int32_t reasonCode;
  int32_t callType;
  std::string text;
  uint32_t textOwned;
  QLXHANDLE context;
  QLXSYNCP sync;
};
std::vector<Report> gReports;

template <typename Fn>
Fn realCall(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

size_t releasesOf(const void* data) {
  return static_cast<size_t>(std::count_if(gReleased.begin(), gReleased.end(),
                                           [data](const Release& r) { return r.data == data; }));
}

}  // namespace

// Takes the place of the broker's qlxFreeBuffer in this program and forwards to it.
extern "C" int qlxFreeBuffer(QLXHANDLE handle, QLXBUFFER* buffer) {
  using Real = int (*)(QLXHANDLE, QLXBUFFER*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "qlxFreeBuffer"));
  if (buffer != nullptr && buffer->Owned == 1) gReleased.push_back({handle, buffer->Data});
  return real(handle, buffer);
}

extern "C" int qlxGetRequest(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options, QLXSYNCP sync,
                             QLXHANDLE* theme) {
  static const auto real = realCall<decltype(&qlxGetRequest)>("qlxGetRequest");
  gGets.push_back({options->Options, options->Wait, *theme, sync});
  return real(handle, msg, options, sync, theme);
}

extern "C" int qlxGetResponse(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options, QLXSYNCP sync,
                              QLXHANDLE* theme) {
  static const auto real = realCall<decltype(&qlxGetResponse)>("qlxGetResponse");
  gGets.push_back({options->Options, options->Wait, *theme, sync});
  return real(handle, msg, options, sync, theme);
}

extern "C" int qlxSPIInitialize(const QLXADDR* addr, int32_t mode, QLXHANDLE* handle,
                                void** directory, void* work) {
  static const auto real = realCall<decltype(&qlxSPIInitialize)>("qlxSPIInitialize");
  gAddressName.assign(addr->Name, sizeof addr->Name);
  return real(addr, mode, handle, directory, work);
}

extern "C" int qlxReportError(QLXHANDLE handle, QLXEPOPT* options, QLXMSG* msg,
                              QLXEXCEPTION* exception, QLXSYNCP sync, QLXHANDLE* context) {
  static const auto real = realCall<decltype(&qlxReportError)>("qlxReportError");
  const QLXBUFFER& text = exception->TextBuffer;
  gReports.push_back({options->Options, exception->Flags, exception->Error.Reason.Code,
                      exception->CallType,
                      std::string(static_cast<const char*>(text.Data), exception->TextLength),
                      text.Owned, *context, sync});
  return real(handle, options, msg, exception, sync, context);
}

namespace {

const char* const kDirectory = R"toml(
[element.E]
formats = ["*"]
[element.NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN]
formats = []
[client.C1]
formats = []
[service.ECHO]
workflow = ["element:E", "origin"]
)toml";

class CallTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return kDirectory; }

  void SetUp() override {
    DirectoryHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    client_ = std::make_unique<QuorClient>("C1", 1, "ECHO");
    element_ = std::make_unique<QuorBusinessElement>("E", 1);
    gReleased.clear();
    gGets.clear();
  }

  // Puts a request with a body and a tag from the client and gets it at E.
  std::unique_ptr<QuorRequest> requestAtE() {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, "body", 4);
    zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, "tag", 3);
    QuorRequest request(client_->handle(), &msg, 0, kQlxGetOptDefault);
    EXPECT_EQ(
        request.putRequest(client_->handle(), client_->transaction(), "ECHO", kQlxPutOptDefault),
        1);
    EXPECT_EQ(client_->commit(), 1);
    gReleased.clear();  // the program's own request released nothing
    return std::unique_ptr<QuorRequest>(element_->getRequest());
  }

  std::unique_ptr<QuorClient> client_;
  std::unique_ptr<QuorBusinessElement> element_;
};

TEST_F(CallTest, ProgramBuffersAreNeverReleasedThroughTheMiddleware) {
  QLXMSG msg;
  zvrInitDescriptor(msg);
  zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, "mine", 4);
  { QuorRequest request(0, &msg, 0, kQlxGetOptDefault); }
  EXPECT_EQ(releasesOf(msg.MsgBuffer.Data), 0u);
}

TEST_F(CallTest, RequestReleasesItsBodyAndTagWithItsHandle) {
  auto request = requestAtE();
  ASSERT_NE(request, nullptr) << *ZVRerror;
  const QLXMSG& d = request->descriptor();
  ASSERT_EQ(d.MsgBuffer.Owned, 1u);
  ASSERT_EQ(d.TagBuffer.Owned, 1u);
  const void* body = d.MsgBuffer.Data;
  const void* tag = d.TagBuffer.Data;

  // The response points at the request's bytes and leaves them to the request.
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_EQ(element_->putResponse(response.get()), 1);
  response.reset();
  EXPECT_EQ(releasesOf(body), 0u);

  request.reset();
  EXPECT_EQ(releasesOf(body), 1u);
  EXPECT_EQ(releasesOf(tag), 1u);
  for (const Release& r : gReleased) EXPECT_EQ(r.handle, element_->handle());
  EXPECT_EQ(element_->commit(), 1);
}

TEST_F(CallTest, ThemeListsAreReleasedWithTheConnectionHandle) {
  auto request = requestAtE();
  ASSERT_NE(request, nullptr);
  // The theme-ID query of the request's construction released its list.
  ASSERT_EQ(gReleased.size(), 1u);
  EXPECT_EQ(gReleased[0].handle, element_->handle());
  gReleased.clear();
  std::unique_ptr<QuorWorkflowComponent> hop(QuorWorkflowComponent::createWorkflowComponent(
      *request, element_->handle(), element_->directoryHandle()));
  ASSERT_NE(hop, nullptr);
  ASSERT_EQ(gReleased.size(), 1u);
  EXPECT_EQ(gReleased[0].handle, element_->handle());
}

TEST_F(CallTest, ResponseGotByTheClientIsReleasedWithoutAHandle) {
  auto request = requestAtE();
  ASSERT_NE(request, nullptr);
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_EQ(element_->putResponse(response.get()), 1);
  ASSERT_EQ(element_->commit(), 1);
  gReleased.clear();
  std::unique_ptr<QuorResponse> back(client_->getResponse(0, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  const void* body = back->buffer();
  back.reset();
  EXPECT_EQ(releasesOf(body), 1u);
  ASSERT_FALSE(gReleased.empty());
  EXPECT_EQ(gReleased[0].handle, 0u);
}

TEST_F(CallTest, GetOptionsOfRequestsAndResponses) {
  auto request = requestAtE();
  ASSERT_NE(request, nullptr);
  ASSERT_EQ(gGets.size(), 1u);
  EXPECT_EQ(gGets[0].options, 0x2148u);
  EXPECT_EQ(gGets[0].wait, -2);
  EXPECT_EQ(gGets[0].theme, 0u);
  EXPECT_EQ(gGets[0].sync, element_->getSync());
  EXPECT_EQ(gGets[0].sync->SyncType, 1);

  struct Case {
    unsigned long theme, wait;
    uint32_t options;
    int32_t sentWait;
  };
  const Case cases[] = {
      {0, 0, 0x120, -2},
      {0, 7, 0x128, 7},
      {33, 0, 0x190, -2},
      {33, 50000, 0x198, 50000},
      {0, 0xFFFFFFFFFFul, 0x128, INT32_MAX},
  };
  for (const Case& c : cases) {
    gGets.clear();
    zvrClearError();
    alarm(60);
    // Nothing is waiting on C1's queue: with a wait the get would block, so the broker is
    // made to fail it at once.
    ASSERT_EQ(qlxadm("fault getresponse 2033"), 0);
    EXPECT_EQ(std::unique_ptr<QuorResponse>(client_->getResponse(c.theme, c.wait)), nullptr);
    ASSERT_EQ(gGets.size(), 1u);
    EXPECT_EQ(gGets[0].options, c.options) << c.theme << " " << c.wait;
    EXPECT_EQ(gGets[0].wait, c.sentWait) << c.theme << " " << c.wait;
    EXPECT_EQ(gGets[0].theme, c.theme);
  }
}

TEST_F(CallTest, ErrorReportCarriesThePendingError) {
  auto request = requestAtE();
  ASSERT_NE(request, nullptr);
  ASSERT_EQ(qlxadm("fault commit 2101"), 0);
  ASSERT_EQ(element_->commit(), 0);  // a QuorError with the broker's record is pending
  gReports.clear();
  EXPECT_EQ(request->reportError(element_->getSync()), 1);
  ASSERT_EQ(gReports.size(), 1u);
  const Report& sent = gReports[0];
  EXPECT_EQ(sent.options & 0x20u, 0x20u);
  EXPECT_EQ(sent.flags & 0x18u, 0x18u);
  EXPECT_EQ(sent.reasonCode, 2101);
  EXPECT_EQ(sent.callType, 0);
  EXPECT_EQ(sent.textOwned, 0u);
  EXPECT_EQ(sent.text.rfind("\nZVRR0003\nERROR: Unable to commit transaction.", 0), 0u)
      << sent.text;
  EXPECT_EQ(sent.context, request->theme());
  EXPECT_EQ(sent.sync, element_->getSync());

  // An error of the system's own carries no middleware record.
  zvrSetError(new ErrorADT("ZVRS0012", 2, "Unable to marshall the request."));
  gReports.clear();
  request->reportError(element_->getSync());
  ASSERT_EQ(gReports.size(), 1u);
  EXPECT_EQ(gReports[0].flags & 0x18u, 0x10u);
  EXPECT_EQ(gReports[0].text, "\nZVRS0012\nERROR: Unable to marshall the request.");
}

TEST_F(CallTest, LongElementNameIsCutInTheConnectionRecord) {
  const std::string name(132, 'N');
  QuorBusinessElement element((name + "MORE").c_str(), 0);
  EXPECT_EQ(gAddressName, name);  // all 132 bytes, no terminator
  EXPECT_EQ(std::string(element.name()), name);
}

}  // namespace
