// The service of the transformation component zvrtbc: each request is transformed and
// exactly one response goes on along the request's workflow.
//
// zvrtbc neither routes nor fans out: a Routing section in the map's output (ZVRTT0004) and
// output cards after the first (ZVRTT0006) are reported as warnings and otherwise ignored.
// Use zvrbc (TsiBC) for either.
#ifndef ZVR_TSITBC_H
#define ZVR_TSITBC_H

#include <ostream>

#include "tsiservice.h"

class TsiTBC : public TsiService {
 public:
  static constexpr const char* kDefaultName = "ZVRTransform1";

  // Parses and checks the command line (`argv` and `title` are borrowed and must outlive
  // the object), then starts the engine. Bad options write the usage text and end the
  // process with status 1; so does an engine that does not start.
  TsiTBC(int argc, const char* const* argv, const char* title);
  // Ends the engine; the transform object and the connection go with the base classes.
  ~TsiTBC() override;

  // TsiService's text and "\nAlways Transform: Yes|No".
  int display(char*& text) const override;
  int validOptions() override;
  // TsiService's usage, " [ -required ]" and a line end.
  void usage(const char* program) const override;
  int parseArgs(int argc, const char* const* argv) override;                 // slot 12
  int validTransform(unsigned long length) const override;                   // slot 13
  // Puts the response of the first frame; later output is logged (ZVRTT0006) and left.
  // 1, or handleError's result when the frame cannot be read or put. On return `buffer`
  // and `length` describe the output after the first frame.
  int process_buffer(void*& buffer, unsigned long& length, Marshall* marshall,
                     const QuorRequest& request) override;                   // slot 14
  // Takes the first frame off `buffer` (which then points at its data, `length` its data
  // length), builds its response, puts it and closes the request's theme. `response` is
  // left null: the response is deleted here. 1 when put; 0 for an empty or broken frame
  // or a failed put (the reason pending in ZVRerror, where there is one).
  int _do_response(Marshall* marshall, void*& buffer, unsigned long& length,
                   QuorResponse*& response) override;                        // slot 15
};

std::ostream& operator<<(std::ostream& os, const TsiTBC& service);

#endif  // ZVR_TSITBC_H
