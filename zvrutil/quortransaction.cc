#include "quortransaction.h"

#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

QLXSYNC syncRecord(int32_t type) {
  trc::Scope trace(kTrace);
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = type;
  return sync;
}
}  // namespace

QuorTransaction::QuorTransaction(unsigned long handle)
    : sync_(kQlxSyncDefault), handle_(static_cast<QLXHANDLE>(handle)) {
  trc::Scope trace(kTrace);
}

// The record starts from the template here too: a strategy never carries unset bytes.
QuorTransaction::QuorTransaction() : sync_(kQlxSyncDefault) { trc::Scope trace(kTrace); }

QuorTransaction::~QuorTransaction() { trc::Scope trace(kTrace); }

int QuorTransaction::commit() {
  trc::Scope trace(kTrace);
  return trace.result(0);
}

int QuorTransaction::rollback() {
  trc::Scope trace(kTrace);
  return trace.result(0);
}

int QuorTransaction::anyPuts() const {
  trc::Scope trace(kTrace);
  return trace.result(puts_);
}

const char* QuorTransaction::_syncType() const {
  trc::Scope trace(kTrace);
  return "Unknown (error)";
}

const QLXSYNC* QuorTransaction::getSync() const {
  trc::Scope trace(kTrace);
  return &sync_;
}

void QuorTransaction::putFlag(int flag) {
  trc::Scope trace(kTrace);
  puts_ = flag;
}

int QuorTransaction::display(char*& text) const {
  trc::Scope trace(kTrace);
  return trace.result(zvrNewText(
      zvrFormat("\nQuorTransaction\n---------------\nTransactionType:    %s", _syncType()), text));
}

std::ostream& operator<<(std::ostream& os, const QuorTransaction& transaction) {
  trc::Scope trace(kTrace);
  return zvrWriteDisplay(os, transaction);
}

QuorLocalSync::QuorLocalSync(unsigned long handle) : QuorTransaction(handle) {
  trc::Scope trace(kTrace);
  sync_ = syncRecord(1);
}

int QuorLocalSync::commit() {
  trc::Scope trace(kTrace);
  if (!qlxCommit(handle_, &sync_)) return trace.result(0);
  puts_ = 0;
  return trace.result(1);
}

int QuorLocalSync::rollback() {
  trc::Scope trace(kTrace);
  if (!qlxRollback(handle_, &sync_)) return trace.result(0);
  puts_ = 0;
  return trace.result(1);
}

const char* QuorLocalSync::_syncType() const {
  trc::Scope trace(kTrace);
  return "Local (1)";
}

QuorNoSync::QuorNoSync() {
  trc::Scope trace(kTrace);
  sync_ = syncRecord(0);
}

int QuorNoSync::commit() {
  trc::Scope trace(kTrace);
  return trace.result(1);
}

int QuorNoSync::rollback() {
  trc::Scope trace(kTrace);
  return trace.result(1);
}

int QuorNoSync::anyPuts() const {
  trc::Scope trace(kTrace);
  return trace.result(0);
}

const char* QuorNoSync::_syncType() const {
  trc::Scope trace(kTrace);
  return "None (0)";
}
