// The broker's stats (brokerstats.h) as qlxadm shows them: a table for a terminal, JSON for
// scripts and the web console, and the Prometheus text exposition format for /metrics.
// Names of queues and elements come from the directory and are escaped for each format.
#ifndef QLX_ADM_STATSVIEW_H
#define QLX_ADM_STATSVIEW_H

#include <string>
#include <string_view>

#include "brokerstats.h"

namespace qlx::adm {

std::string statsTable(const BrokerStats& stats);
std::string statsJson(const BrokerStats& stats);
std::string statsPrometheus(const BrokerStats& stats);

// `text` as a JSON string, quotes included; bytes that are not printable ASCII are written
// as \u00XX, so the result is plain ASCII whatever a name or body holds.
std::string jsonQuote(std::string_view text);

}  // namespace qlx::adm

#endif  // QLX_ADM_STATSVIEW_H
