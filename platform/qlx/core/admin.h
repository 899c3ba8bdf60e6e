// Administration of the broker home, shared by qlxadm and the tests: queue depths,
// browsing and draining queues, the error queues, reset of the runtime state. Fault
// injection is in faults.h, its rows in the store (broker_store.h).
#ifndef QLX_ADMIN_H
#define QLX_ADMIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "broker_store.h"
#include "queue.h"

namespace qlx {

// Every queue that holds messages, after rolling back units of work of ended processes.
bool listQueues(BrokerStore& store, std::vector<QueueInfo>& queues, std::string& error);

// The queue a name given on the command line means: "kind:NAME" as given; a bare name
// that is an element, a client or a queue holding messages (in that order of preference).
// Empty with `error` set when the name is unknown or ambiguous; for an unknown name the
// error suggests KIND:NAME only for the queues of that name that hold messages.
std::string resolveQueue(BrokerStore& store, const std::string& name, std::string& error);

// The messages of a queue in delivery order (claimed ones included and marked).
bool browseQueue(BrokerStore& store, const std::string& queue, std::vector<BrowsedMessage>& rows,
                 std::string& error);
// Takes the first ready message off a queue. 1 taken, 0 queue empty, -1 error.
int takeFirst(BrokerStore& store, const std::string& queue, MessageRow& row, std::string& error);

// Empties messages and faults and forgets connections of ended processes; the directory
// stays.
bool resetRuntime(BrokerStore& store, std::string& error);

// Hexadecimal digits of bytes.
std::string hexText(const std::string& bytes);

}  // namespace qlx

#endif  // QLX_ADMIN_H
