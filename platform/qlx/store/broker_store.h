// The store interface of the broker: everything the broker core (the C interface, units of
// work as the caller sees them, themes, errors, exits, the error profile, the admin
// operations) asks of the place where messages, connections, faults and the directory are
// kept. Nothing above this header knows which store runs; each store lives in a folder of
// its own under store/ and is reached only through makeBrokerStore().
//
// A BrokerStore is one connection to the store, used by one thread at a time. Every
// operation that fails notes why (errorCode(), errorText()) and leaves nothing half done:
// what a unit of work wrote is either all in the store or none of it.
#ifndef QLX_BROKER_STORE_H
#define QLX_BROKER_STORE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "directory_model.h"
#include "faults.h"
#include "metrics.h"
#include "qlxdir.h"
#include "queue.h"
#include "theme.h"

namespace qlx {

// The broker home: $QLX_HOME, or ./.qlx when unset or empty. Whatever the store, the home
// is a folder of this host: the broker log (and, for the embedded store, its database)
// live there.
std::string homePath();
std::string logPath();
// Creates the home (0700, whatever the umask) when missing. False with `error` set.
bool makeHome(const std::string& home, std::string& error);
// Opens (creating when missing) a private file of the home: mode 0600 whatever the umask.
// The descriptor (close-on-exec) or -1 with errno set.
int openPrivate(const std::string& path, int flags);

// Waiting for a queue. block() before looking at the queue, so that a commit or a signal
// that comes during the look still ends the sleep; sleep() unblocks afterwards.
class QueueWait {
 public:
  virtual ~QueueWait() = default;
  enum Outcome { kChanged, kTimedOut, kInterrupted };
  virtual void block() = 0;
  virtual void unblock() = 0;
  // Sleeps at most `millis` (< 0: until a change or signal) with the thread's signal mask
  // from before block(). A signal ends the sleep at once (kInterrupted).
  virtual Outcome sleep(int64_t millis) = 0;
  // True once after a sleep that saw a connection of the broker end: the messages its unit
  // held may be back, so the caller looks for ended connections at once.
  virtual bool takeEnding() { return false; }
};

// Milliseconds of a monotonic clock.
int64_t nowMillis();

// Queue figures for the operator.
struct QueueInfo {
  std::string queue;
  int64_t depth = 0;       // ready messages
  int64_t inFlight = 0;    // claimed by an open unit of work
  int64_t backedOut = 0;   // messages with a backout count above 0
  int64_t maxBackout = 0;  // the highest backout count
};

struct BrowsedMessage {
  MessageRow row;
  bool claimed = false;  // held by an open unit of work
};

// An element of the directory and the servers connected as it.
struct ServerStats {
  std::string element;
  int64_t servers = 0;
  int64_t since = 0;  // connect time (seconds since the epoch) of the longest-connected; 0: none
};

// What the directory says of an element or client the core connects.
struct EntryFacts {
  uint32_t defaultActions = 1;
  std::string exitLibrary;  // empty: none
};

class BrokerStore {
 public:
  virtual ~BrokerStore() = default;

  // Opens the store named by the broker address, creating what is missing (the home, the
  // schema, or an upgrade of an older schema). False with `error` set; the store's
  // credentials never appear in it.
  virtual bool open(std::string& error) = 0;

  // The last failure of this connection as noted when it happened (a later rollback does
  // not replace it): a code (the store's own, or an errno) and a text without secrets.
  virtual int errorCode() const = 0;
  virtual std::string errorText() const = 0;
  // Puts the last failure into `error` as the admin operations report it; returns false.
  bool failureInto(std::string& error) const {
    error = "broker database: " + errorText();
    return false;
  }

  // --- connections ---------------------------------------------------------------------
  // Looks `name` up among the elements (`element`) or clients: 1 found (facts filled), 0
  // not in the directory, -1 failure.
  virtual int findEntry(bool element, const std::string& name, EntryFacts& facts) = 0;
  // Registers this connection (kind 1 element, 2 client) so that other processes can tell
  // when it ended; `handle` receives its id (never 0). After a failure nothing is left.
  virtual bool attach(int kind, const std::string& name, int64_t& handle) = 0;
  // Removes the registration. The open unit of work must have been rolled back. False
  // (noted) on failure: the registration then ends with the process.
  virtual bool detach() = 0;
  // In a child after fork: forgets what the parent's connection holds (claims,
  // registration) without releasing it.
  virtual void abandonInChild() = 0;
  // Rolls back the units of work of connections whose process ended: their messages go
  // back to the front of their queues with the backout count raised by one. The number of
  // ended connections this call recovered (not those another process recovered first); 0
  // when none; -1 on failure (noted). `returned` receives
  // the queue of every message returned (one entry per message; empty on failure).
  virtual int64_t recoverEnded(std::vector<std::string>& returned) = 0;
  // The wait object of `queue` for this connection (owned by the caller).
  virtual std::unique_ptr<QueueWait> makeWait(const std::string& queue) = 0;

  // --- messages and units of work ------------------------------------------------------
  // Takes the first message of `queue` that matches and that no unit of work holds: with
  // kClaim it is held for this connection's unit until commit, rollback or releaseClaim;
  // with kDelete it is gone for good; with kBrowse only read. 1 found, 0 none, -1 failure.
  virtual int take(const std::string& queue, const Match& match, Take take,
                   MessageRow& row) = 0;
  // Makes claim `id` (the unit's claim number `slot`, from 0) survive this process: if the
  // process dies now, whoever recovers it raises the message's backout count. False
  // (noted, errno as the code) on failure; the caller then releases the claim.
  virtual bool keepClaim(size_t slot, int64_t id) = 0;
  // Lets go of one claim that never became part of the unit (no backout count raised).
  virtual void releaseClaim(int64_t id) = 0;
  // Puts a message outside any unit of work: durable and visible when this returns;
  // waiters on its queue are woken.
  virtual bool put(const MessageRow& row) = 0;
  // Commits a unit at once: every claimed message goes and every staged put appears, its
  // claims are released and the waiters of the queues written woken. 1 done; 0 failure
  // (the unit is still open, nothing changed); -1 refused because a claimed message is
  // no longer there (noted; nothing written, the unit still open).
  virtual int commit(const UnitOfWork& unit) = 0;
  // After commit() returned 0: whether the unit reached the database but is not known to
  // be on disk (its sync failed). The unit has then ended as if committed (claims released,
  // waiters woken) and must not be committed again; a power loss may still undo it.
  virtual bool commitInDoubt() const { return false; }
  // Ends a unit that claimed and staged nothing. Messages it let go (releaseClaim) may
  // still be held by it in the store; they are free for other units afterwards. Free where
  // nothing is held (no write, no round trip). False (noted) on failure.
  virtual bool endEmptyUnit() { return true; }
  // Rolls a unit back: its claimed messages return to the front of their queues in their
  // order with the backout count raised by one, the claims are released, the puts are the
  // caller's to drop. False (noted) on failure: the unit stays open.
  virtual bool rollback(const UnitOfWork& unit) = 0;

  // --- directory reads of the core -------------------------------------------------------
  // The hops of `service` in order, as stored (an origin hop stays an origin hop). False
  // (noted) on failure; an unknown service gives no hops.
  virtual bool serviceHops(std::string_view service, std::vector<Hop>& hops) = 0;
  // The directory interface of an element connection (borrows this store).
  virtual std::unique_ptr<qlxDirInterface> directory() = 0;

  // --- the directory as the operator edits it --------------------------------------------
  // Every entry, each kind ordered by name. False with `error` set.
  virtual bool readDirectory(DirectoryModel& model, std::string& error) = 0;
  // Reads the directory, lets `edit` change it and stores the result in one transaction,
  // so that no other change comes between. Nothing changes when `edit` returns false (its
  // `error` is passed on) or the store fails.
  using DirectoryEdit = std::function<bool(DirectoryModel& model, std::string& error)>;
  virtual bool editDirectory(const DirectoryEdit& edit, std::string& error) = 0;

  // --- faults ----------------------------------------------------------------------------
  // Takes one pending fault for `call` and connection `name`, counting it down. True with
  // `fault` filled when one applies. Costs no store read while no fault was ever added.
  virtual bool takeFault(const char* call, std::string_view name, Fault& fault) = 0;
  virtual bool addFault(const Fault& fault, std::string& error) = 0;
  virtual bool listFaults(std::vector<Fault>& faults, std::string& error) = 0;
  virtual bool clearFaults(std::string& error) = 0;

  // --- operator ----------------------------------------------------------------------------
  // Every queue that holds messages, by name.
  virtual bool listQueues(std::vector<QueueInfo>& queues, std::string& error) = 0;
  // The messages of `queue` in delivery order, claimed ones marked.
  virtual bool browse(const std::string& queue, std::vector<BrowsedMessage>& rows,
                      std::string& error) = 0;
  // Messages on the error queues ("error:ELEMENT", every one for "") in queue order.
  virtual bool errorEntries(const std::string& element, std::vector<MessageRow>& rows,
                            std::string& error) = 0;
  // In one transaction: moves the messages `ids` of "error:ELEMENT" to "element:ELEMENT"
  // (backout 0, error fields cleared), or deletes them when `remove`. Refused with
  // nothing changed when one of them is held by a unit of work or has left the error
  // queue. The number changed; -1 with `error` set.
  virtual int64_t settleErrors(const std::string& element, const std::vector<int64_t>& ids,
                               bool remove, std::string& error) = 0;
  // Empties messages and faults; the directory stays.
  virtual bool resetRuntime(std::string& error) = 0;
  // Writes a consistent copy of the store to the new file `target` (one snapshot:
  // committed units of work whole, open ones not at all), a store of its own once synced,
  // and names what was copied in `source`. False with `error` set; the file may then be
  // left half written (the caller removes it). A store that keeps no file of its own
  // refuses: its database's own tools back it up.
  virtual bool backup(const std::string& target, std::string& source, std::string& error) {
    (void)target;
    source.clear();
    error = "this store is backed up with its database's own tools";
    return false;
  }

  // --- the operator's view of a running broker -------------------------------------------
  // The counters the C interface adds to (metrics.h), owned by the store or the process
  // and valid as long as this store. A store that keeps none gives counters whose read
  // says so; counting never fails a call.
  virtual Metrics& metrics() = 0;
  // The put time (seconds since the epoch) of the oldest message of every queue holding
  // messages, claimed ones included, by queue name.
  virtual bool oldestMessages(std::map<std::string, int64_t>& oldest, std::string& error) = 0;
  // Every element of the directory, by name, with the element connections registered as
  // it. Connections of ended processes are counted until recoverEnded() forgets them.
  virtual bool elementServers(std::vector<ServerStats>& elements, std::string& error) = 0;
  // What listQueues(), oldestMessages() and elementServers() give, read at one moment of
  // the store, so that figures that must agree do (a queue's depth and its oldest message,
  // an element's waiting requests and its servers). This one reads them one after the
  // other; a store whose figures can change between two reads overrides it.
  virtual bool viewFigures(std::vector<QueueInfo>& queues, std::map<std::string, int64_t>& oldest,
                           std::vector<ServerStats>& elements, std::string& error) {
    return listQueues(queues, error) && oldestMessages(oldest, error) &&
           elementServers(elements, error);
  }
};

// The broker address: $QLX_BROKER when set and not empty (a postgresql:// or postgres://
// URI), else the home folder.
std::string brokerAddress();
// Whether `address` names a PostgreSQL database (postgresql:// or postgres://).
bool isPostgresAddress(const std::string& address);
// A store, not yet opened, for the broker address.
std::unique_ptr<BrokerStore> makeBrokerStore();
// Whether a broker exists at the address without creating one (a program that merely
// writes a log line does not create a broker database). True when that cannot be told
// cheaply.
bool brokerExists();

}  // namespace qlx

#endif  // QLX_BROKER_STORE_H
