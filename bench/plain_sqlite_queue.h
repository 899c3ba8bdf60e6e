// The plain queue on SQLite: what one would write by hand for the broker's cycle, to set
// the broker's figures beside. One table; a consumer's cycle is one transaction (BEGIN
// IMMEDIATE, select the first request, insert the response, delete the request, COMMIT),
// WAL, synchronous FULL or NORMAL, a busy timeout. The requests are all there before the
// consumers start, as the broker's are in the comparison.
#ifndef ZVR_BENCH_PLAIN_SQLITE_QUEUE_H
#define ZVR_BENCH_PLAIN_SQLITE_QUEUE_H

#include <cstdint>
#include <string>

namespace bench {

// Makes the queue's database at `path` (FULL when `full`, else NORMAL) with `requests`
// requests of kBody bytes waiting.
void makePlainSqliteQueue(const std::string& path, int64_t full, int requests);
// A consumer process: reads a byte from `start`, cycles for `millis`, writes its count of
// cycles (int64_t) to `result` and exits.
[[noreturn]] void plainSqliteConsumer(const std::string& path, int64_t full, int start,
                                      int result, int64_t millis);

}  // namespace bench

#endif  // ZVR_BENCH_PLAIN_SQLITE_QUEUE_H
