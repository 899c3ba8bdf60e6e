// A text file of messages: one header line of run settings, then one record per line
// (layout in messagerecord.h). The tee component writes such files from the requests that
// pass through it; the test client reads them back and sends their messages.
//
// A file is opened either for reading (the read handle stays open for the object's life)
// or for writing (every record is appended by its own open and close, so a recording stays
// readable while the tee runs). Lines beginning with "#" after the header are comments.
#ifndef ZVR_MESSAGEFILE_H
#define ZVR_MESSAGEFILE_H

#include <cstdio>
#include <string>

#include "message.h"
#include "messagerecord.h"

class MessageFile {
 public:
  // For reading: opens `name` (copied) and reads the header. A file that cannot be opened
  // prints "Error: unable to open message file <name>" to standard output and the system's
  // reason after "Reason" to standard error, and ends the process with status 1.
  explicit MessageFile(const char* name);
  // For writing: stores the settings and writes the header, creating the file or emptying
  // an existing one. A file that cannot be written leaves it so; each record then reports
  // its own failure (writeMsg).
  MessageFile(const char* name, unsigned long version, unsigned displayHdr, unsigned hexMsgData,
              unsigned long loopTimes, unsigned long everyN, unsigned long nTimes);
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;

  // Writes the header line to an emptied file; does nothing when it cannot be opened.
  void writeHeader() const;
  // Takes the settings from the first line of the read handle (its first 144 characters)
  // and leaves the handle at the start of the second line; a first line that is a record
  // (it has a body or tag part) is left to be read as one (see headerFault).
  void readHeader();
  // Back to the first record: the start of the file, past the header line if it has one.
  void reset();
  // Appends one record. When the file cannot be opened, prints "Error opening file: <name>"
  // to standard output and writes nothing; a write that fails part-way prints "Error
  // writing file: <name>". A record longer than a reader takes is written whole, with a
  // warning on standard error. 1 when the whole record was written, else 0 (callers that
  // only record may ignore it: the failure has been shown).
  int writeMsg(const Message& message) const;
  // Reads the next record (comment lines skipped) into `message`: 1 when a record was read,
  // 0 at end of file. recordFault() then tells whether the record was whole.
  int readMsg(Message& message);
  // Null when the record last read was whole; otherwise what was wrong with it (static
  // text). Its fields that could be read were set all the same.
  const char* recordFault() const;
  // Line number (from 1, the header) of the record last read.
  unsigned long recordLine() const;
  // Null when the file opened for reading began with its header line; otherwise why line 1
  // was not taken as the header (static text). Its settings then keep their defaults and
  // line 1 is the first record.
  const char* headerFault() const;

  // 1 when the read handle is open.
  int exists() const;
  const char* fileName() const;
  unsigned isHexMsgData() const;
  unsigned isDisplayHdr() const;
  long numVersion() const;
  long numLoopTimes() const;
  long numEveryN() const;
  long numNTimes() const;

 private:
  static bool _isRecordLine(const std::string& line);

  std::string fileName_;
  std::FILE* readHandle_ = nullptr;
  MessageFileSettings settings_;
  std::string line_;
  const char* fault_ = nullptr;
  const char* headerFault_ = nullptr;
  unsigned long lineNumber_ = 0;
};

#endif  // ZVR_MESSAGEFILE_H
