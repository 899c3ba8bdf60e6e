// The counters of the embedded store: a file "metrics" in the broker home that every
// process of the broker maps, one atomic add per count and nothing written to the
// database, so the counts survive the processes but not the machine.
#ifndef QLX_MAPPED_METRICS_H
#define QLX_MAPPED_METRICS_H

#include <string>

#include "metrics.h"

namespace qlx {

// The counters of the broker at `home`, opened on first use and kept (owned by the
// process) until it ends. With QLX_METRICS=off, or when the home's counter file cannot be
// mapped, a NoMetrics that says why.
Metrics& metricsOf(const std::string& home);

}  // namespace qlx

#endif  // QLX_MAPPED_METRICS_H
