// How marshalling raises its catalogued errors (shared by the reader and the framing).
#ifndef ZVR_MARSHALL_ERROR_H
#define ZVR_MARSHALL_ERROR_H

#include <string>

#include "catalog.h"
#include "erroradt.h"
#include "marshall_format.h"
#include "text.h"

// Makes a new error the pending ZVRerror; `info` (may be null) becomes its info line.
// Both raisers stay out of line (and out of the readers' hot loops): errors are rare.
[[gnu::cold, gnu::noinline]] inline void zvrMarshallRaise(const char* id, unsigned severity,
                                                         const char* text,
                                                         const char* userAction,
                                                         const char* info = nullptr) {
  ErrorADT* error = new ErrorADT(id, severity, text, userAction);
  if (info != nullptr) error->addInfo(info, nullptr, 0);
  zvrSetError(error);
}

// ZVRM0001 "Unable to locate end of section ``Name''." for the table entry `tag`.
[[gnu::cold, gnu::noinline]] inline void zvrMarshallRaiseNoEnd(unsigned tag) {
  std::string name(kMarshallTagNames[tag]);
  zvrMarshallRaise(ZVRID_M0001, kZvrError, zvrFormat(ZVRTXT_M0001, name.c_str()).c_str(),
                   ZVRUA_M0001);
}

#endif  // ZVR_MARSHALL_ERROR_H
