// The broker log, $QLX_HOME/log: one entry per write, "date time pid connection severity
// text"; continuation lines of a text that spans lines are indented by four blanks.
#ifndef QLX_LOG_H
#define QLX_LOG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qlx {

enum LogSeverity : uint32_t { kInfo = 0, kWarning = 1, kError = 2, kSevere = 3 };

// Appends one entry. Returns 0 on success, else the errno of the failure.
int appendLog(uint32_t severity, std::string_view connection, std::string_view text);

// Whether the log can be written: the home and the log are made when missing and the log
// is opened for appending. The log stays on this host whatever the store, so a connection
// checks it before it starts: a server whose log goes nowhere must not run. False with
// `error` saying why.
bool logWritable(std::string& error);

// The entry text for `text`: leading and trailing line ends dropped, inner line ends
// followed by the indent.
std::string logEntryText(std::string_view text);

}  // namespace qlx

#endif  // QLX_LOG_H
