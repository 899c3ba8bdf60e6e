// qlxadm stats and health: the broker's counters and state for an operator and for
// monitoring.
#include <iostream>

#include "brokerstats.h"
#include "qlxadm.h"
#include "settings.h"
#include "statsview.h"

namespace qlx::adm {

// Reading never makes a broker: a home without a database (a mistyped QLX_HOME) is no
// broker to report on, healthy or not.
std::unique_ptr<BrokerStore> openExisting(std::string& error) {
  if (!brokerExists())
    return (error = "no broker at " + absoluteHome(homePath()) +
                    " (set QLX_HOME or --home to the servers' home; qlxadm load makes a new one)"),
           nullptr;
  return openBroker(error);
}

std::unique_ptr<BrokerStore> openBroker(std::string& error) {
  std::unique_ptr<BrokerStore> store = makeBrokerStore();
  if (!store->open(error)) return nullptr;
  return store;
}

namespace {

constexpr long long kDefaultMaxAge = 300;

bool readStats(BrokerStats& stats, std::string& error) {
  std::unique_ptr<BrokerStore> store = openExisting(error);
  return store && collectStats(*store, stats, error);
}

}  // namespace

int stats(const Args& args) {
  const bool json = args.size() == 1 && args[0] == "--json";
  if (!args.empty() && !json) return complain(2, "stats takes --json (see qlxadm --help)");
  BrokerStats now;
  std::string error;
  if (!readStats(now, error)) return complain(1, error);
  std::cout << (json ? statsJson(now) : statsTable(now));
  return 0;
}

int health(const Args& args) {
  long long maxAge = kDefaultMaxAge;
  if (!args.empty() &&
      !(args.size() == 2 && args[0] == "--max-age" && parseNumber(args[1], maxAge) && maxAge >= 0))
    return complain(2, "health takes --max-age SECONDS (see qlxadm --help)");
  BrokerStats now;
  std::string error;
  if (!readStats(now, error)) {
    std::cout << "unhealthy: broker not reachable: " << error << "\n";
    return 1;
  }
  const std::string problem = healthProblem(now, maxAge);
  if (!problem.empty()) {
    std::cout << "unhealthy: " << problem << "\n";
    return 1;
  }
  int64_t servers = 0;
  for (const ServerStats& e : now.elements) servers += e.servers;
  std::cout << "healthy: " << now.queues.size() << " queue(s), " << servers
            << " live server(s), no message older than " << maxAge << " s\n";
  return 0;
}

}  // namespace qlx::adm
