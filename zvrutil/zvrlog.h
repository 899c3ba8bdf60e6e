// Operator output: the middleware log (with a copy on standard error) and the report of a
// failed request to the middleware's error profile.
//
// Error objects write themselves through zvrWriteLog; the request object's reportError
// builds the error-profile records and hands them to zvrReportError, then logs the text.
#ifndef ZVR_ZVRLOG_H
#define ZVR_ZVRLOG_H

#include "qlx.h"

// Process-wide flags shared by every module of a program. ZVRdebug (initially 0) is set by
// "-d", ZVRverbose (initially 1) cleared by "-silent"; while either is set every log text
// is also written to standard error. isLogAssert (initially 0) turns 1 on the first write.
extern int ZVRdebug;
extern int ZVRverbose;
extern int isLogAssert;

// Writes `text` (borrowed for the call; terminated) to the middleware log with `severity`
// (0 INFO .. 3 SEVERE). While ZVRdebug or ZVRverbose is set, first writes 40 asterisks,
// the text and a newline to standard error. 1 when the middleware took the record, else 0.
int zvrWriteLog(const char* text, unsigned long severity);
// The same with severity 0 (INFO).
int zvrWriteLog(const char* text);

// Marks that the log has been written to (isLogAssert = 1).
void logAssert();

// Passes the six arguments unchanged to qlxReportError. True only when the middleware
// accepted the report and the actions it performed agree with those the profile
// requested (performed 32, or both have 2 set, or both have 1 set, or equal); the records
// are traced. Writes nothing to the log: the caller logs the error text either way.
bool zvrReportError(unsigned long handle, QLXEPOPT* options, QLXMSG* msg,
                    QLXEXCEPTION* exception, QLXSYNCP sync, QLXHANDLE* context);

// The agreement rule of zvrReportError on its own.
bool zvrActionsAgree(unsigned long requested, unsigned long performed);

#endif  // ZVR_ZVRLOG_H
