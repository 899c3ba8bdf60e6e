// The trace facility: per-module levels read once from QLX_TRACE, lines appended to the
// trace file of the broker home ($QLX_HOME/trace, QLX_HOME defaulting to ./.qlx), or to
// the file QLX_TRACE_FILE names.
#include "trc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Parses "module=0xC0,*=0x40" and returns the level for `module` (exact entry before "*").
unsigned levelFor(const char* levels, std::string_view module) {
  unsigned wildcard = 0;
  bool haveWildcard = false;
  std::string_view rest(levels);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string value(item.substr(eq + 1));
    unsigned level = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 0));
    std::string_view name = item.substr(0, eq);
    if (name == module) return level;
    if (name == "*") {
      wildcard = level;
      haveWildcard = true;
    }
  }
  return haveWildcard ? wildcard : 0;
}

std::mutex gTraceMutex;
FILE* gTraceFile = nullptr;

FILE* traceFile() {
  if (gTraceFile) return gTraceFile;
  std::string path;
  if (const char* file = std::getenv("QLX_TRACE_FILE"); file && *file) {
    path = file;
  } else {
    const char* home = std::getenv("QLX_HOME");
    path = std::string(home && *home ? home : "./.qlx") + "/trace";
  }
  // Private to the owner whatever the umask, like every file of the broker home.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0)
    fchmod(fd, 0600);
  else if (errno == EEXIST)
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  gTraceFile = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (!gTraceFile && fd >= 0) close(fd);
  if (!gTraceFile) gTraceFile = stderr;  // a trace asked for is never lost silently
  return gTraceFile;
}

void writeLine(const char* module, const char* text) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(gTraceMutex);
  FILE* out = traceFile();
  std::fprintf(out, "%s.%03ld %d %s %s\n", stamp, static_cast<long>(now.tv_usec / 1000),
               static_cast<int>(getpid()), module, text);
  std::fflush(out);
}

}  // namespace

extern "C" unsigned TRC1_Sync(const char* module) {
  const char* levels = std::getenv("QLX_TRACE");
  if (!levels || !*levels || !module) return 0;
  return levelFor(levels, module);
}

extern "C" void TRC1_Event(const char* module, const char* function, const char* event,
                           int hasResult, long result) {
  char line[1024];
  if (hasResult)
    std::snprintf(line, sizeof line, "%s %s = %ld", event, function, result);
  else
    std::snprintf(line, sizeof line, "%s %s", event, function);
  writeLine(module, line);
}

extern "C" void TRC1_Printf(const char* module, const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  writeLine(module, line);
}
