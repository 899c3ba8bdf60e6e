// A request's round trip through the session layer on the embedded broker, with the
// sender, the business element and the client in separate processes where it matters:
// qlxadm sends, a business element answers with createResponse, the client receives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "descriptor.h"
#include "erroradt.h"
#include "quorbusinesselement.h"
#include "quorclient.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"

namespace {

class RoundTripTest : public zvr::testing::DirectoryHome {
 protected:
  std::string directoryText() const override { return zvr::testing::kEchoDirectory; }

  static std::string text(const void* data, unsigned long length) {
    return std::string(static_cast<const char*>(data), length);
  }

  // Serves one request as E and returns: the child's body of work.
  static int serveOne() {
    QuorBusinessElement element("E", 1);
    std::unique_ptr<QuorRequest> request(element.getRequest());
    if (!request) return 2;
    std::unique_ptr<QuorResponse> response(request->createResponse());
    if (!response || !element.putResponse(response.get())) return 3;
    return element.commit() ? 0 : 4;
  }
};

// The short program of the session layer: qlxadm sends, E answers, C1 receives.
TEST_F(RoundTripTest, RequestSentWithQlxadmComesBackToTheClient) {
  std::string output;
  ASSERT_EQ(qlxadm("send ECHO --as C1 'hello there'", &output), 0) << output;

  QuorBusinessElement element("E", 1);
  std::unique_ptr<QuorRequest> request(element.getRequest());
  ASSERT_NE(request, nullptr) << *ZVRerror;
  EXPECT_EQ(text(request->buffer(), request->length()), "hello there");
  std::unique_ptr<QuorResponse> response(request->createResponse());
  ASSERT_NE(response, nullptr);
  ASSERT_EQ(element.putResponse(response.get()), 1) << *ZVRerror;
  ASSERT_EQ(element.commit(), 1) << *ZVRerror;

  QuorClient client("C1", 1, "ECHO");
  std::unique_ptr<QuorResponse> back(client.getResponse(0, 5000));
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(text(back->buffer(), back->length()), "hello there");
  EXPECT_EQ(client.commit(), 1);
}

// E in a child process waits for the request that the client here puts.
TEST_F(RoundTripTest, ElementInAnotherProcess) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(serveOne());

  QuorClient client("C1", 1, "ECHO");
  QLXMSG msg;
  zvrInitDescriptor(msg);
  char body[] = "across processes";
  zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, body, sizeof body - 1);
  QuorRequest request(client.handle(), &msg, 0, kQlxGetOptDefault);
  ASSERT_EQ(request.putRequest(client.handle(), client.transaction(), "ECHO", kQlxPutOptDefault),
            1);
  ASSERT_EQ(client.commit(), 1);
  std::unique_ptr<QuorResponse> back(client.getResponse(request.theme(), 20000));
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_NE(back, nullptr) << *ZVRerror;
  EXPECT_EQ(text(back->buffer(), back->length()), "across processes");
}

// An element killed with its request in hand: the request returns, backed out once.
TEST_F(RoundTripTest, RequestOfAKilledElementReturnsBackedOut) {
  std::string output;
  ASSERT_EQ(qlxadm("send ECHO --as C1 poison", &output), 0) << output;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QuorBusinessElement element("E", 1);
    QuorRequest* request = element.getRequest();
    const char mark = request ? (request->backoutCount() <= 0 ? 'y' : 'b') : 'n';
    if (write(ready[1], &mark, 1) != 1) _exit(5);
    pause();
    _exit(6);
  }
  char mark = 0;
  ASSERT_EQ(read(ready[0], &mark, 1), 1);
  EXPECT_EQ(mark, 'y');
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  QuorBusinessElement element("E", 1);
  std::unique_ptr<QuorRequest> again(element.getRequest());
  ASSERT_NE(again, nullptr) << *ZVRerror;
  EXPECT_EQ(text(again->buffer(), again->length()), "poison");
  EXPECT_EQ(again->backoutCount(), 1);
  EXPECT_EQ(element.commit(), 1);
}

}  // namespace
