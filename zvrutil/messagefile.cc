#include "messagefile.h"

#include <cstdlib>

#include "trc.h"

static trc::Module kTrace{"zvrutil"};

MessageFile::MessageFile(const char* name) : fileName_(name ? name : "") {
  trc::Scope trace(kTrace);
  readHandle_ = std::fopen(fileName_.c_str(), "r");
  if (readHandle_ == nullptr) {
    std::printf("Error: unable to open message file %s\n", fileName_.c_str());
    std::fflush(stdout);
    std::perror("Reason");
    std::exit(1);
  }
  readHeader();
}

MessageFile::MessageFile(const char* name, unsigned long version, unsigned displayHdr,
                         unsigned hexMsgData, unsigned long loopTimes, unsigned long everyN,
                         unsigned long nTimes)
    : fileName_(name ? name : "") {
  trc::Scope trace(kTrace);
  settings_.version = static_cast<long>(version);
  settings_.displayHdr = displayHdr;
  settings_.hexMsgData = hexMsgData;
  settings_.loopTimes = static_cast<long>(loopTimes);
  settings_.everyN = static_cast<long>(everyN);
  settings_.nTimes = static_cast<long>(nTimes);
  writeHeader();
}

MessageFile::~MessageFile() {
  trc::Scope trace(kTrace);
  if (readHandle_) std::fclose(readHandle_);
}

void MessageFile::writeHeader() const {
  trc::Scope trace(kTrace);
  std::FILE* file = std::fopen(fileName_.c_str(), "w");
  if (file == nullptr) return;
  std::string header = zvrFormatHeader(settings_);
  std::fwrite(header.data(), 1, header.size(), file);
  std::fclose(file);
}

void MessageFile::readHeader() {
  trc::Scope trace(kTrace);
  if (readHandle_ == nullptr) return;
  // The whole line is consumed, whatever its length: only its start holds settings.
  const ZvrLineStatus status = zvrReadLine(readHandle_, line_, kHeaderLineLimit);
  if (status != kLineEnd && _isRecordLine(line_)) {
    // A file written by hand without its header line: its first record is read as one,
    // not taken for settings and lost.
    headerFault_ = "a record, not the header line; read as the first record";
    std::rewind(readHandle_);
    lineNumber_ = 0;
    return;
  }
  if (status != kLineEnd) zvrParseHeader(line_.data(), line_.size(), settings_);
  lineNumber_ = 1;
}

bool MessageFile::_isRecordLine(const std::string& line) {
  if (!line.empty() && line[0] == '#') return false;
  // Every record the tee writes has a body part; a header line never has one.
  return line.find("MsgBuffer: ") != std::string::npos ||
         line.find("TagBuffer: ") != std::string::npos;
}

const char* MessageFile::headerFault() const {
  trc::Scope trace(kTrace);
  return trace.result(headerFault_);
}

void MessageFile::reset() {
  trc::Scope trace(kTrace);
  if (readHandle_ == nullptr) return;
  std::rewind(readHandle_);
  lineNumber_ = 0;
  if (headerFault_ != nullptr) return;
  zvrReadLine(readHandle_, line_, kHeaderLineLimit);
  lineNumber_ = 1;
}

int MessageFile::writeMsg(const Message& message) const {
  trc::Scope trace(kTrace);
  std::FILE* file = std::fopen(fileName_.c_str(), "a");
  if (file == nullptr) {
    std::printf("Error opening file: %.*s\n", static_cast<int>(fileName_.size()),
                fileName_.c_str());
    return trace.result(0);
  }
  std::string record = zvrFormatRecord(message, isDisplayHdr(), isHexMsgData());
  if (record.size() >= kRecordLineLimit) {
    std::fprintf(stderr,
                 "Warning: a record of %zu characters in %s is longer than a reader takes "
                 "(%zu); it will not be replayed.\n",
                 record.size() - 1, fileName_.c_str(), size_t{kRecordTextLimit});
  }
  bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
  if (std::fclose(file) != 0 || !written) {
    std::printf("Error writing file: %.*s\n", static_cast<int>(fileName_.size()),
                fileName_.c_str());
    return trace.result(0);
  }
  return trace.result(1);
}

int MessageFile::readMsg(Message& message) {
  trc::Scope trace(kTrace);
  fault_ = nullptr;
  if (readHandle_ == nullptr) return trace.result(0);
  for (;;) {
    ZvrLineStatus status = zvrReadLine(readHandle_, line_, kRecordTextLimit);
    if (status == kLineEnd) return trace.result(0);
    ++lineNumber_;
    if (!line_.empty() && line_[0] == '#') continue;
    if (status == kLineTooLong) {
      // Its tail is gone: none of it is taken, rather than a body cut at a random byte.
      fault_ = "record longer than a message file line may be";
    } else {
      fault_ = zvrParseRecord(line_.data(), line_.size(), message);
    }
    return trace.result(1);
  }
}

const char* MessageFile::recordFault() const {
  trc::Scope trace(kTrace);
  return trace.result(fault_);
}
unsigned long MessageFile::recordLine() const {
  trc::Scope trace(kTrace);
  return trace.result(lineNumber_);
}
int MessageFile::exists() const {
  trc::Scope trace(kTrace);
  return trace.result(readHandle_ != nullptr);
}
const char* MessageFile::fileName() const {
  trc::Scope trace(kTrace);
  return trace.result(fileName_.c_str());
}
unsigned MessageFile::isHexMsgData() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned>(settings_.hexMsgData));
}
unsigned MessageFile::isDisplayHdr() const {
  trc::Scope trace(kTrace);
  return trace.result(static_cast<unsigned>(settings_.displayHdr));
}
long MessageFile::numVersion() const {
  trc::Scope trace(kTrace);
  return trace.result(settings_.version);
}
long MessageFile::numLoopTimes() const {
  trc::Scope trace(kTrace);
  return trace.result(settings_.loopTimes);
}
long MessageFile::numEveryN() const {
  trc::Scope trace(kTrace);
  return trace.result(settings_.everyN);
}
long MessageFile::numNTimes() const {
  trc::Scope trace(kTrace);
  return trace.result(settings_.nTimes);
}
