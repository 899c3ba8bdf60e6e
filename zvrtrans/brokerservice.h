// What a component does when requests fail: poison messages and the error profile.
//
// A request whose processing failed after something was put goes back to its queue under
// a rolled-back unit of work and returns with a backout count. checkForPoison hands such a
// request once to the middleware's error profile and, if it comes back again, stops the
// component until the operator restarts it with -force (process it once more) or -clear
// (take it off the queue unprocessed). handleError disposes of a request whose processing
// failed. Also the console options -d and -silent.
#ifndef ZVR_BROKERSERVICE_H
#define ZVR_BROKERSERVICE_H

#include "quorservice.h"

class BrokerService : public QuorService {
 public:
  // `name` as for QuorService; force and clear flags 0.
  explicit BrokerService(const char* name);
  ~BrokerService() override;

  int display(char*& text) const override;
  // QuorService's options, then -d, -silent, -force and -clear.
  int getOptions(int& index, int argc, const char* const* argv) override;
  // ZVRS0009 for -clear with -force, then for -silent with -logMsg (ZVRverbose is set back
  // to 1 so that the message is seen); then QuorService::validOptions.
  int validOptions() override;
  void usage(const char* program) const override;
  // With puts in the unit of work: logs the pending error and rolls back (the request
  // returns with a raised backout count). Without: reports the request to the error
  // profile and commits it away; a failed report logs ZVRS0001 and rolls back. Returns 1;
  // a failed rollback or commit ends the process with status 1. ZVRerror is consumed.
  int handleError(const QuorRequest& request) const override;                // slot 9
  // Does nothing.
  void initialize() override;                                                // slot 11
  // Reads every argument of the command line into the options. 1 when all were taken.
  virtual int parseArgs(int argc, const char* const* argv) = 0;              // slot 12

  // 0: process the request normally (with -force always, clearing _okToRun). 1: it was
  // dealt with here and must not be processed: a backout count of 1 went to the error
  // profile (ZVRS0005), 2 or more logged ZVRS0006, rolled back and cleared _okToRun. A
  // failed error-profile report for count 1 ends the process with status 1 (ZVRS0008).
  int checkForPoison(unsigned long backoutCount, const QuorRequest& request);

 protected:
  int force_ = 0;
  int clear_ = 0;

 private:
  // Rolls back; a failure is logged and ends the process with status 1.
  void _rollbackOrDie() const;
  // Ends the middleware connection (rolling back its open unit of work) and the process
  // with status 1.
  [[noreturn]] void _die() const;
};

#endif  // ZVR_BROKERSERVICE_H
