// The middleware's directory interface: named entries (business components, clients,
// dictionary records) read through the directory object of a business element connection.
//
// qlxSPIInitialize hands out one qlxDirInterface per connection; it lives until
// qlxTerminate. An entry object is filled by get() and owns every text it hands out: those
// texts stay valid until the entry is filled again or destroyed.
#ifndef QLXDIR_H
#define QLXDIR_H

#include <string>
#include <vector>

#include "qlx.h"

enum qlxEntryType {
  qlxEntryBusinessComponent = 2,
  qlxEntryClient = 6,
  qlxEntryDictionary = 14,
};

// One directory entry as read. The base holds what every entry type has.
class qlxDirEntry {
 public:
  qlxDirEntry() = default;
  virtual ~qlxDirEntry();
  qlxDirEntry(const qlxDirEntry&) = delete;
  qlxDirEntry& operator=(const qlxDirEntry&) = delete;

  // The entry's name; empty before the first successful get.
  const char* name() const { return name_.c_str(); }
  // The type get() filled this object for, or 0.
  int type() const { return type_; }

  // Used by the directory implementation to fill the entry.
  void fill(int type, const std::string& name, std::vector<std::string> names,
            std::vector<std::string> values);

 protected:
  int type_ = 0;
  std::string name_;
  // Ordered pairs (for a dictionary record) or accepted formats (names only).
  std::vector<std::string> names_;
  std::vector<std::string> values_;
};

// A dictionary record: a named, ordered list of name/value pairs.
class qlxDictionary : public qlxDirEntry {
 public:
  ~qlxDictionary() override;
  // The value of the first pair named `name` (case-sensitive), or null when there is none.
  // Owned by this object.
  const char* getEntryValue(const char* name) const;
  int numEntries() const;
  // Sets two parallel arrays of numEntries() texts, in the record's order, and returns
  // their count. Arrays and texts are owned by this object.
  int getAllEntries(char*** names, char*** values);

 private:
  std::vector<char*> namePtrs_;
  std::vector<char*> valuePtrs_;
};

// A business component (business element) entry.
class qlxBusinessComponent : public qlxDirEntry {
 public:
  ~qlxBusinessComponent() override;
  // Non-zero when the component accepts messages whose format name is `formatName`.
  int isValidMsgType(const char* formatName) const;
};

// A client entry.
class qlxClient : public qlxDirEntry {
 public:
  ~qlxClient() override;
  int isValidMsgType(const char* formatName) const;
};

// The directory of one connection.
class qlxDirInterface {
 public:
  virtual ~qlxDirInterface();
  // Reads the entry `name` of `type` into `entry` (whose class must match the type).
  // Returns non-zero when found. Otherwise calls ctl->Services->ExceptionHandler (when
  // set) with ten arguments: reason code, sub-reason code, entry type, address of the
  // name, address of a reason text, 0 (the result to return), the call type
  // (kQlxCallDirectory), the address of ctl, 0, 0; and returns 0.
  virtual int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
                  void* reserved) = 0;
};

#endif  // QLXDIR_H
