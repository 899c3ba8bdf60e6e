// Choosing the store from the broker address.
#include "broker_store.h"

#include <unistd.h>

#include <cstdlib>

#include "sqlite_broker.h"

namespace qlx {

std::string brokerAddress() {
  const char* broker = std::getenv("QLX_BROKER");
  return broker && *broker ? std::string(broker) : homePath();
}

std::unique_ptr<BrokerStore> makeBrokerStore() { return std::make_unique<SqliteBrokerStore>(); }

bool brokerExists() { return access(databasePath().c_str(), F_OK) == 0; }

}  // namespace qlx
