// The error queues. A request that a business element hands to its error profile is kept
// on the element's error queue "error:E" with the exception that made it fail (report.cc).
// Once the cause is fixed an operator puts it back on the element's queue to be processed
// again, or removes it; qlxadm errors, resubmit and purge are built on these operations.
#ifndef QLX_ERRORQUEUE_H
#define QLX_ERRORQUEUE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "broker_store.h"
#include "queue.h"

namespace qlx {

// Which entries of one element's error queue an operation takes: the one with `id`, or
// every entry when `id` is empty.
struct ErrorSelection {
  std::string element;
  std::optional<int64_t> id;
};

// The entries of `element`'s error queue ("" for every element's), oldest first, each
// with its descriptor, body, theme and error fields. False with `error` set on a database
// failure (`rows` then holds what was read).
bool listErrorEntries(BrokerStore& store, const std::string& element, std::vector<MessageRow>& rows,
                      std::string& error);

// Puts the selected entries back on the element's queue "element:E", in one transaction:
// descriptor, ids, body, tag and theme as they were, backout count 0 (the request is
// fresh work, not a poison message), error fields cleared. Refused with nothing moved
// when the element is not in the directory, when `id` names no entry of its error queue,
// when the queue is empty, or when an entry's workflow does not stand at the element.
// The number moved; -1 with `error` set.
int64_t resubmitErrors(BrokerStore& store, const ErrorSelection& which, std::string& error);

// Removes the selected entries in one transaction. Refused as resubmitErrors is when `id`
// names no entry or the queue is empty. The number removed; -1 with `error` set.
int64_t purgeErrors(BrokerStore& store, const ErrorSelection& which, std::string& error);

}  // namespace qlx

#endif  // QLX_ERRORQUEUE_H
