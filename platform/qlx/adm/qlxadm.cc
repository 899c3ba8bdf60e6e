// qlxadm: administration of the embedded broker (see usage()).
#include "qlxadm.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "broker_store.h"
#include "directory.h"
#include "settings.h"

namespace {

void usage(std::ostream& out) {
  // The broker in use is named outright: with neither --home nor QLX_HOME a command
  // run in another folder meets another (empty) broker.
  out << "Usage: qlxadm [--home DIR] COMMAND [ARGUMENTS]\n"
         "The broker home is DIR, else $QLX_HOME, else ./.qlx; with QLX_BROKER set to a\n"
         "postgresql:// address the broker is that database (the home keeps the log).\n"
         "In use now: "
      << qlx::brokerInUse()
      << "\n"
         "qlxadm --help lists the commands; qlxadm --version prints the version.\n\n"
         "Directory:\n";
  qlx::directoryUsage(out);
  out << "Queues and messages:\n"
         "  queues                         the home and sync mode, then depth, in-flight and\n"
         "                                 backed-out messages per queue\n"
         "  send SERVICE --as CLIENT [--format F] [--wait MS] [BODY|-]\n"
         "                                 put a request (BODY, or standard input for -,\n"
         "                                 at most 64 MiB)\n"
         "                                 and with --wait print the response body\n"
         "  browse QUEUE                   list a queue's messages (QUEUE: NAME or KIND:NAME,\n"
         "                                 KIND element, client, native or error)\n"
         "  get QUEUE                      take the first message and print its body\n"
         "  echo ELEMENT [--count N]       serve as ELEMENT: forward each request unchanged\n"
         "  errors [ELEMENT]               the error queues: per failed request the element,\n"
         "                                 reason and sub-reason, time, backout count and\n"
         "                                 the start of the body\n"
         "  resubmit ELEMENT ID|--all      put one entry (or all) of the element's error queue\n"
         "                                 back on its queue, descriptor intact, in one\n"
         "                                 transaction, to be processed again\n"
         "  purge ELEMENT ID|--all         remove one entry (or all) of the error queue\n"
         "  log [-n N]                     the last N (default 20) log entries\n"
         "  fault CALL REASON [SUBREASON] [--count N] [--for NAME]\n"
         "                                 make the next N (default 1) calls fail\n"
         "  fault list | fault clear       pending faults\n"
         "  reset                          empty queues and faults, keep the directory\n"
         "  backup FILE                    a consistent copy of the broker database, taken\n"
         "                                 while the servers run (FILE must not exist)\n";
  out << "Monitoring:\n"
         "  stats [--json]                 per queue: depth, in flight, oldest age, puts,\n"
         "                                 gets, commits, rollbacks, backouts, processing\n"
         "                                 time; per element: live servers and since when\n"
         "  health [--max-age SECONDS]     exit 0 when every element with requests waiting\n"
         "                                 has a live server and no message (error queues\n"
         "                                 aside) is older than SECONDS (default 300);\n"
         "                                 else 1 with the reason on one line\n"
         "  serve [--listen ADDR:PORT] [--allow-remote]\n"
         "                                 web console and /metrics (Prometheus) on\n"
         "                                 127.0.0.1:8089 by default\n";
}

// Whether a directory command only reads or removes entries: on a home without a broker
// it has nothing to work on, and must not leave an empty broker behind.
bool needsABroker(const std::string& command) {
  return command == "show" || command == "delete" || command == "unset";
}

// The broker home is opened (and created) only once the command has checked its input.
int directory(int argc, char** argv) {
  std::unique_ptr<qlx::BrokerStore> store;
  const bool existing = needsABroker(argv[0]);
  auto open = [&store, existing](std::string& error) -> qlx::BrokerStore* {
    if (store) return store.get();
    if (existing) {
      store = qlx::adm::openExisting(error);
      return store.get();
    }
    store = qlx::makeBrokerStore();
    if (store->open(error)) return store.get();
    store.reset();
    return nullptr;
  };
  return qlx::directoryCommand(open, argc, argv, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (first < argc && std::strcmp(argv[first], "--home") == 0) {
    if (first + 1 >= argc || argv[first + 1][0] == '\0')
      return qlx::adm::complain(2, "--home takes DIR, the broker home (see qlxadm --help)");
    setenv("QLX_HOME", argv[first + 1], 1);
    first += 2;
  }
  if (first >= argc) {
    usage(std::cerr);
    return 2;
  }
  const std::string command = argv[first];
  if (command == "--version") {
    std::cout << "qlxadm " << ZVR_VERSION << " (build " << __DATE__ << " " << __TIME__ << ")\n";
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    usage(std::cout);
    return 0;
  }
  if (qlx::isDirectoryCommand(argv[first])) return directory(argc - first, argv + first);
  static const std::map<std::string, int (*)(const qlx::adm::Args&)> kCommands = {
      {"queues", qlx::adm::queues}, {"browse", qlx::adm::browse}, {"get", qlx::adm::get},
      {"errors", qlx::adm::errors}, {"log", qlx::adm::log},       {"fault", qlx::adm::fault},
      {"reset", qlx::adm::reset},   {"send", qlx::adm::send},     {"echo", qlx::adm::echo},
      {"resubmit", qlx::adm::resubmit}, {"purge", qlx::adm::purge},
      {"stats", qlx::adm::stats},       {"health", qlx::adm::health},
      {"serve", qlx::adm::serve},       {"backup", qlx::adm::backup}};
  auto found = kCommands.find(command);
  if (found == kCommands.end()) {
    std::cerr << "qlxadm: unknown command " << command << "\n\n";
    usage(std::cerr);
    return 2;
  }
  return found->second(qlx::adm::Args(argv + first + 1, argv + argc));
}
