// The error queues as an operator works them: a request fails at its element and lands on
// the element's error queue, qlxadm errors shows it, and once the cause is fixed qlxadm
// resubmit puts it back so that it completes; qlxadm purge removes what is not wanted.
#include <cstring>

#include "qlx.h"
#include "qlx_adm_util.h"
#include "qlx_failed_request.h"

namespace {

using namespace qlxtest;

using ErrorQueues = Qlxadm;

TEST_F(ErrorQueues, FailedRequestIsResubmittedAndCompletes) {
  // The client waits for its answer all along.
  ChildProcess client =
      start({"send", "ECHO", "--as", "C1", "--wait", "60000", "order 7"}, "client");
  failOneAtE("no map for format ORDERS");
  Outcome listed = qlxadm({"errors", "E"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("error:E entry "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("reason 2001, sub-reason 14, call type 0, backout 0,"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("service 'ECHO' from client:C1, hop 1 of 2"), std::string::npos);
  EXPECT_NE(listed.out.find("text: no map for format ORDERS"), std::string::npos);
  EXPECT_NE(listed.out.find("body (7 bytes): order 7\n"), std::string::npos);

  Outcome resubmitted = qlxadm({"resubmit", "E", "--all"});
  EXPECT_EQ(resubmitted.status, 0) << resubmitted.err;
  EXPECT_EQ(resubmitted.out, "resubmitted 1 request from the error queue of E to element:E\n");
  EXPECT_EQ(qlxadm({"errors", "E"}).out, "no entries on the error queues\n");
  // The cause fixed, the element serves it and the waiting client gets its answer.
  Outcome served = qlxadm({"echo", "E", "--count", "1"});
  EXPECT_EQ(served.status, 0) << served.err;
  EXPECT_EQ(client.wait(), 0) << client.standardError();
  EXPECT_EQ(client.standardOutput(), "order 7\n");
  EXPECT_EQ(qlxadm({"queues"}).out.find("element:E"), std::string::npos);
}

TEST_F(ErrorQueues, BodyIsShownEscapedAndPurgeRemovesTheEntries) {
  ChildProcess sender = start({"send", "ECHO", "--as", "C1", "-"}, "sender",
                              writeFile("body", std::string("a\x01\\\n", 4)));
  ASSERT_EQ(sender.wait(), 0) << sender.standardError();
  failOneAtE("no map for format ORDERS");
  EXPECT_NE(qlxadm({"errors"}).out.find("body (4 bytes): a\\x01\\\\\\n\n"), std::string::npos);
  const Case refused[] = {
      {{"resubmit", "E"}, 2, "resubmit takes ELEMENT ID|--all"},
      {{"purge", "E", "0"}, 2, "ID is an entry number"},
      {{"purge", std::string(133, 'E'), "--all"}, 2, "element name"},
      {{"purge", "E", "999999"}, 1, "the error queue of E holds no entry 999999"},
      {{"resubmit", "NOPE", "--all"}, 1, "no element named NOPE"},
  };
  for (const Case& c : refused) {
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  Outcome purged = qlxadm({"purge", "E", "--all"});
  EXPECT_EQ(purged.status, 0) << purged.err;
  EXPECT_EQ(purged.out, "removed 1 request from the error queue of E\n");
  EXPECT_EQ(qlxadm({"errors"}).out, "no entries on the error queues\n");
  EXPECT_EQ(qlxadm({"purge", "E", "--all"}).status, 1);
}

}  // namespace
