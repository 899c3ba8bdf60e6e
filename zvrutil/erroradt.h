// Error objects: what an operator sees of a failure or a noteworthy event.
//
// An error object carries a catalog identifier (catalog.h), a severity, the formatted
// catalog text, the catalog's user action and optional further detail (one info line and a
// block of data, typically a hex dump). ErrorADT describes the system's own failures,
// QuorError a failed middleware call (with the middleware's error record and its rendered
// reason texts), TransformError a failure reported by the transformation engine.
//
// Errors are never thrown. A failing operation either writes its error at once
// (writeLog) and deletes it, or stores it as the process-wide ZVRerror through
// zvrSetError and returns 0; the code that handles the failure writes and clears it.
#ifndef ZVR_ERRORADT_H
#define ZVR_ERRORADT_H

#include <memory>
#include <ostream>
#include <string>

#include "qlx.h"

enum ZvrSeverity : unsigned { kZvrInfo = 0, kZvrWarning = 1, kZvrError = 2, kZvrSevere = 3 };

// "INFO", "WARNING", "ERROR", "SEVERE", or "UNKNOWN" for any other value.
const char* zvrSeverityName(unsigned severity);

class ErrorADT {
 public:
  // Every text argument is copied; null means "none".
  ErrorADT(const char* id, unsigned severity, const char* text);
  ErrorADT(const char* id, unsigned severity, const char* text, const char* userAction);
  ErrorADT(const char* id, unsigned severity, const char* text, const char* userAction,
           const char* info, const char* data, unsigned dataLength);
  virtual ~ErrorADT();
  ErrorADT(const ErrorADT&) = delete;
  ErrorADT& operator=(const ErrorADT&) = delete;

  // Replaces info and data. Data is copied up to dataLength bytes or its first NUL,
  // whichever comes first, and terminated; dataLength() then gives the value passed (the
  // display shows the data line whenever it is not 0, with the terminated copy).
  virtual void addInfo(const char* info, const char* data, unsigned dataLength);
  virtual int isQuorError() const;
  // The middleware's error record of a QuorError; null for other errors. Owned by this.
  virtual const QLXERROR* quorQlxError() const;
  // "\n<id>\n<SEVERITY>: <text>" then "\nUser Action: <ua>", "\n<info>", "\n<data>" for
  // those present. Returns the length; `out` gets a new text the caller frees with delete[].
  virtual int display(char*& out) const;
  // Replaces id, text and user action (null: none).
  virtual void _update(const char* id, const char* text, const char* userAction);

  // Writes the display text to the log (zvrWriteLog) with this error's severity.
  // Returns zvrWriteLog's result.
  int writeLog() const;

  // Stored values; null where none. Owned by this object.
  const char* id() const;
  unsigned severity() const;
  const char* text() const;
  const char* userAction() const;
  const char* info() const;
  const char* data() const;
  unsigned dataLength() const;

 protected:
  // The base display text, for subclasses that extend it.
  std::string _baseText() const;

 private:
  // Owned terminated copies; null where none. Plain arrays rather than optional strings:
  // an error is made on every failed read of outside input, and the fuzzers that feed such
  // input make millions of them.
  std::unique_ptr<char[]> id_;
  unsigned severity_;
  std::unique_ptr<char[]> text_;
  std::unique_ptr<char[]> userAction_;
  std::unique_ptr<char[]> info_;
  std::unique_ptr<char[]> data_;
  unsigned dataLength_ = 0;
};

class QuorError : public ErrorADT {
 public:
  // The record is copied.
  QuorError(const char* id, unsigned severity, const char* text, const char* userAction,
            const QLXERROR& record);
  // These take the record from qlxGetLastError: build them right after the failed call.
  QuorError(const char* id, unsigned severity, const char* text);
  QuorError(const char* id, unsigned severity, const char* text, const char* userAction);
  QuorError(const char* id, unsigned severity, const char* text, const char* userAction,
            const char* info, const char* data, unsigned dataLength);

  int isQuorError() const override;
  const QLXERROR* quorQlxError() const override;
  // The base text + "\nReason: <reason>\nSubReason: <subReason>".
  int display(char*& out) const override;
  // Renders the reason and sub-reason texts from the record ("None" where its validity
  // bit is clear).
  virtual void _updateQuorError();

  enum { kReasonLength = 400 };
  // The rendered texts (terminated, at most 399 characters).
  const char* reason() const;
  const char* subReason() const;

 private:
  void _fetchLastError();

  QLXERROR record_{};
  char reason_[kReasonLength] = {};
  char subReason_[kReasonLength] = {};
};

class TransformError : public ErrorADT {
 public:
  TransformError(const char* id, unsigned severity, const char* text);
  TransformError(const char* id, unsigned severity, const char* text, const char* userAction);
  TransformError(const char* id, unsigned severity, const char* text, const char* userAction,
                 const char* code, const char* reason);
  TransformError(const char* id, unsigned severity, const char* text, const char* userAction,
                 int code, const char* reason);
  TransformError(const char* id, unsigned severity, const char* text, const char* userAction,
                 int code, const char* reason, const char* info, const char* data,
                 unsigned dataLength);

  // The base text + "\nReason (<code>)" if a code is present + ": <reason>" if a reason
  // text is present.
  int display(char*& out) const override;
  // Replaces the reason code and text (null: none).
  virtual void _updateTransformError(const char* code, const char* reason);
  // The code formatted with "%-d".
  virtual void _updateTransformError(int code, const char* reason);

  const char* reasonCode() const;
  const char* reasonText() const;

 private:
  std::unique_ptr<char[]> reasonCode_;
  std::unique_ptr<char[]> reasonText_;
};

// Write the display text.
std::ostream& operator<<(std::ostream& os, const ErrorADT& error);
std::ostream& operator<<(std::ostream& os, const QuorError& error);
std::ostream& operator<<(std::ostream& os, const TransformError& error);

// The process-wide last error raised and not yet reported, or null. Read it freely; change
// it only through the three functions below.
extern ErrorADT* ZVRerror;

// Adopts `error` (may be null) as ZVRerror and deletes the error it replaces.
void zvrSetError(ErrorADT* error);
// Deletes ZVRerror and clears it.
void zvrClearError();
// Hands the pending error (or null) to the caller, who deletes it; ZVRerror is cleared.
ErrorADT* zvrTakeError();

#endif  // ZVR_ERRORADT_H
