// A program's connection to the middleware as a named client.
//
// A client starts workflows by putting requests to a named service (QuorRequest::putRequest
// with this client's handle, transaction and service) and waits for the responses that
// come back (getResponse). The test client is its user.
#ifndef ZVR_QUORCLIENT_H
#define ZVR_QUORCLIENT_H

#include <memory>
#include <ostream>

#include "qlx.h"

class QuorResponse;
class QuorTransaction;

class QuorClient {
 public:
  // `name` and `service` are borrowed: they must outlive the client. Connects as `name`
  // (null counts as empty; cut at 132 characters) with syncpoint type 1 or 0. A failed
  // connection (ZVRR0005) or another syncpoint type (ZVRR0016) is logged, left in
  // ZVRerror, and ends the process with status 1.
  QuorClient(const char* name, unsigned long syncType, const char* service);
  ~QuorClient();
  QuorClient(const QuorClient&) = delete;
  QuorClient& operator=(const QuorClient&) = delete;

  // The next response (caller deletes it): of `theme` when not 0, else any; `wait`
  // milliseconds when not 0, else the middleware's default wait. Suppressed responses are
  // logged (ZVRR0013), committed away and skipped. Null with ZVRerror = ZVRR0014 when the
  // get fails, or ZVRR0007 when committing a suppressed response fails.
  QuorResponse* getResponse(unsigned long theme, unsigned long wait) const;
  // Non-zero on success; 0 with ZVRerror = ZVRR0007 / ZVRR0008 (not logged).
  int commit() const;
  int rollback() const;

  // "\nQuor Client\n-----------\nName: <name>\nHandle: 0x<handle>". Returns the length;
  // `text` gets a new text the caller frees with delete[].
  int display(char*& text) const;

  unsigned long handle() const;
  const char* name() const;
  const char* service() const;
  QuorTransaction* transaction() const;

 private:
  QLXHANDLE handle_ = 0;
  const char* const name_;
  const char* const service_;
  std::unique_ptr<QuorTransaction> transaction_;
};

std::ostream& operator<<(std::ostream& os, const QuorClient& client);

// Options word of a client's get: by theme or any, with or without a wait.
uint32_t zvrResponseGetOptions(unsigned long theme, unsigned long wait);

#endif  // ZVR_QUORCLIENT_H
