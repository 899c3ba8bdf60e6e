// The broker log and qlxWriteLog.
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "connection.h"
#include "errors.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

const char* severityWord(uint32_t severity, char* scratch, size_t room) {
  static const char* const kWords[] = {"INFO", "WARNING", "ERROR", "SEVERE"};
  if (severity < 4) return kWords[severity];
  std::snprintf(scratch, room, "SEV%u", severity);
  return scratch;
}

std::string stamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[48];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(now.tv_usec / 1000));
  return text;
}

}  // namespace

std::string logEntryText(std::string_view text) {
  while (!text.empty() && (text.front() == '\n' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

bool logWritable(std::string& error) {
  if (!makeHome(homePath(), error)) return false;
  const int fd = openPrivate(logPath(), O_WRONLY | O_APPEND);
  if (fd >= 0) return ::close(fd), true;
  error = "cannot write the broker log " + logPath() + ": " + std::strerror(errno);
  return false;
}

int appendLog(uint32_t severity, std::string_view connection, std::string_view text) {
  trc::Scope trace(kTrace);
  char scratch[16];
  std::string line = stamp() + " " + std::to_string(getpid()) + " " +
                     std::string(connection.empty() ? "-" : connection) + " " +
                     severityWord(severity, scratch, sizeof scratch) + " " +
                     logEntryText(text) + "\n";
  std::string ignored;
  if (!makeHome(homePath(), ignored)) return trace.result(errno);
  int fd = openPrivate(logPath(), O_WRONLY | O_APPEND);
  if (fd < 0) return trace.result(errno);
  // One write per entry: O_APPEND keeps entries of several processes whole.
  ssize_t written = ::write(fd, line.data(), line.size());
  int error = written == static_cast<ssize_t>(line.size()) ? 0 : (written < 0 ? errno : EIO);
  ::close(fd);
  return trace.result(error);
}

}  // namespace qlx

extern "C" int qlxWriteLog(const QLXLOG* record) {
  trc::Scope trace(qlx::kTrace);
  qlx::CallScope call(kQlxCallWriteLog, 0);
  if (call.injected()) return trace.result(static_cast<int>(qlx::lastError().Reason.Code));
  if (!record || std::memcmp(record->Signature, "XCLD", 4) != 0 || !record->Text) {
    qlx::failSub(kQlxCallWriteLog, qlx::kReasonInvalidArgument, 1,
                 "qlxWriteLog: no log record, no \"XCLD\" eye-catcher, or no text");
    return trace.result(static_cast<int>(qlx::kReasonInvalidArgument));
  }
  int error = qlx::appendLog(record->Severity, qlx::processConnectionName(), record->Text);
  if (error != 0) {
    qlx::failSub(kQlxCallWriteLog, qlx::kReasonLog, error, "qlxWriteLog: cannot write %s: %s",
                 qlx::logPath().c_str(), std::strerror(error));
    return trace.result(static_cast<int>(qlx::kReasonLog));
  }
  return trace.result(0);
}
