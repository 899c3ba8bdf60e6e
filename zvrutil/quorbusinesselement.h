// A server component's connection to the middleware as one named business element.
//
// Every server program owns exactly one, made at start-up and deleted at shutdown. It takes
// requests off the element's queue (getRequest), puts responses under the current unit of
// work (putResponse) and commits or rolls that unit back. It also owns the directory of the
// connection (QuorDirectory) and the syncpoint strategy (QuorTransaction).
#ifndef ZVR_QUORBUSINESSELEMENT_H
#define ZVR_QUORBUSINESSELEMENT_H

#include <memory>
#include <ostream>

#include "qlx.h"

class QuorDirectory;
class QuorRequest;
class QuorResponse;
class QuorTransaction;

class QuorBusinessElement {
 public:
  // Connects as `name` (null counts as empty; cut at 132 characters) with syncpoint type
  // 1 (local) or 0 (none). A failed connection (ZVRR0001) or another syncpoint type
  // (ZVRR0015) is logged, left in ZVRerror, and ends the process with status 1.
  QuorBusinessElement(const char* name, unsigned long syncType);
  ~QuorBusinessElement();
  QuorBusinessElement(const QuorBusinessElement&) = delete;
  QuorBusinessElement& operator=(const QuorBusinessElement&) = delete;

  // The next request (caller deletes it). Requests the middleware suppressed are logged
  // (ZVRR0010), committed away and skipped. Null with ZVRerror = ZVRR0002 when the get
  // fails, or ZVRR0003 when committing a suppressed request fails.
  QuorRequest* getRequest() const;
  // 1 when the response was put or may be dropped; 0 with ZVRerror = ZVRR0009 (0 with
  // nothing new recorded for a null response: its creation already failed).
  int putResponse(const QuorResponse* response) const;
  // Non-zero on success; 0 with ZVRerror = ZVRR0003 / ZVRR0004 (not logged).
  int commit() const;
  int rollback() const;
  int anyPuts() const;
  const QLXSYNC* getSync() const;

  // "\nQuor Business Element\n---------------------\nName: <name>\nHandle: 0x<handle>".
  // Returns the length; `text` gets a new text the caller frees with delete[].
  int display(char*& text) const;

  unsigned long handle() const;
  const char* name() const;
  // The directory interface of the connection (a qlxDirInterface*, owned by the
  // middleware until the connection ends).
  void* directoryHandle() const;
  QuorTransaction* transaction() const;

 private:
  QLXHANDLE handle_ = 0;
  char name_[kQlxNameLength + 1] = {};
  std::unique_ptr<QuorDirectory> directory_;
  std::unique_ptr<QuorTransaction> transaction_;
};

std::ostream& operator<<(std::ostream& os, const QuorBusinessElement& element);

#endif  // ZVR_QUORBUSINESSELEMENT_H
