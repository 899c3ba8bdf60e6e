// Choosing the store from the broker address.
#include "broker_store.h"

#include <unistd.h>

#include <cstdlib>

#include "pg_broker.h"
#include "sqlite_broker.h"

namespace qlx {

std::string brokerAddress() {
  const char* broker = std::getenv("QLX_BROKER");
  return broker && *broker ? std::string(broker) : homePath();
}

bool isPostgresAddress(const std::string& address) {
  return address.rfind("postgresql://", 0) == 0 || address.rfind("postgres://", 0) == 0;
}

namespace {

// QLX_BROKER names the PostgreSQL store; without it the embedded store of the home runs.
bool postgresChosen() {
  const char* broker = std::getenv("QLX_BROKER");
  return broker && *broker;
}

}  // namespace

std::unique_ptr<BrokerStore> makeBrokerStore() {
  if (postgresChosen()) return std::make_unique<PgBrokerStore>(brokerAddress());
  return std::make_unique<SqliteBrokerStore>();
}

bool brokerExists() {
  return postgresChosen() || access(databasePath().c_str(), F_OK) == 0;
}

}  // namespace qlx
