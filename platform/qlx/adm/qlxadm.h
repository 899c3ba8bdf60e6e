// The commands of qlxadm, the broker's admin tool. Each takes the words after the command
// name and returns the exit status (0 done, 1 failed, 2 usage error); messages go to
// standard error, results to standard output.
#ifndef QLX_QLXADM_H
#define QLX_QLXADM_H

#include <string>
#include <vector>

namespace qlx::adm {

using Args = std::vector<std::string>;

int queues(const Args& args);
int browse(const Args& args);
int get(const Args& args);
int errors(const Args& args);
int log(const Args& args);
int fault(const Args& args);
int reset(const Args& args);
int send(const Args& args);
int echo(const Args& args);

// Prints "qlxadm: <text>" to standard error and returns `status`.
int complain(int status, const std::string& text);
// A whole decimal number; false when `text` is not one.
bool parseNumber(const std::string& text, long long& value);

}  // namespace qlx::adm

#endif  // QLX_QLXADM_H
