// The dump component: a business element that takes one request off its queue, writes the
// exact text the transformation engine would receive for it to a file, and ends. Map
// authors place it in a workflow to capture test input for a map.
//
// The request is taken under a unit of work and committed only once the whole file is
// written, so a request that could not be dumped stays on the queue (with its backout
// count raised by the rollback).
#ifndef ZVR_DUMPCOMPONENT_H
#define ZVR_DUMPCOMPONENT_H

#include <cstdio>
#include <string>

class QuorBusinessElement;
class QuorRequest;
class Marshall;

// Settings from the command line. The texts are borrowed from argv.
struct ZvrDumpOptions {
  const char* element = "ZVRTransform1";
  const char* outFile = nullptr;
  unsigned header = 0;  // -hdr: marshal the descriptor fields as well
  bool help = false;    // -?
};

// Outcome of reading the command line.
enum class ZvrDumpParse { kRun, kHelp, kInvalid };

// Reads argv[1..argc-1] into `options`. "-e" and "-o" take the next argument when there is
// one; any other argument, or no "-o", makes the command line invalid. "-?" asks for the
// usage text (kHelp) unless the command line is invalid.
ZvrDumpParse zvrParseDumpOptions(int argc, const char* const* argv, ZvrDumpOptions& options);

// Writes the usage text to `to`.
void zvrDumpUsage(FILE* to);

class ZvrDumpComponent {
 public:
  explicit ZvrDumpComponent(const ZvrDumpOptions& options);
  ZvrDumpComponent(const ZvrDumpComponent&) = delete;
  ZvrDumpComponent& operator=(const ZvrDumpComponent&) = delete;

  // Banner, output file check, connection, one request dumped and committed. Returns the
  // exit status: 0 when the file was written and the request committed, 1 on any failure
  // (the error is written to standard error; the request is rolled back, or not taken at
  // all when the output file cannot be opened). A connection that cannot be made ends
  // the process with status 1 inside.
  int run();

 private:
  void _banner() const;
  // 1 when the framed text was written to the output file; 0 with the error written.
  int _writeFile(const Marshall& marshall) const;
  // 1 when the output file can be opened for writing; else 0 with ZVRP0001 written.
  int _canWriteFile() const;
  // Writes ZVRP0001 for the output file with `step` and the system's `reason` as its
  // information.
  void _reportFileError(const char* step, const std::string& reason) const;
  // Rolls the unit back and returns 1 (the failure's exit status).
  int _fail(QuorBusinessElement& element) const;

  const ZvrDumpOptions options_;
};

// Writes `length` bytes of `data` to the file `path`, created or emptied. 1 on success;
// 0 with `reason` set to the system's reason text and `opened` telling whether the file
// could be opened at all.
int zvrWriteWholeFile(const char* path, const void* data, unsigned long length, bool& opened,
                      std::string& reason);

#endif  // ZVR_DUMPCOMPONENT_H
