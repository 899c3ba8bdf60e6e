// The broker's directory: business elements, clients, services with their workflows and
// dictionary records, kept by the broker's store (broker_store.h). An administrator loads
// it from a TOML file (format documented at the top of examples/directory.toml) and edits
// it with qlxadm; a business element connection reads it through the qlxDirInterface that
// makeDirectory builds over its store's lookup.
#ifndef QLX_DIRECTORY_H
#define QLX_DIRECTORY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "qlxdir.h"

namespace qlx {

// Reason codes a failed qlxDirInterface::get hands to the control block's exception
// handler (first argument; the second is the sub-reason).
enum DirectoryReason : int {
  kDirReasonNotFound = 2001,    // no entry of that name and type; sub-reason: the type
  kDirReasonReadFailed = 2002,  // the store could not be read; sub-reason: the store's code
  kDirReasonBadRequest = 2003,  // unknown type, or entry object of another class;
                                // sub-reason: the type
};

// One directory get as a store answers it: 1 found (`first` holds the formats, or a
// dictionary record's keys with its values in `second`), 0 no such entry, -1 the read
// failed (`failure` says why, `code` is the store's code for it).
struct DirectoryRead {
  std::vector<std::string> first, second;
  std::string failure;
  long code = 0;
};
using DirectoryLookup =
    std::function<int(int type, const std::string& name, DirectoryRead& read)>;

// The directory interface of one connection over its store's lookup. get() fills:
//   type 2  (qlxBusinessComponent) name and accepted formats,
//   type 6  (qlxClient)            name and accepted formats,
//   type 14 (qlxDictionary)        name and pairs in the record's order.
// A format list holding "*" accepts every format name; other matches are exact and
// case-sensitive. On failure the entry is emptied (so that nothing stale is served), the
// handler is called with the reason codes above, a null name is treated as not found
// (the handler then gets the address of an empty name), and the reason text stays valid
// until the next get(). A store that keeps entries between gets wraps its lookup in
// cachingLookup (directory_cache.h).
std::unique_ptr<qlxDirInterface> makeDirectory(DirectoryLookup lookup);

// True for the qlxadm subcommands that directoryCommand handles.
bool isDirectoryCommand(const char* word);

// Usage of those subcommands: each line starts with two blanks, a description follows in
// column 34 (on a line of its own when the command is longer).
void directoryUsage(std::ostream& out);

class BrokerStore;

// Opens the store a directory subcommand works on (borrowed by the command, which
// neither closes it nor keeps it); null with `error` set on failure.
using DirectoryOpener = std::function<BrokerStore*(std::string& error)>;

// Runs one qlxadm directory subcommand. argv[0] is the subcommand word, argv[1..argc-1]
// its arguments:
//   load [--allow-empty] FILE     replace the directory by the file's
//   show [KIND [NAME]]            print entries as TOML that `load` reads back
//   delete KIND NAME              KIND: element, client, service, dictionary
//   set DICTIONARY KEY VALUE      replace the first pair named KEY, or append one (the
//                                 record is created when missing)
//   unset DICTIONARY KEY          remove every pair named KEY
// Returns the exit status: 0 done; 1 refused (clear message on `err`, nothing changed);
// 2 usage error. `open` is called only once the arguments (and for load the file) have
// been checked, so a refused command creates and changes nothing.
int directoryCommand(const DirectoryOpener& open, int argc, char** argv, std::ostream& out,
                     std::ostream& err);
// The same on a store already open (borrowed).
int directoryCommand(BrokerStore& store, int argc, char** argv, std::ostream& out,
                     std::ostream& err);

}  // namespace qlx

#endif  // QLX_DIRECTORY_H
