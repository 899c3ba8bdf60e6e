// The plain queue on SQLite: what one would write by hand for the broker's cycle, to set
// the broker's figures beside. One table; a consumer's cycle is one transaction (BEGIN
// IMMEDIATE, select the first request, insert the response, delete the request, COMMIT),
// WAL, synchronous FULL or NORMAL, a busy timeout. A feeder keeps requests waiting and
// takes the responses one at a time, as the broker's feeder does through its gets.
#ifndef ZVR_BENCH_PLAIN_SQLITE_QUEUE_H
#define ZVR_BENCH_PLAIN_SQLITE_QUEUE_H

#include <cstdint>
#include <string>

namespace bench {

// Makes the queue's database at `path` (FULL when `full`, else NORMAL).
void makePlainSqliteQueue(const std::string& path, int64_t full);
// The feeder process: keeps `ahead` requests waiting, takes the responses. Never returns.
[[noreturn]] void plainSqliteFeeder(const std::string& path, int64_t full, int ahead);
// A consumer process: reads a byte from `start`, cycles for `millis`, writes its count of
// cycles (int64_t) to `result` and exits.
[[noreturn]] void plainSqliteConsumer(const std::string& path, int64_t full, int start,
                                      int result, int64_t millis);

}  // namespace bench

#endif  // ZVR_BENCH_PLAIN_SQLITE_QUEUE_H
