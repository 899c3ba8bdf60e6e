// What the web console of qlxadm serve asks and does, apart from HTTP: each reader returns
// a JSON document (names, texts and bodies escaped by jsonQuote, so they can never become
// markup), each action runs one error-queue operation. Every call opens its own store, so
// the HTTP server may call them from several threads at once.
#ifndef QLX_ADM_CONSOLE_API_H
#define QLX_ADM_CONSOLE_API_H

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace qlx::adm {

// The error queues' entries: element, id, time, reason, sub-reason, failing call,
// backout count, workflow position, exception text and the first bytes of the body.
// False with `error` set when the home cannot be read.
bool errorsJson(std::string& json, std::string& error);
// The last `count` entries of the broker log, oldest first.
std::string logJson(size_t count);
// The directory as `qlxadm show` prints it.
bool directoryJson(std::string& json, std::string& error);

// Resubmits (`purge` false) or removes the error-queue entry `id` of `element` ("all":
// every entry). The number of entries done; -1 with `error` set (bad input or refusal).
int64_t errorAction(bool purge, const std::string& element, const std::string& id,
                    std::string& error);

// The put and got counts of every queue, sampled at a fixed interval, for the console's
// rate charts. Thread-safe.
class RateHistory {
 public:
  static constexpr size_t kSamples = 120;
  static constexpr int kIntervalSeconds = 5;

  // Reads the counters once and keeps the sample (the oldest goes past kSamples).
  void sample();
  // {"interval":5,"samples":[{"t":...,"q":{"element:E":[put,got],...}},...]}
  std::string json() const;

 private:
  struct Sample {
    int64_t time;
    std::map<std::string, std::pair<uint64_t, uint64_t>> queues;
  };
  mutable std::mutex mutex_;
  std::deque<Sample> samples_;
};

}  // namespace qlx::adm

#endif  // QLX_ADM_CONSOLE_API_H
