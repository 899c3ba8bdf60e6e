#include "quordirectory.h"

#include <cstring>
#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "text.h"
#include "trc.h"

namespace {
trc::Module kTrace{"zvrutil"};

constexpr int32_t kDirectoryCall = 3;

// ZVRD0003 with `what` in place of the record name, written and discarded.
void logRecordMissing(const char* what) {
  trc::Scope trace(kTrace);
  QuorError(ZVRID_D0003, kZvrError, zvrFormat(ZVRTXT_D0003, what ? what : "").c_str(), ZVRUA_D0003,
            stError)
      .writeLog();
}
}  // namespace

QLXERROR stError{};
QLXERRDETAIL* pstSubError = nullptr;

extern "C" int ldapExceptionHandler(unsigned long a1, unsigned long a2, unsigned long a3,
                                    unsigned long a4, unsigned long a5, unsigned long a6,
                                    unsigned long a7, unsigned long a8, unsigned long a9,
                                    unsigned long a10) {
  trc::Scope trace(kTrace);
  std::memset(&stError, 0, sizeof stError);
  qlxStoreError(&stError, &pstSubError, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
  return trace.result(static_cast<int>(a6));
}

QuorDirectory::QuorDirectory(void* handle) : _ldapHandle(handle) {
  trc::Scope trace(kTrace);
  if (kTrace.printfs())
    TRC1_Printf(kTrace.name, "_ldapHandle = %lXd", reinterpret_cast<unsigned long>(_ldapHandle));
}

QuorDirectory::~QuorDirectory() { trc::Scope trace(kTrace); }

void* QuorDirectory::ldapHandle() const {
  trc::Scope trace(kTrace);
  return _ldapHandle;
}

int QuorDirectory::_lookupEntry(const char* name, const qlxEntryType type,
                                qlxDirEntry& entry) const {
  trc::Scope trace(kTrace);
  if (_ldapHandle == nullptr) return trace.result(0);
  QLXXSERVICES exceptions{};
  exceptions.ExceptionHandler = &ldapExceptionHandler;
  QLXXCTL control{};
  control.Version = 1;
  control.Handle = 0;
  control.Type = kDirectoryCall;
  control.Services = &exceptions;
  control.Context = _ldapHandle;
  auto* directory = static_cast<qlxDirInterface*>(_ldapHandle);
  return trace.result(directory->get(&control, name ? name : "", type, entry, nullptr));
}

QuorDictionary::QuorDictionary(void* handle) : QuorDirectory(handle) { trc::Scope trace(kTrace); }

QuorDictionary::~QuorDictionary() { trc::Scope trace(kTrace); }

int QuorDictionary::lookupEntry(const char* name) {
  trc::Scope trace(kTrace);
  const int found = _lookupEntry(name, qlxEntryDictionary, dictionary_);
  if (!found) logRecordMissing(name);
  return trace.result(found);
}

const char* QuorDictionary::getEntryValue(const char* name) const {
  trc::Scope trace(kTrace);
  const char* value = dictionary_.getEntryValue(name ? name : "");
  if (value == nullptr || *value == '\0') {
    ErrorADT(ZVRID_D0006, kZvrError, zvrFormat(ZVRTXT_D0006, name ? name : "").c_str(), ZVRUA_D0006)
        .writeLog();
  }
  return trace.result(value);
}

int QuorDictionary::numEntries() const {
  trc::Scope trace(kTrace);
  const int count = dictionary_.numEntries();
  if (count == 0) logRecordMissing("numEntries");
  return trace.result(count);
}

int QuorDictionary::getAllEntries(char*** names, char*** values) {
  trc::Scope trace(kTrace);
  const int count = dictionary_.getAllEntries(names, values);
  if (count == 0) logRecordMissing("getAllEntries");
  return trace.result(count);
}
