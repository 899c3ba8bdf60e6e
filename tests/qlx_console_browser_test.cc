// The web console in a real browser: the broker state is made here, then
// qlx_console_browser.py drives headless Chromium over it and keeps a screenshot of each
// page in the build tree. Skipped, with the script's reason, where no browser can start.
#include "qlx_console_util.h"

namespace {

using namespace qlxtest;

TEST_F(Console, AnOperatorSeesTheQueuesAndResubmitsFromTheBrowser) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1",
                    "<script>window.injected = 1</script><b id=\"markup\">bold</b>"})
                .status,
            0);
  failOneAtE("no map for format ORDERS");
  const int port = serve();
  ASSERT_NE(port, 0);
  ChildProcess browser({"/usr/bin/python3", ZVR_SOURCE_DIR "/tests/qlx_console_browser.py",
                        "http://127.0.0.1:" + std::to_string(port) + "/", QLXADM_PATH,
                        CONSOLE_SHOTS_DIR},
                       file("browser.out"), file("browser.err"));
  const int status = browser.wait(180000);
  const std::string said = browser.standardOutput() + browser.standardError();
  if (status == 77) GTEST_SKIP() << said;
  EXPECT_EQ(status, 0) << said;
}

}  // namespace
