// The engine's temporary folder: where child maps write their further output cards.
//
// One folder per engine process, "$TMPDIR/merc-engine-XXXXXX", made on the first child
// run and removed when the process ends normally. It holds the file "lock", which the
// process keeps locked (flock) for as long as it lives, and the card folder of the run in
// hand, "cards-XXXXXX", made for a run and removed after it unless the run left it empty
// and may hand it on to a later run. A server that is killed
// cannot remove its folder: the next engine that makes one removes every engine folder
// whose lock is free, so leftovers live until the next start at most. Process ids play no
// part, so engines in different PID namespaces sharing a /tmp never remove each other's.
#ifndef ZVR_PLATFORM_MERC_WORKDIR_H
#define ZVR_PLATFORM_MERC_WORKDIR_H

#include <cstddef>
#include <string>

namespace merc {

// The prefix of every engine folder's name.
inline constexpr const char* kEngineFolderPrefix = "merc-engine-";

// Gives one child run an empty card folder: one a run handed back as reusable, else a
// new one, making the engine folder first when there is none yet (and sweeping ended
// engines' folders then). 1 with `path` set; 0 with `error` set. The folder is the
// run's until mercEndCardFolder.
int mercBeginCardFolder(std::string& path, std::string& error);

// Ends the run's use of its card folder. With `reusable` (the caller saw it empty, and
// no process of the run is left that could still write into it) it is kept, up to
// kSpareCardFolders of them, for a later run: making and removing a folder costs two
// directory writes a run, on a disk-backed temporary folder the dearest part of the
// engine's own work. Otherwise it is removed with everything the map left in it.
void mercEndCardFolder(const std::string& path, bool reusable = false);

// Empties the card folder of a served map process between its runs: removes everything
// in it, whatever the map made (files, folders). 1 when it is empty afterwards and still
// as the engine made it (a folder of this user's, mode 0700); 0 when the process must
// not keep it (gone, replaced, its mode changed, something that cannot be removed).
int mercEmptyCardFolder(const std::string& path);

// The most empty card folders kept for later runs: the run in hand and the processes
// started ahead hold one each.
inline constexpr std::size_t kSpareCardFolders = 4;

// Removes from `tmp` the engine folders whose engine has ended (lock free), and card
// folders "merc-XXXXXX" of older engines untouched for ten minutes. Folders of other
// users are left alone. Returns how many it removed.
int mercSweepEngineFolders(const std::string& tmp);

// The folder temporary files go to: $TMPDIR, else /tmp.
std::string mercTempRoot();

}  // namespace merc

#endif  // ZVR_PLATFORM_MERC_WORKDIR_H
