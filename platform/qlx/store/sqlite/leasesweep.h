// Lease files left by processes that ended between taking their lease and registering
// their connection. No connection row names them, so the recovery of ended connections
// never looks at them; without this sweep they would pile up in the home for good.
#ifndef QLX_LEASESWEEP_H
#define QLX_LEASESWEEP_H

#include <ctime>

namespace qlx {

class Store;

// A lease file younger than this is left alone: its process may still be on its way to
// registering (the database may keep it busy for up to half a minute).
constexpr time_t kOrphanLeaseSeconds = 300;

// Removes every lease file of the store's home that no connection row names, that no
// process holds, and that is older than kOrphanLeaseSeconds at `now`; returns how many.
// Such a lease never listed a claim (claims are taken only by registered connections),
// so nothing goes back to a queue.
int reclaimOrphanLeases(Store& store, time_t now);

}  // namespace qlx

#endif  // QLX_LEASESWEEP_H
