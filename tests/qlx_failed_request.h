// A request that fails at its element as a component fails one: taken under a unit of
// work, handed to the error profile with the component's reason and text, committed. The
// error-queue and console tests start from it.
#ifndef TESTS_QLX_FAILED_REQUEST_H
#define TESTS_QLX_FAILED_REQUEST_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qlx.h"

namespace qlxtest {

// Serves one request of element E (waiting up to 20 s for it, as a client in another
// process may still be sending it) and reports it with reason 2001, sub-reason 14 and
// the text `why`.
inline void failOneAtE(const std::string& why) {
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
  get.Options |= kQlxGetWait;
  get.Wait = 20000;
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

}  // namespace qlxtest

#endif  // TESTS_QLX_FAILED_REQUEST_H
