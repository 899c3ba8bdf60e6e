// What both component servers do with one request, and their start-up sequence.
//
// processMessageAndReply checks the request for poison, marshals it, finds the next hop
// of its workflow, runs the transformation (_do_transform) and hands the engine's output
// to the leaf's process_buffer, which builds and puts the responses. With -required a
// request whose next hop already accepts its format is not transformed: it goes on
// unchanged, put as the response made from its own message and tag. Options -nosync,
// -required and -hdr.
#ifndef ZVR_TBCSERVICE_H
#define ZVR_TBCSERVICE_H

#include <memory>

#include "brokerservice.h"

class Marshall;
class QuorResponse;
class TsiTransform;

class TBCService : public BrokerService {
 public:
  // _do_transform's result when no map was run and the request is to go on unchanged.
  static constexpr int kPassThrough = 2;

  // `name` as for QuorService; `title` (the component's display name) is borrowed and
  // must outlive the object. Always-transform 1, include-header 0, no transform object.
  TBCService(const char* name, const char* title);
  // Deletes the transform object, if any.
  ~TBCService() override;

  int display(char*& text) const override;
  // BrokerService's options, then -nosync, -required and -hdr.
  int getOptions(int& index, int argc, const char* const* argv) override;
  int validOptions() override;
  void usage(const char* program) const override;
  // 1 when the request may be committed, otherwise handleError's result.
  int processMessageAndReply(const QuorRequest& request) override;          // slot 10
  // Banner, operating parameters, initQuor, initTrans, "<title> Initialized.". A failure
  // ends the process with status 1.
  void initialize() override;                                                // slot 11

  // 1 when a transformation output of `length` bytes is worth processing.
  virtual int validTransform(unsigned long length) const = 0;                // slot 13
  // Builds and puts the responses of the engine output (`buffer`, `length`; owned by the
  // transform object). 1 when every piece was handled, else handleError's result. On
  // return the two describe what was not consumed. `marshall` is borrowed.
  virtual int process_buffer(void*& buffer, unsigned long& length, Marshall* marshall,
                             const QuorRequest& request) = 0;                // slot 14
  // Handles the first frame of `buffer`; `response` gets the response built from it (null
  // if none), which the caller deletes unless the leaf says otherwise. 1 on success.
  virtual int _do_response(Marshall* marshall, void*& buffer, unsigned long& length,
                           QuorResponse*& response) = 0;                     // slot 15
  // Finds the next hop and runs the map over `marshalled` (borrowed; may be null: then
  // ZVRS0012). 1 with `buffer`/`length` describing the output (owned by the transform
  // object until its next run; length 0 is an empty output). kPassThrough (-required and
  // the hop accepts the request's format): no map was run and the out-arguments are left
  // alone. 0 on failure with the error pending in ZVRerror.
  virtual int _do_transform(const Marshall* marshalled, const QuorRequest& request,
                            void*& buffer, unsigned long& length);           // slot 16
  // Makes the transform object (and, where asked, the dictionary cache). 1 on success.
  virtual int initTrans() = 0;                                               // slot 17
  // A new marshalled form of `request` (the caller deletes it), or null.
  virtual Marshall* marshall(const QuorRequest& request) const = 0;          // slot 18

  TsiTransform* transform() const { return transform_.get(); }

 protected:
  // Puts the request on unchanged along its workflow (the -required pass-through) and
  // closes its theme handle. 1 when put, else handleError's result.
  int _forward(const QuorRequest& request);
  // Closes the request's theme handle on the business element's connection. A failure
  // is of no consequence to the request and is not reported.
  void _closeTheme(const QuorResponse& response) const;

  std::unique_ptr<TsiTransform> transform_;
  int alwaysTransform_ = 1;  // 0 (-required): transform only when the hop needs it
  int includeHeader_ = 0;    // 1 (-hdr): the marshalled text carries the descriptor
  const char* const title_;
};

#endif  // ZVR_TBCSERVICE_H
