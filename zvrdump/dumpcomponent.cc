#include "dumpcomponent.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "catalog.h"
#include "erroradt.h"
#include "marshall.h"
#include "quorbusinesselement.h"
#include "quorrequest.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrdump"};

namespace {

// The pending error and a newline, to standard error; nothing when none is pending.
void _writePendingError() {
  trc::Scope trace(kTrace);
  if (ZVRerror != nullptr) std::cerr << *ZVRerror << "\n";
}

bool _is(const char* arg, const char* option) { return std::strcmp(arg, option) == 0; }

}  // namespace

ZvrDumpParse zvrParseDumpOptions(int argc, const char* const* argv, ZvrDumpOptions& options) {
  trc::Scope trace(kTrace);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (_is(arg, "-e") && hasValue) {
      options.element = argv[++i];
    } else if (_is(arg, "-o") && hasValue) {
      options.outFile = argv[++i];
    } else if (_is(arg, "-hdr")) {
      options.header = 1;
    } else if (_is(arg, "-?")) {
      options.help = true;
    } else {
      return ZvrDumpParse::kInvalid;
    }
  }
  // Help is help: it needs no output file to be asked for.
  if (options.help) return ZvrDumpParse::kHelp;
  return options.outFile == nullptr ? ZvrDumpParse::kInvalid : ZvrDumpParse::kRun;
}

void zvrDumpUsage(FILE* to) {
  trc::Scope trace(kTrace);
  std::fputs("\nUsage: zvrdumpt [-?] [-e element_name] [-hdr] -o out_file\n\n", to);
  std::fflush(to);
}

int zvrWriteWholeFile(const char* path, const void* data, unsigned long length, bool& opened,
                      std::string& reason) {
  trc::Scope trace(kTrace);
  FILE* file = std::fopen(path, "wb");
  opened = file != nullptr;
  if (!opened) {
    reason = std::strerror(errno);
    return trace.result(0);
  }
  bool ok = length == 0 || std::fwrite(data, 1, length, file) == length;
  int writeErrno = errno;
  // A full disk often shows only when the buffered bytes reach it at close.
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    writeErrno = errno;
  }
  if (!ok) reason = std::strerror(writeErrno);
  return trace.result(ok ? 1 : 0);
}

ZvrDumpComponent::ZvrDumpComponent(const ZvrDumpOptions& options) : options_(options) {}

void ZvrDumpComponent::_banner() const {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat("Quor Transformation Dump Component ( %s %s )\n\n", __DATE__,
                               __TIME__);
  text += "\n" + std::string(52, '=') + "\n";
  text += "The Dump Component retrieves a message and \n";
  text += " writes a marshalled version to a file for use in   \n";
  text += " debugging your TSI Mercator transformation maps.   \n";
  text += std::string(53, '=') + "\n\n";
  text += "Operating Parameters\n--------------------\n";
  text += zvrFormat("Business Element Name: %s\n", options_.element);
  text += "Marshalled Output for: TSI Mercator\n";
  text += zvrFormat("Header information marshalled: %s\n", options_.header ? "TRUE" : "FALSE");
  text += zvrFormat("Output File: %s\n", options_.outFile);
  text += "Quor Dump Server starting...  \n";
  std::cerr << text << std::flush;
}

int ZvrDumpComponent::_fail(QuorBusinessElement& element) const {
  trc::Scope trace(kTrace);
  // The pending error has been written already; a failed rollback only adds its own.
  if (!element.rollback()) _writePendingError();
  return trace.result(1);
}

int ZvrDumpComponent::_writeFile(const Marshall& marshall) const {
  trc::Scope trace(kTrace);
  bool opened = false;
  std::string reason;
  if (zvrWriteWholeFile(options_.outFile, marshall.buffer(), marshall.length(), opened,
                        reason)) {
    return trace.result(1);
  }
  // A file that opened but could not be written whole is reported under the same entry,
  // so that a short file is never taken for a dump.
  _reportFileError(opened ? "Writing the file failed: " : "Opening the file failed: ", reason);
  return trace.result(0);
}

void ZvrDumpComponent::_reportFileError(const char* step, const std::string& reason) const {
  trc::Scope trace(kTrace);
  std::string text = zvrFormat(ZVRTXT_P0001, options_.outFile);
  std::string info = step + reason;
  ErrorADT error(ZVRID_P0001, kZvrError, text.c_str(), ZVRUA_P0001, info.c_str(), nullptr, 0);
  std::cerr << error << "\n" << std::flush;
}

int ZvrDumpComponent::_canWriteFile() const {
  trc::Scope trace(kTrace);
  // Opened for appending: an existing file is emptied only when the dump is written.
  FILE* probe = std::fopen(options_.outFile, "ab");
  if (probe == nullptr) {
    _reportFileError("Opening the file failed: ", std::strerror(errno));
    return trace.result(0);
  }
  std::fclose(probe);
  return trace.result(1);
}

int ZvrDumpComponent::run() {
  trc::Scope trace(kTrace);
  _banner();
  // Checked before a request is taken: a file that cannot be written is known at once, not
  // after a request has been taken and given back with its backout count raised.
  if (!_canWriteFile()) return trace.result(1);
  // A unit of work (syncpoint type 1) keeps the request queued until the file is written.
  QuorBusinessElement element(options_.element, 1);
  std::cerr << "Quor Server initialized.\n\n" << std::flush;

  std::unique_ptr<QuorRequest> request(element.getRequest());
  if (!request) {
    _writePendingError();
    return trace.result(1);
  }
  // Made through create: an object left without its text would dump an empty file.
  std::unique_ptr<Marshall> marshall(TsiMarshall::create(*request, options_.header));
  if (!marshall) {
    if (ZVRverbose) {
      _writePendingError();
      std::cerr << *request << "\n";
    }
    return trace.result(_fail(element));
  }
  std::cerr << *marshall << std::flush;
  if (!_writeFile(*marshall)) return trace.result(_fail(element));
  if (!element.commit()) {
    _writePendingError();
    return trace.result(_fail(element));
  }
  std::cerr << "\nQuor Dump Server shutting down.\n" << std::flush;
  return trace.result(0);
}
