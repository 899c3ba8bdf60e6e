// Administration of the broker home, shared by qlxadm and the tests: queue depths,
// browsing and draining queues, the error queues, reset of the runtime state. Fault
// injection is in faults.h.
#ifndef QLX_ADMIN_H
#define QLX_ADMIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"
#include "queue.h"
#include "store.h"

namespace qlx {

struct QueueInfo {
  std::string queue;
  int64_t depth = 0;       // ready messages
  int64_t inFlight = 0;    // claimed by an open unit of work
  int64_t backedOut = 0;   // messages with a backout count above 0
  int64_t maxBackout = 0;  // the highest backout count
};

// Every queue that holds messages, after rolling back units of work of ended processes.
bool listQueues(Store& store, std::vector<QueueInfo>& queues, std::string& error);

// The queue a name given on the command line means: "kind:NAME" as given; a bare name
// that is an element, a client or a queue holding messages (in that order of preference).
// Empty with `error` set when the name is unknown or ambiguous.
std::string resolveQueue(Store& store, const std::string& name, std::string& error);

// The messages of a queue in delivery order (claimed ones included, `row.id` < 0 marks
// nothing; claimed rows have `claimed` set).
struct BrowsedMessage {
  MessageRow row;
  bool claimed = false;
};
bool browseQueue(Store& store, const std::string& queue, std::vector<BrowsedMessage>& rows,
                 std::string& error);
// Takes the first ready message off a queue. 1 taken, 0 queue empty, -1 error.
int takeFirst(Store& store, const std::string& queue, MessageRow& row, std::string& error);

// Empties messages and faults and forgets connections of ended processes; the directory
// stays.
bool resetRuntime(Store& store, std::string& error);

// Hexadecimal digits of bytes.
std::string hexText(const std::string& bytes);

}  // namespace qlx

#endif  // QLX_ADMIN_H
