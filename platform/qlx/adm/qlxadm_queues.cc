// qlxadm commands over the broker home: queues, browse, get, log, reset.
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>

#include "admin.h"
#include "directory_model.h"
#include "qlxadm.h"
#include "settings.h"

namespace qlx::adm {
namespace {

// The store of the broker address, open; null (complained) when it cannot be opened.
std::unique_ptr<BrokerStore> openStore() {
  std::unique_ptr<BrokerStore> store = makeBrokerStore();
  std::string error;
  if (store->open(error)) return store;
  complain(1, error);
  return nullptr;
}

// The same for a command that only looks: a home that holds no broker yet (QLX_HOME
// unset or mistyped) is reported, not made into a new empty one.
std::unique_ptr<BrokerStore> openToLook() {
  std::string error;
  std::unique_ptr<BrokerStore> store = openExisting(error);
  if (!store) complain(1, error);
  return store;
}

// A one-line view of a body: printable characters as they are, others as '.'.
std::string preview(const std::string& bytes, size_t limit = 60) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

void printMessage(const MessageRow& row, bool claimed) {
  const Theme& t = row.theme;
  std::cout << "message " << row.id << (claimed ? " (in flight)" : "") << "\n"
            << "  put " << timeText(row.putSec) << "  backout " << row.backout
            << "  format '" << row.formatName << "'  " << row.body.size() << " bytes"
            << (row.tag.empty() ? "" : ", tag " + std::to_string(row.tag.size()) + " bytes")
            << "\n  msgid " << hexText(row.msgId) << "\n  correlid " << hexText(row.correlId)
            << "\n  theme " << hexText(std::string(t.id.begin(), t.id.end())) << " service '"
            << t.service << "' from " << t.origin << ", hop " << t.position + 1 << " of "
            << t.hops.size() << "\n  body: " << preview(row.body) << "\n";
}

int usageError(const std::string& text) { return complain(2, text + " (see qlxadm --help)"); }

}  // namespace

std::string timeText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

int complain(int status, const std::string& text) {
  std::cerr << "qlxadm: " + text + "\n";
  return status;
}

int complainInBroker(int status, const std::string& text) {
  const std::string broker = brokerInUse();
  if (text.find(broker) != std::string::npos) return complain(status, text);
  return complain(status, text + " (" + broker + ")");
}

bool parseNumber(const std::string& text, long long& value) {
  const size_t digits = text.rfind('-', 0) == 0 ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
    return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0';
}

bool checkName(const char* what, const std::string& name, std::string& error) {
  const std::string problem = checkDirectoryName(name);
  if (problem.empty()) return true;
  error = std::string(what) + " name " + problem;
  return false;
}

std::string unknownOwner(BrokerStore& store, const std::string& queue) {
  const size_t colon = queue.find(':');
  const std::string kind = queue.substr(0, colon);
  const std::string name = colon == std::string::npos ? "" : queue.substr(colon + 1);
  const bool element = kind == "element" || kind == "error";
  if (!element && kind != "client") return "";
  EntryFacts facts;
  if (store.findEntry(element, name, facts) != 0) return "";
  return "no " + std::string(element ? "element " : "client ") + name + " in the directory";
}

int queues(const Args& args) {
  if (!args.empty()) return usageError("queues takes no arguments");
  std::vector<QueueInfo> list;
  std::string error;
  std::unique_ptr<BrokerStore> store = openToLook();
  if (!store) return 1;
  if (!listQueues(*store, list, error)) return complain(1, error);
  // Which broker this is: a mistyped QLX_HOME shows here as an empty broker elsewhere.
  std::printf("%s\n", settingsSummary(homePath()).c_str());
  std::printf("%-40s %8s %9s %10s %11s\n", "QUEUE", "DEPTH", "IN-FLIGHT", "BACKED-OUT",
              "MAX-BACKOUT");
  for (const QueueInfo& q : list)
    std::printf("%-40s %8lld %9lld %10lld %11lld\n", q.queue.c_str(),
                static_cast<long long>(q.depth), static_cast<long long>(q.inFlight),
                static_cast<long long>(q.backedOut), static_cast<long long>(q.maxBackout));
  return 0;
}

int browse(const Args& args) {
  if (args.size() != 1) return usageError("browse takes one QUEUE");
  std::string error;
  std::unique_ptr<BrokerStore> store = openToLook();
  if (!store) return 1;
  const std::string queue = resolveQueue(*store, args[0], error);
  std::vector<BrowsedMessage> rows;
  if (queue.empty()) return complainInBroker(1, error);
  if (!browseQueue(*store, queue, rows, error)) return complain(1, error);
  // Messages left on the queue of an entry since deleted are still shown.
  const std::string unknown = rows.empty() ? unknownOwner(*store, queue) : "";
  if (!unknown.empty()) return complainInBroker(1, unknown);
  std::cout << queue << ": " << rows.size() << " message(s)\n";
  for (const BrowsedMessage& m : rows) printMessage(m.row, m.claimed);
  return 0;
}

int get(const Args& args) {
  if (args.size() != 1) return usageError("get takes one QUEUE");
  std::string error;
  std::unique_ptr<BrokerStore> store = openToLook();
  if (!store) return 1;
  const std::string queue = resolveQueue(*store, args[0], error);
  if (queue.empty()) return complainInBroker(1, error);
  MessageRow row;
  int found = takeFirst(*store, queue, row, error);
  if (found < 0) return complain(1, error);
  if (found == 0) {
    // An entry not in the directory says so, as browse does; an empty queue of one that
    // is keeps its plain words.
    const std::string unknown = unknownOwner(*store, queue);
    if (!unknown.empty()) return complainInBroker(1, unknown);
    return complain(1, "queue " + queue + " holds no ready message");
  }
  std::fwrite(row.body.data(), 1, row.body.size(), stdout);
  if (!row.body.empty() && row.body.back() != '\n') std::fputc('\n', stdout);
  return 0;
}

int log(const Args& args) {
  long long count = 20;
  if (!args.empty() && !(args.size() == 2 && args[0] == "-n" && parseNumber(args[1], count) &&
                         count >= 0))
    return usageError("log takes -n N");
  std::ifstream in(logPath());
  if (!in) {
    std::cout << "no log entries yet (" << absoluteHome(homePath()) << "/log)\n";
    return 0;
  }
  std::deque<std::string> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == ' ' && !entries.empty()) {
      entries.back() += "\n" + line;  // continuation of the entry before
      continue;
    }
    entries.push_back(line);
    if (entries.size() > static_cast<size_t>(count)) entries.pop_front();
  }
  for (const std::string& entry : entries) std::cout << entry << "\n";
  return 0;
}

int reset(const Args& args) {
  if (!args.empty()) return usageError("reset takes no arguments");
  std::string error;
  std::unique_ptr<BrokerStore> store = openStore();
  if (!store) return 1;
  if (!resetRuntime(*store, error)) return complain(1, error);
  std::cout << "queues and faults emptied; the directory is kept\n";
  return 0;
}

}  // namespace qlx::adm
