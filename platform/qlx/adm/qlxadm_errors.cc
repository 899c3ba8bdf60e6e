// qlxadm errors, resubmit and purge: the error queues as an operator acts on them.
#include <iostream>

#include "admin.h"
#include "errorqueue.h"
#include "qlxadm.h"

namespace qlx::adm {
namespace {

// At most `limit` bytes of `bytes` on one line: printable ASCII as it is, the rest as C
// escapes, so that a body of any bytes shows exactly what it holds.
std::string escaped(const std::string& bytes, size_t limit) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

void printEntry(const MessageRow& row) {
  const ErrorInfo& e = *row.error;
  const Theme& t = row.theme;
  std::cout << row.queue << " entry " << row.id << " at " << timeText(row.putSec) << " by "
            << e.reporter << ": reason " << e.reason << ", sub-reason " << e.subReason
            << ", call type " << e.callType << ", backout " << row.backout
            << ", actions requested 0x" << std::hex << e.defaultActions << ", performed 0x"
            << e.performedActions << std::dec << "\n  request: format '"
            << escaped(row.formatName, 132) << "', msgid " << hexText(row.msgId);
  if (!t.hops.empty())
    std::cout << ", service '" << t.service << "' from " << t.origin << ", hop "
              << t.position + 1 << " of " << t.hops.size();
  std::cout << "\n  text: " << escaped(e.text, 400) << "\n  body (" << row.body.size()
            << " bytes): " << escaped(row.body, 64) << "\n";
}

// ELEMENT ID|--all of resubmit and purge.
bool parseSelection(const char* command, const Args& args, ErrorSelection& which,
                    std::string& error) {
  long long id = 0;
  if (args.size() != 2) return (error = std::string(command) + " takes ELEMENT ID|--all"), false;
  if (!checkName("element", args[0], error)) return false;
  which.element = args[0];
  if (args[1] == "--all") return true;
  if (!parseNumber(args[1], id) || id < 1)
    return (error = std::string(command) + ": ID is an entry number shown by qlxadm errors, "
                                           "or --all"),
           false;
  which.id = id;
  return true;
}

// Runs resubmit or purge: opens the home only once the command line is sound.
int onSelection(const char* command, const Args& args,
                int64_t (*operation)(BrokerStore&, const ErrorSelection&, std::string&),
                const char* done) {
  ErrorSelection which;
  std::string error;
  if (!parseSelection(command, args, which, error))
    return complain(2, error + " (see qlxadm --help)");
  std::unique_ptr<BrokerStore> store = makeBrokerStore();
  if (!store->open(error)) return complain(1, error);
  const int64_t count = operation(*store, which, error);
  if (count < 0) return complainInBroker(1, std::string(command) + ": " + error);
  std::cout << done << " " << count << (count == 1 ? " request" : " requests")
            << " from the error queue of " << which.element
            << (operation == resubmitErrors ? " to element:" + which.element : "") << "\n";
  return 0;
}

}  // namespace

int errors(const Args& args) {
  std::string error;
  if (args.size() > 1) return complain(2, "errors takes at most one ELEMENT (see qlxadm --help)");
  if (!args.empty() && !checkName("element", args[0], error)) return complain(2, error);
  std::unique_ptr<BrokerStore> store = openExisting(error);
  std::vector<MessageRow> rows;
  if (!store) return complain(1, error);
  if (!listErrorEntries(*store, args.empty() ? "" : args[0], rows, error))
    return complain(1, error);
  for (const MessageRow& row : rows) {
    if (row.error) printEntry(row);
  }
  const std::string unknown =
      rows.empty() && !args.empty() ? unknownOwner(*store, "element:" + args[0]) : "";
  if (!unknown.empty()) return complainInBroker(1, unknown);
  if (rows.empty()) std::cout << "no entries on the error queues\n";
  return 0;
}

int resubmit(const Args& args) {
  return onSelection("resubmit", args, resubmitErrors, "resubmitted");
}

int purge(const Args& args) { return onSelection("purge", args, purgeErrors, "removed"); }

}  // namespace qlx::adm
