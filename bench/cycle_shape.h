// What every queue of the broker benchmarks moves: 1 KiB requests, sent and drained in
// batches, timed by a monotonic clock.
#ifndef ZVR_BENCH_CYCLE_SHAPE_H
#define ZVR_BENCH_CYCLE_SHAPE_H

#include <chrono>
#include <cstddef>

namespace bench {

inline constexpr size_t kBody = 1024;
inline constexpr int kBatch = 200;

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace bench

#endif  // ZVR_BENCH_CYCLE_SHAPE_H
