// The service of the broker component zvrbc: each request is transformed, every output
// card of the map becomes a response, and each response goes where the map's routing says.
//
// TBCService::processMessageAndReply hands the engine's whole output to process_buffer,
// which takes it apart frame by frame (_do_response). A frame without a Routing section
// goes on along the request's workflow (ZVRTB0007 logged); a frame with route entries is
// routed entry by entry through a ZVRSubscription (INSERT, REPLACE, NOTIFY). Every put
// joins the request's unit of work, so a failure part-way is undone by handleError's
// rollback.
#ifndef ZVR_TSIBC_H
#define ZVR_TSIBC_H

#include <memory>
#include <ostream>

#include "tsiservice.h"

class Marshall;
class QuorRequest;
class QuorResponse;
class ZvrRouteList;

class TsiBC : public TsiService {
 public:
  static constexpr const char* kDefaultName = "ZVRBroker1";

  // Parses and checks the command line (`argv` and `title` are borrowed and must outlive
  // the object), then starts the engine. Bad options (-required among them) write the
  // usage text and end the process with status 1; so does an engine that does not start.
  TsiBC(int argc, const char* const* argv, const char* title);
  // Ends the engine; the transform object and the connection go with the base classes.
  ~TsiBC() override;

  // The same text as TsiService's.
  int display(char*& text) const override;
  // 0 when -required was given (zvrbc always transforms), else TsiService's check.
  int validOptions() override;
  // TsiService's usage and a line end.
  void usage(const char* program) const override;
  int parseArgs(int argc, const char* const* argv) override;                 // slot 12
  int validTransform(unsigned long length) const override;                   // slot 13
  // Handles every frame of the engine output (`buffer`, `length`, owned by the transform
  // object) in order; `marshall` is borrowed and its text is replaced by each frame in
  // turn. 1 when all were handled; otherwise handleError's result for the frame that
  // failed, whose position `buffer`/`length` then describe (after success: the empty
  // rest). The request's theme handle is closed once, at the end, when any response was
  // made from the output.
  int process_buffer(void*& buffer, unsigned long& length, Marshall* marshall,
                     const QuorRequest& request) override;                   // slot 14
  // Takes the first frame off `buffer` (which then points at its data, `length` its data
  // length) and sends its response along the workflow or by its route entries. 1 on
  // success, also for a skipped frame of length 0 (or a byte that starts no frame at
  // all, which is noted for process_buffer); 0 with the reason pending in ZVRerror.
  // `response` gets the response made from the frame (null if none): the caller deletes
  // it, on failure too.
  int _do_response(Marshall* marshall, void*& buffer, unsigned long& length,
                   QuorResponse*& response) override;                        // slot 15

 private:
  // Walks the route list over `response`'s piece. 1 when every entry was carried out.
  int _route(Marshall* marshall, const QuorResponse& response);
  // Puts `response` along the request's workflow and logs ZVRTB0007 with the piece.
  int _putAlongWorkflow(const Marshall& marshall, const QuorResponse& response) const;
  // Writes a warning about the piece held by `marshall` to the log, with its dump.
  void _logWithDump(const char* id, const char* text, const Marshall& marshall) const;
  void _closeRequestTheme(const QuorRequest& request) const;

  std::unique_ptr<ZvrRouteList> routes_;
  // Kept for the class's published layout; no operation sets it.
  std::unique_ptr<Marshall> marshall_;
  // Set while reading one output when a piece did not even start with a frame length.
  bool unframed_ = false;
};

std::ostream& operator<<(std::ostream& os, const TsiBC& service);

#endif  // ZVR_TSIBC_H
