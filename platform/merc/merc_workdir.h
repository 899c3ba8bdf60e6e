// The engine's temporary folder: where child maps write their further output cards.
//
// One folder per engine process, "$TMPDIR/merc-engine-XXXXXX", made on the first child
// run and removed when the process ends normally. It holds the file "lock", which the
// process keeps locked (flock) for as long as it lives, and the card folder of the run in
// hand, "cards-XXXXXX", made fresh for each run and removed after it. A server that is killed
// cannot remove its folder: the next engine that makes one removes every engine folder
// whose lock is free, so leftovers live until the next start at most. Process ids play no
// part, so engines in different PID namespaces sharing a /tmp never remove each other's.
#ifndef ZVR_PLATFORM_MERC_WORKDIR_H
#define ZVR_PLATFORM_MERC_WORKDIR_H

#include <string>

namespace merc {

// The prefix of every engine folder's name.
inline constexpr const char* kEngineFolderPrefix = "merc-engine-";

// Makes an empty card folder for one child run, making the engine folder first when
// there is none yet (and sweeping ended engines' folders then). 1 with `path` set;
// 0 with `error` set. The folder stays until mercEndCardFolder.
int mercBeginCardFolder(std::string& path, std::string& error);

// Removes the card folder of the run and everything the map left in it.
void mercEndCardFolder(const std::string& path);

// Removes from `tmp` the engine folders whose engine has ended (lock free), and card
// folders "merc-XXXXXX" of older engines untouched for ten minutes. Folders of other
// users are left alone. Returns how many it removed.
int mercSweepEngineFolders(const std::string& tmp);

// The folder temporary files go to: $TMPDIR, else /tmp.
std::string mercTempRoot();

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_WORKDIR_H
