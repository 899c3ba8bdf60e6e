// qlxadm serve and the broker state its tests look at: a failed request on an error queue,
// a console started on a free loopback port.
#ifndef TESTS_QLX_CONSOLE_UTIL_H
#define TESTS_QLX_CONSOLE_UTIL_H

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "qlx.h"
#include "qlx_adm_util.h"

namespace qlxtest {

class Console : public Qlxadm {
 protected:
  void TearDown() override {
    if (serving_) {
      EXPECT_EQ(server_.stop(SIGTERM, 10000), 0) << server_.standardError();
    }
    Qlxadm::TearDown();
  }

  // Starts qlxadm serve on a free port with `extra` options and waits for its address;
  // the port, or 0 when it did not start.
  int serve(const std::string& host = "127.0.0.1", const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"serve", "--listen", host + ":0"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = start(args, "serve");
    serving_ = true;
    const std::regex address("http://" + std::regex_replace(host, std::regex("\\."), "\\.") +
                             ":([0-9]+)/");
    for (int i = 0; i < 500; ++i) {
      std::smatch found;
      const std::string out = server_.standardOutput();
      if (std::regex_search(out, found, address)) return std::stoi(found[1]);
      if (!server_.running()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "qlxadm serve did not start: " << server_.standardError();
    return 0;
  }

  std::string actionToken() const {
    std::string line;
    std::ifstream(file("console-token")) >> line;
    return line;
  }

  // Serves one request of element E as a failing component does: takes it under a unit of
  // work, reports it to the error profile with `why` and commits.
  void failOneAtE(const std::string& why) {
    QLXADDR addr = kQlxAddrDefault;
    std::memcpy(addr.Name, "E", 1);
    QLXHANDLE e = 0;
    void* directory = nullptr;
    unsigned char work[852] = {};
    ASSERT_EQ(qlxSPIInitialize(&addr, 1, &e, &directory, work), 1);
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 1;
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    QLXHANDLE theme = 0;
    ASSERT_EQ(qlxGetRequest(e, &msg, &get, &sync, &theme), 1);
    std::string text = why;
    QLXEXCEPTION exception = kQlxExceptionDefault;
    exception.Flags = kQlxExcError | kQlxExcText;
    exception.Error.Flags = kQlxErrorReason | kQlxErrorSubReason;
    exception.Error.Reason.Code = 2001;
    exception.Error.SubReason.Code = 14;
    exception.TextLength = static_cast<uint32_t>(text.size());
    exception.TextBuffer = {0, exception.TextLength, text.data()};
    QLXEPOPT options = kQlxEpOptDefault;
    EXPECT_EQ(qlxReportError(e, &options, &msg, &exception, &sync, &theme), 1);
    EXPECT_EQ(qlxCommit(e, &sync), 1);
    qlxFreeBuffer(e, &msg.MsgBuffer);
    qlxFreeBuffer(e, &msg.TagBuffer);
    qlxTerminate(&e);
  }

  ChildProcess server_;
  bool serving_ = false;
};

}  // namespace qlxtest

#endif  // TESTS_QLX_CONSOLE_UTIL_H
