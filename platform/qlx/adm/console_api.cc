// The console's readers and actions over the broker home.
#include "console_api.h"

#include <ctime>
#include <fstream>
#include <sstream>

#include "brokerstats.h"
#include "directory.h"
#include "errorqueue.h"
#include "qlxadm.h"
#include "statsview.h"

namespace qlx::adm {
namespace {

constexpr size_t kBodyPreview = 256;
constexpr size_t kTextLimit = 1000;

std::string entryJson(const MessageRow& row) {
  const ErrorInfo& e = *row.error;
  const Theme& t = row.theme;
  const std::string element = row.queue.substr(row.queue.find(':') + 1);
  std::string body = row.body.substr(0, kBodyPreview);
  return "{\"element\":" + jsonQuote(element) + ",\"id\":" + std::to_string(row.id) +
         ",\"time\":" + jsonQuote(timeText(row.putSec)) + ",\"reason\":" +
         std::to_string(e.reason) + ",\"sub_reason\":" + std::to_string(e.subReason) +
         ",\"call_type\":" + std::to_string(e.callType) + ",\"backout\":" +
         std::to_string(row.backout) + ",\"reporter\":" + jsonQuote(e.reporter) +
         ",\"service\":" + jsonQuote(t.service) + ",\"origin\":" + jsonQuote(t.origin) +
         ",\"hop\":" + std::to_string(t.hops.empty() ? 0 : t.position + 1) + ",\"hops\":" +
         std::to_string(t.hops.size()) + ",\"format\":" + jsonQuote(row.formatName) +
         ",\"text\":" + jsonQuote(e.text.substr(0, kTextLimit)) + ",\"body_size\":" +
         std::to_string(row.body.size()) + ",\"body\":" + jsonQuote(body) + "}";
}

}  // namespace

bool errorsJson(std::string& json, std::string& error) {
  std::unique_ptr<BrokerStore> store = openBroker(error);
  std::vector<MessageRow> rows;
  if (!store || !listErrorEntries(*store, "", rows, error)) return false;
  json = "[";
  for (const MessageRow& row : rows) {
    if (!row.error) continue;
    json += (json.size() > 1 ? "," : "") + entryJson(row);
  }
  json += "]";
  return true;
}

std::string logJson(size_t count) {
  std::ifstream in(logPath());
  std::deque<std::string> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == ' ' && !entries.empty()) {
      entries.back() += "\n" + line;
      continue;
    }
    entries.push_back(line);
    if (entries.size() > count) entries.pop_front();
  }
  std::string json = "[";
  for (const std::string& entry : entries) json += (json.size() > 1 ? "," : "") + jsonQuote(entry);
  return json + "]";
}

bool directoryJson(std::string& json, std::string& error) {
  std::unique_ptr<BrokerStore> store = openBroker(error);
  if (!store) return false;
  std::ostringstream out, err;
  char show[] = "show";
  char* argv[] = {show, nullptr};
  if (directoryCommand(*store, 1, argv, out, err) != 0) {
    error = err.str();
    return false;
  }
  json = "{\"text\":" + jsonQuote(out.str()) + "}";
  return true;
}

int64_t errorAction(bool purge, const std::string& element, const std::string& id,
                    std::string& error) {
  ErrorSelection which;
  long long number = 0;
  if (!checkName("element", element, error)) return -1;
  which.element = element;
  if (id != "all") {
    if (!parseNumber(id, number) || number < 1)
      return (error = "the entry id is a number shown on the error page, or all"), -1;
    which.id = number;
  }
  std::unique_ptr<BrokerStore> store = openBroker(error);
  if (!store) return -1;
  return purge ? purgeErrors(*store, which, error) : resubmitErrors(*store, which, error);
}

void RateHistory::sample() {
  std::string error;
  std::unique_ptr<BrokerStore> store = openBroker(error);
  std::vector<QueueCounters> counted;
  if (!store || !store->metrics().read(counted, error)) return;
  Sample s{static_cast<int64_t>(time(nullptr)), {}};
  for (const QueueCounters& q : counted)
    s.queues[q.queue] = {q.counts[kCountPut], q.counts[kCountGot]};
  std::lock_guard<std::mutex> lock(mutex_);
  samples_.push_back(std::move(s));
  if (samples_.size() > kSamples) samples_.pop_front();
}

std::string RateHistory::json() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = "{\"interval\":" + std::to_string(kIntervalSeconds) + ",\"samples\":[";
  for (size_t i = 0; i < samples_.size(); ++i) {
    const Sample& s = samples_[i];
    out += (i ? ",{\"t\":" : "{\"t\":") + std::to_string(s.time) + ",\"q\":{";
    bool first = true;
    for (const auto& [queue, counts] : s.queues) {
      out += (first ? "" : ",") + jsonQuote(queue) + ":[" + std::to_string(counts.first) + "," +
             std::to_string(counts.second) + "]";
      first = false;
    }
    out += "}}";
  }
  return out + "]}";
}

}  // namespace qlx::adm
