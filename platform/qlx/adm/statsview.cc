// Table, JSON and Prometheus renderings of the broker's stats.
#include "statsview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qlxadm.h"

namespace qlx::adm {
namespace {

int64_t ageOf(const BrokerStats& stats, const QueueStats& q) {
  return q.oldestPut == 0 ? 0 : std::max<int64_t>(0, stats.takenAt - q.oldestPut);
}

double meanMillis(const QueueCounters& c) {
  const uint64_t n = c.processed();
  return n == 0 ? 0.0 : static_cast<double>(c.processingMicros) / 1000.0 / static_cast<double>(n);
}

std::string format(const char* pattern, auto... values) {
  char line[512];
  std::snprintf(line, sizeof line, pattern, values...);
  return line;
}

// A label value of the exposition format: backslash, double quote and line feed escaped.
std::string labelValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// The labels of a queue: the queue itself and, for an element's queue or error queue, the
// element.
std::string queueLabels(const std::string& queue) {
  std::string labels = "queue=\"" + labelValue(queue) + "\"";
  for (const char* kind : {"element:", "error:"})
    if (queue.rfind(kind, 0) == 0)
      labels += ",element=\"" + labelValue(std::string_view(queue).substr(std::strlen(kind))) + "\"";
  return labels;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

template <typename Value>
void queueFamily(std::string& out, const BrokerStats& stats, const char* name, const char* type,
                 const char* help, Value value) {
  family(out, name, type, help);
  for (const QueueStats& q : stats.queues)
    out += std::string(name) + "{" + queueLabels(q.queue) + "} " + std::to_string(value(q)) + "\n";
}

void histogram(std::string& out, const BrokerStats& stats) {
  const char* name = "qlx_processing_seconds";
  family(out, name, "histogram",
         "Time from a unit of work's first get to its commit, by the queue's connections.");
  for (const QueueStats& q : stats.queues) {
    const QueueCounters& c = q.counters;
    if (c.processed() == 0) continue;
    const std::string labels = queueLabels(q.queue);
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kProcessingBuckets; ++i) {
      cumulative += c.buckets[i];
      const std::string le = i < kProcessingBounds.size()
                                 ? format("%g", static_cast<double>(kProcessingBounds[i]) / 1e6)
                                 : "+Inf";
      out += std::string(name) + "_bucket{" + labels + ",le=\"" + le + "\"} " +
             std::to_string(cumulative) + "\n";
    }
    out += std::string(name) + "_sum{" + labels + "} " +
           format("%.6f", static_cast<double>(c.processingMicros) / 1e6) + "\n";
    out += std::string(name) + "_count{" + labels + "} " + std::to_string(cumulative) + "\n";
  }
}

void servers(std::string& out, const BrokerStats& stats) {
  family(out, "qlx_element_servers", "gauge", "Live server connections of the element.");
  for (const ServerStats& e : stats.elements)
    out += "qlx_element_servers{element=\"" + labelValue(e.element) + "\"} " +
           std::to_string(e.servers) + "\n";
  family(out, "qlx_element_server_since_timestamp_seconds", "gauge",
         "When the element's longest-connected live server connected (Unix time).");
  for (const ServerStats& e : stats.elements)
    if (e.servers > 0)
      out += "qlx_element_server_since_timestamp_seconds{element=\"" + labelValue(e.element) +
             "\"} " + std::to_string(e.since) + "\n";
}

}  // namespace

std::string jsonQuote(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F || c == '<' || c == '>' || c == '&') {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string statsTable(const BrokerStats& stats) {
  std::string out = format("%-32s %7s %9s %9s %8s %8s %8s %8s %8s %9s\n", "QUEUE", "DEPTH",
                           "IN-FLIGHT", "OLDEST-S", "PUT", "GOT", "COMMITS", "ROLLBACK",
                           "BACKOUTS", "MEAN-MS");
  for (const QueueStats& q : stats.queues) {
    const auto& n = q.counters.counts;
    out += format("%-32s %7lld %9lld %9lld %8llu %8llu %8llu %8llu %8llu %9.3f\n",
                  q.queue.c_str(), static_cast<long long>(q.depth),
                  static_cast<long long>(q.inFlight), static_cast<long long>(ageOf(stats, q)),
                  static_cast<unsigned long long>(n[kCountPut]),
                  static_cast<unsigned long long>(n[kCountGot]),
                  static_cast<unsigned long long>(n[kCountCommitted]),
                  static_cast<unsigned long long>(n[kCountRolledBack]),
                  static_cast<unsigned long long>(n[kCountBackout]), meanMillis(q.counters));
  }
  out += format("\n%-32s %7s  %s\n", "ELEMENT", "SERVERS", "CONNECTED-SINCE");
  for (const ServerStats& e : stats.elements)
    out += format("%-32s %7lld  %s\n", e.element.c_str(), static_cast<long long>(e.servers),
                  e.servers ? timeText(e.since).c_str() : "-");
  if (!stats.countersNote.empty()) out += "\nno counters: " + stats.countersNote + "\n";
  return out;
}

std::string statsJson(const BrokerStats& stats) {
  std::string out = "{\"taken_at\":" + std::to_string(stats.takenAt) +
                    ",\"counters_note\":" + jsonQuote(stats.countersNote) + ",\"queues\":[";
  for (size_t i = 0; i < stats.queues.size(); ++i) {
    const QueueStats& q = stats.queues[i];
    const auto& n = q.counters.counts;
    out += (i ? ",{" : "{") + std::string("\"queue\":") + jsonQuote(q.queue) +
           ",\"depth\":" + std::to_string(q.depth) + ",\"in_flight\":" + std::to_string(q.inFlight) +
           ",\"max_backout\":" + std::to_string(q.maxBackout) +
           ",\"oldest_age_seconds\":" + std::to_string(ageOf(stats, q)) +
           ",\"put\":" + std::to_string(n[kCountPut]) + ",\"got\":" + std::to_string(n[kCountGot]) +
           ",\"committed\":" + std::to_string(n[kCountCommitted]) +
           ",\"rolled_back\":" + std::to_string(n[kCountRolledBack]) +
           ",\"backouts\":" + std::to_string(n[kCountBackout]) +
           ",\"processed\":" + std::to_string(q.counters.processed()) +
           ",\"processing_mean_ms\":" + format("%.3f", meanMillis(q.counters)) + "}";
  }
  out += "],\"elements\":[";
  for (size_t i = 0; i < stats.elements.size(); ++i) {
    const ServerStats& e = stats.elements[i];
    out += (i ? ",{" : "{") + std::string("\"element\":") + jsonQuote(e.element) +
           ",\"servers\":" + std::to_string(e.servers) + ",\"since\":" + std::to_string(e.since) +
           "}";
  }
  return out + "]}\n";
}

std::string statsPrometheus(const BrokerStats& stats) {
  std::string out;
  family(out, "qlx_up", "gauge", "1: the broker home was read.");
  out += "qlx_up 1\n";
  family(out, "qlx_counters_kept", "gauge", "1 when the broker keeps its counters.");
  out += std::string("qlx_counters_kept ") + (stats.countersNote.empty() ? "1" : "0") + "\n";
  queueFamily(out, stats, "qlx_queue_depth_messages", "gauge", "Ready messages on the queue.",
              [](const QueueStats& q) { return q.depth; });
  queueFamily(out, stats, "qlx_queue_in_flight_messages", "gauge",
              "Messages of the queue claimed by an open unit of work.",
              [](const QueueStats& q) { return q.inFlight; });
  queueFamily(out, stats, "qlx_queue_oldest_message_age_seconds", "gauge",
              "Age of the oldest message on the queue (0 when empty).",
              [&stats](const QueueStats& q) { return ageOf(stats, q); });
  queueFamily(out, stats, "qlx_queue_max_backout_count", "gauge",
              "The highest backout count of a message on the queue.",
              [](const QueueStats& q) { return q.maxBackout; });
  const struct {
    Counter counter;
    const char* name;
    const char* help;
  } kCounts[] = {
      {kCountPut, "qlx_queue_put_messages_total",
       "Messages made visible on the queue (on an error queue: error-profile reports)."},
      {kCountGot, "qlx_queue_got_messages_total", "Messages taken off the queue."},
      {kCountCommitted, "qlx_units_committed_total", "Units of work committed by the queue's connections."},
      {kCountRolledBack, "qlx_units_rolled_back_total", "Units of work rolled back by the queue's connections."},
      {kCountBackout, "qlx_queue_backouts_total", "Messages returned to the queue by a rollback."}};
  for (const auto& c : kCounts)
    queueFamily(out, stats, c.name, "counter", c.help,
                [&c](const QueueStats& q) { return q.counters.counts[c.counter]; });
  histogram(out, stats);
  servers(out, stats);
  return out;
}

}  // namespace qlx::adm
