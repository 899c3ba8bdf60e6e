// The next hop of a request's workflow.
//
// Before a transformation component transforms a request it finds the application that
// will receive the result: createWorkflowComponent reads the workflow kept with the
// request's theme and builds a hop object. Its name selects a map in the dictionary; its
// acceptFormat says whether it already takes messages of the request's format. A business
// component or client hop answers from its directory entry; a native application never
// accepts a format.
//
// The workflow item of the theme list is read through zvrReadNextHop, which never reads
// past the item's data and cuts a name that lacks its terminator at the end of its area.
#ifndef ZVR_QUORWORKFLOW_H
#define ZVR_QUORWORKFLOW_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "quordirectory.h"

class QuorRequest;

// Workflow item data: hops remaining (signed) at 4, the next-hop record at 412. Next-hop
// record: application type at 0, client name from 137, business component name from 270.
enum : size_t {
  kWorkflowRemaining = 4,
  kWorkflowNextHop = 412,
  kNextHopType = 0,
  kNextHopClientName = 137,
  kNextHopComponentName = 270,
  kNextHopNameArea = 132,
};
// Application types of a next hop.
enum : uint32_t {
  kHopBusinessComponent = 1,
  kHopClient = 3,
  kHopNative = 4,
  kHopNativeOther = 5,
};

struct ZvrNextHop {
  int32_t remaining = 0;
  uint32_t type = 0;
  std::string clientName;
  std::string componentName;
};

// Outcome of reading a workflow item.
enum ZvrWorkflowRead { kWorkflowOk, kWorkflowShort, kWorkflowEnded };

// Reads the workflow item's `length` bytes of `data`. kWorkflowShort when the remaining
// count or the application type lies beyond the data; kWorkflowEnded when fewer than one
// hop remains. A name is read up to its terminator, the end of its 132-byte area or the
// end of the data, whichever comes first.
ZvrWorkflowRead zvrReadNextHop(const unsigned char* data, size_t length, ZvrNextHop& hop);

// A business component hop.
class QuorWorkflowComponent : public QuorDirectory {
 public:
  // The next hop of `request` (caller deletes it), read with the business element's
  // connection handle and directory handle (borrowed: the connection must outlive the
  // hop). Null with ZVRerror = ZVRD0001 (theme query failed or no workflow in it),
  // ZVRD0002 (no hop left, or a workflow too short to hold one) or ZVRD0007 (unknown
  // application type).
  static QuorWorkflowComponent* createWorkflowComponent(const QuorRequest& request,
                                                        const unsigned long handle,
                                                        const void* directory);

  // `name` is copied (null: empty); `directory` as for QuorDirectory.
  QuorWorkflowComponent(const char* name, void* directory);
  ~QuorWorkflowComponent() override;

  // Non-zero when the hop accepts messages of `formatName`; 0 also when the hop is not in
  // the directory (ZVRD0004 logged as a warning).
  virtual int acceptFormat(const char* formatName) const;

  const char* name() const;

 private:
  static QuorWorkflowComponent* _fromNextHop(const ZvrNextHop& hop, void* directory,
                                             const QuorRequest& request);

  const std::string name_;
};

// A client application hop.
class QuorWorkflowClient : public QuorWorkflowComponent {
 public:
  QuorWorkflowClient(const char* name, void* directory);
  ~QuorWorkflowClient() override;
  // As for a business component, from the client entry (ZVRD0005 when missing).
  int acceptFormat(const char* formatName) const override;
};

// A native application hop: named "ZVRNative", no directory, accepts no format.
class QuorWorkflowNative : public QuorWorkflowComponent {
 public:
  QuorWorkflowNative();
  ~QuorWorkflowNative() override;
  int acceptFormat(const char* formatName) const override;  // 0
};

#endif  // ZVR_QUORWORKFLOW_H
