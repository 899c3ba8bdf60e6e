// Directory entries of the middleware: business components, clients and dictionary records.
//
// QuorDirectory wraps one read of a named entry through the directory interface of a
// business element connection. QuorDictionary holds one dictionary record read that way (a
// named list of name/value pairs; the transformation components map a format name and a
// destination to a map and its options with one) and answers questions about its pairs.
// Failures are written to the log at once and never become the pending ZVRerror; callers
// decide from the returned value.
#ifndef ZVR_QUORDIRECTORY_H
#define ZVR_QUORDIRECTORY_H

#include "qlx.h"
#include "qlxdir.h"

// Details of the last failed directory call, filled by ldapExceptionHandler.
extern QLXERROR stError;
extern QLXERRDETAIL* pstSubError;

// The exception handler of a directory call: records the failure in stError and returns
// its sixth argument (the result the call is to give).
extern "C" int ldapExceptionHandler(unsigned long a1, unsigned long a2, unsigned long a3,
                                    unsigned long a4, unsigned long a5, unsigned long a6,
                                    unsigned long a7, unsigned long a8, unsigned long a9,
                                    unsigned long a10);

class QuorDirectory {
 public:
  // `handle` is the connection's directory interface (qlxDirInterface*), borrowed: the
  // connection must outlive this object. Null gives a directory that finds nothing.
  explicit QuorDirectory(void* handle);
  virtual ~QuorDirectory();
  QuorDirectory(const QuorDirectory&) = delete;
  QuorDirectory& operator=(const QuorDirectory&) = delete;

  // Reads the entry `name` of `type` into `entry`. Non-zero when found; otherwise the
  // details are in stError. Writes no message.
  int _lookupEntry(const char* name, const qlxEntryType type, qlxDirEntry& entry) const;

  void* ldapHandle() const;

 protected:
  void* const _ldapHandle;
};

class QuorDictionary : public QuorDirectory {
 public:
  explicit QuorDictionary(void* handle);
  ~QuorDictionary() override;

  // Reads the record `name`, replacing what this object held. 0 when it is not in the
  // directory (ZVRD0003 logged with the name).
  int lookupEntry(const char* name);
  // The value of the pair `name` of the record last read; owned by this object until the
  // next lookupEntry. Null or empty (ZVRD0006 logged) when the pair is missing or empty.
  const char* getEntryValue(const char* name) const;
  // The number of pairs; 0 logs ZVRD0003 naming "numEntries".
  int numEntries() const;
  // Two parallel arrays of the pairs' names and values, owned by this object until the
  // next lookupEntry; returns their count. 0 logs ZVRD0003 naming "getAllEntries".
  int getAllEntries(char*** names, char*** values);

 private:
  qlxDictionary dictionary_;
};

#endif  // ZVR_QUORDIRECTORY_H
