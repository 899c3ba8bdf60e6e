// The broker's settings from the environment, checked where a store opens: a setting that
// is misspelt must stop the broker rather than quietly run it with less durability. Also
// the words that tell an operator what failed when a home cannot be used, and what to do.
#ifndef QLX_SETTINGS_H
#define QLX_SETTINGS_H

#include <cstddef>
#include <string>

namespace qlx {

enum class SyncMode { kNormal, kFull };

// QLX_SYNC: NORMAL (also when unset or empty) or FULL, in any case. False with `error`
// naming the value and the accepted ones; `mode` is then NORMAL.
bool syncModeSetting(SyncMode& mode, std::string& error);
// True when QLX_SYNC is a valid FULL.
bool fullSyncSetting();
const char* syncModeName(SyncMode mode);

// A database address as logs and texts may show it: without the user, the password and
// the parameters (a password may sit in either).
std::string shownAddress(const std::string& address);

// The home made absolute (resolved when it exists, else joined to the working folder), so
// that a relative QLX_HOME, or none, shows where it led.
std::string absoluteHome(const std::string& home);

// The broker this process uses, as an error names it: "broker database ADDRESS" (shown
// without secrets) when QLX_BROKER names one, else "broker home HOME" (absolute).
std::string brokerInUse();

// `text` followed by " (" brokerInUse() ")" when the whole fits in `limit` bytes, else
// `text` unchanged: a text whose room is capped keeps its own words whole.
std::string withBrokerInUse(const std::string& text, size_t limit);

// "broker home HOME, QLX_SYNC MODE" (led by "broker database ADDRESS, " when QLX_BROKER
// names one): how the start-up log and qlxadm queues name the broker in use. The home is
// made absolute, so that a relative QLX_HOME shows where it led.
std::string settingsSummary(const std::string& home);

// What to do about a home that could not be opened, judged from the home itself: not a
// folder, not accessible to this user, or (empty) nothing wrong with the folder.
std::string homeAction(const std::string& home);

}  // namespace qlx

#endif  // QLX_SETTINGS_H
