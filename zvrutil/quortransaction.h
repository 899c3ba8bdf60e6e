// Syncpoint strategies: how a connection groups its gets and puts into units of work.
//
// A business element or client chooses one strategy at start-up from its syncpoint type:
// QuorLocalSync (type 1) commits and rolls back through the middleware, QuorNoSync (type 0)
// makes every get and put final at once and succeeds at commit and rollback without a call.
// Both carry the QLXSYNC record passed with every get, put, commit and rollback, and the
// flag that tells whether the current unit of work has put anything.
#ifndef ZVR_QUORTRANSACTION_H
#define ZVR_QUORTRANSACTION_H

#include <ostream>

#include "qlx.h"

class QuorTransaction {
 public:
  // Sync record from the template, handle stored, put flag 0.
  explicit QuorTransaction(unsigned long handle);
  // No handle (0); used by QuorNoSync, which never calls the middleware.
  QuorTransaction();
  // Virtual so that a connection may delete its strategy through this class.
  virtual ~QuorTransaction();
  QuorTransaction(const QuorTransaction&) = delete;
  QuorTransaction& operator=(const QuorTransaction&) = delete;

  // Non-zero on success. The base class has no unit of work and fails both.
  virtual int commit();
  virtual int rollback();
  // 1 when the current unit of work has put a message.
  virtual int anyPuts() const;
  virtual const char* _syncType() const;

  // The record passed to every get, put, commit and rollback; owned by this object.
  const QLXSYNC* getSync() const;
  // The connections clear the flag after each successful get and set it after each put.
  void putFlag(int flag);

  // "\nQuorTransaction\n---------------\nTransactionType:    <type>". Returns the length;
  // `text` gets a new text the caller frees with delete[].
  int display(char*& text) const;

 protected:
  QLXSYNC sync_;
  QLXHANDLE handle_ = 0;
  int puts_ = 0;
};

// Units of work of the middleware (syncpoint type 1).
class QuorLocalSync : public QuorTransaction {
 public:
  explicit QuorLocalSync(unsigned long handle);
  // qlxCommit / qlxRollback; on success the put flag is cleared, on failure it stays set.
  int commit() override;
  int rollback() override;
  const char* _syncType() const override;
};

// No units of work (syncpoint type 0): every get and put is final at once.
class QuorNoSync : public QuorTransaction {
 public:
  QuorNoSync();
  int commit() override;         // 1
  int rollback() override;       // 1
  int anyPuts() const override;  // always 0
  const char* _syncType() const override;
};

std::ostream& operator<<(std::ostream& os, const QuorTransaction& transaction);

#endif  // ZVR_QUORTRANSACTION_H
