// The commands of qlxadm, the broker's admin tool. Each takes the words after the command
// name and returns the exit status (0 done, 1 failed, 2 usage error); messages go to
// standard error, results to standard output.
#ifndef QLX_QLXADM_H
#define QLX_QLXADM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qlx {
class BrokerStore;
class Store;
}

namespace qlx::adm {

using Args = std::vector<std::string>;

int queues(const Args& args);
int browse(const Args& args);
int get(const Args& args);
int errors(const Args& args);
int resubmit(const Args& args);
int purge(const Args& args);
int log(const Args& args);
int fault(const Args& args);
int reset(const Args& args);
int send(const Args& args);
int echo(const Args& args);
int stats(const Args& args);
int health(const Args& args);
int serve(const Args& args);
int backup(const Args& args);

// Prints "qlxadm: <text>" to standard error and returns `status`.
int complain(int status, const std::string& text);
// The same for a failure that may come of looking in the wrong broker (a name not found):
// the text ends with the broker in use ("(broker home DIR)"), unless the broker's own
// words named it already.
int complainInBroker(int status, const std::string& text);
// A whole decimal number ("-" and digits only); false when `text` is not one or does not
// fit `value`.
bool parseNumber(const std::string& text, long long& value);
// The store of a broker that exists, open; null with `error` set, nothing created, when
// there is none at the broker address ("no broker at HOME ...", the home absolute) or it
// cannot be opened.
std::unique_ptr<BrokerStore> openExisting(std::string& error);
// The store of the broker address, open (created when missing); null with `error` set.
std::unique_ptr<BrokerStore> openBroker(std::string& error);
// Local time of a put or report, "YYYY-MM-DD HH:MM:SS".
std::string timeText(int64_t seconds);
// True when `name` fits the broker's 132-byte name fields and could be a directory entry;
// else false with `error` saying "<what> name ... is ...".
bool checkName(const char* what, const std::string& name, std::string& error);

// "" when the owner of `queue` (KIND:NAME) is in the directory, or the kind has no
// directory entry (native, theme); otherwise "no element NAME in the directory" (or
// client). A name typed wrong then says so instead of showing an empty queue.
std::string unknownOwner(BrokerStore& store, const std::string& queue);

}  // namespace qlx::adm

#endif  // QLX_QLXADM_H
