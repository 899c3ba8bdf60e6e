// The WAL keeper's thread must never take a stop signal meant for the program: caught on
// that thread, it would end no wait for a message, and a server would not stop.
#include "walkeeper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace qlx {
namespace {

// The signals thread `tid` of this process blocks, from its status file's SigBlk line.
unsigned long long blockedSignals(const std::string& tid) {
  std::ifstream status("/proc/self/task/" + tid + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("SigBlk:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 16);
  return 0;
}

TEST(WalKeeperTest, ItsThreadBlocksTheStopSignals) {
  char pattern[] = "/tmp/qlx-keeper-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  {
    std::shared_ptr<WalKeeper> keeper = WalKeeper::forHome(home, true);
    const std::string self = std::to_string(syscall(SYS_gettid));
    int others = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      const std::string tid = task.path().filename().string();
      if (tid == self) continue;
      ++others;
      const unsigned long long blocked = blockedSignals(tid);
      for (int signal : {SIGTERM, SIGINT})
        EXPECT_NE(blocked & (1ULL << (signal - 1)), 0u)
            << "thread " << tid << " signal " << signal;
    }
    EXPECT_GE(others, 1);
  }
  std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace qlx
