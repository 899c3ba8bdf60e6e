// Themes: the workflow that travels with a message. A request put to a service starts a
// theme (a 24-byte theme id, the originating client, the service's hops); every message
// carries its theme and the position of the hop whose queue holds it. Connections refer
// to themes through 32-bit theme handles; the theme query renders a theme as the list
// layout below, which the session layer walks.
#ifndef QLX_THEME_H
#define QLX_THEME_H

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory_model.h"
#include "qlx.h"

namespace qlx {

class BrokerStore;

// Theme list layout (all words 32-bit, host order).
//   list:  0 total length, 4 query code, 8 item count, 12 reserved, items from 16
//   item:  0 item length (16 + data rounded up to 4), 4 reserved, 8 type, 12 data length,
//          16 data
//   theme id item (type 1): the 24-byte theme id
//   workflow item (type 4): 0 position of the current hop (0 = first), 4 number of hops
//          that follow the current one (0 at the end of the workflow), 8 current hop
//          record, 412 next-hop record (zero at the end of the workflow)
//   hop record: 0 application type (1 business component, 3 client, 4 native, other
//          values as stored), 4 native application name, 137 client name, 270 business
//          component name; each name 132 characters and a NUL
inline constexpr size_t kListHeader = 16;
inline constexpr size_t kItemHeader = 16;
inline constexpr size_t kHopRecordSize = 403;
inline constexpr size_t kHopNativeName = 4, kHopClientName = 137, kHopComponentName = 270;
inline constexpr size_t kWorkflowPosition = 0, kWorkflowFollowing = 4;
inline constexpr size_t kWorkflowCurrentHop = 8, kWorkflowNextHop = 412;
inline constexpr size_t kWorkflowSize = 816;
static_assert(kWorkflowCurrentHop + kHopRecordSize <= kWorkflowNextHop);
static_assert(kWorkflowNextHop + kHopRecordSize <= kWorkflowSize);
static_assert(kHopComponentName + kQlxNameLength + 1 == kHopRecordSize);

using ThemeId = std::array<unsigned char, kQlxMsgIdLength>;

struct Hop {
  int32_t type = 0;
  std::string name;
};

struct Theme {
  ThemeId id{};
  std::string origin;   // queue of the connection that started the workflow ("client:C")
  std::string service;  // the service it was started for
  std::vector<Hop> hops;
  int32_t position = 0;  // the hop whose queue holds (or held) the message

  // Hops after the current one.
  int32_t following() const {
    return static_cast<int32_t>(hops.size()) - position - 1;
  }
};

// A fresh, unique theme id.
ThemeId newThemeId();

// Hop lists as stored with a message: per hop the type, the name length and the name.
std::string encodeHops(const std::vector<Hop>& hops);
bool decodeHops(std::string_view data, std::vector<Hop>& hops);

// The queue that a hop's messages go to: "element:E", "client:C", or "native:N" for every
// other hop type (native applications are drained with `qlxadm get`).
std::string queueOfHop(const Hop& hop);

// The hop of an originating connection from its queue name ("client:C" or "element:E").
Hop originHop(std::string_view queue);

// Reads the hops of `service` from the directory, with the originating-client hop
// resolved to `origin`. 0 when found with at least one hop; else a reason code.
int32_t loadServiceHops(BrokerStore& store, std::string_view service, const Hop& origin,
                        std::vector<Hop>& hops, std::string& detail);

// A fresh 24-byte message id (the same generator as theme ids).
inline ThemeId newMessageId() { return newThemeId(); }

// Theme-building: the hops of `from` up to its current one, then `inserted`, then (for
// kQlxBuildInsert) the hops that followed. The position stays on the current hop.
Theme buildTheme(const Theme& from, const std::vector<Hop>& inserted, int32_t option);

// Renders the theme list for a query code (kQlxQueryThemeId or kQlxQueryWorkflow); false
// for other codes.
bool renderThemeList(const Theme& theme, int32_t code, std::vector<unsigned char>& out);

// The theme handles of one connection. Handles start at 1; when more than `limit` are
// open the oldest are dropped (a program that never closes the handles of its requests
// does not grow without bound).
class ThemeTable {
 public:
  explicit ThemeTable(size_t limit = 65536) : limit_(limit) {}
  QLXHANDLE add(Theme theme);
  Theme* find(QLXHANDLE handle);
  bool close(QLXHANDLE handle);
  size_t size() const { return themes_.size(); }

 private:
  size_t limit_;
  QLXHANDLE next_ = 1;
  std::unordered_map<QLXHANDLE, Theme> themes_;
  std::deque<QLXHANDLE> order_;
};

}  // namespace qlx

#endif  // QLX_THEME_H
