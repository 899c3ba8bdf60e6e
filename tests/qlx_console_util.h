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
#include "qlx_failed_request.h"

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

  ChildProcess server_;
  bool serving_ = false;
};

}  // namespace qlxtest

#endif  // TESTS_QLX_CONSOLE_UTIL_H
