// The test client's run: start-up texts, the connection as a named client, the drain of
// responses left from earlier runs, then messages typed in by hand (interactive mode) or
// read from a message file (file mode) are put to the service and their responses shown,
// and finally shut-down with the open unit of work rolled back.
//
// Requests are built from a Message's descriptor (borrowed for the request's life) and
// put with QuorRequest::putRequest on this client's connection. Operator texts go to
// standard error; prompts and full message prints to standard output.
#ifndef ZVR_TESTCLIENT_H
#define ZVR_TESTCLIENT_H

#include <memory>

#include "clientoptions.h"
#include "message.h"
#include "messagefile.h"
#include "qlx.h"
#include "quorclient.h"

class QuorRequest;
class QuorResponse;

class ZvrTestClient {
 public:
  // `options` is borrowed and must outlive the client.
  explicit ZvrTestClient(const ClientOptions& options);
  ~ZvrTestClient();
  ZvrTestClient(const ZvrTestClient&) = delete;
  ZvrTestClient& operator=(const ZvrTestClient&) = delete;

  // The whole run; returns the exit status (0). A message file that cannot be opened or a
  // connection that cannot be made ends the process with status 1 on the way.
  int run();

 private:
  void _startUp();
  void _drainResponses();
  void _interactive();
  // One message typed in by hand; false when it ends the conversation.
  bool _interactiveOnce();
  void _fileMode();
  // One pass through the file; the number of records that were whole enough to send.
  int _filePass();
  void _sendRecord(const Message& message);
  void _showRequest(const QuorRequest& request) const;
  // Fetches a response of `theme` (0: any) and shows it; false when none came.
  bool _fetchResponse(unsigned long theme);
  void _shutDown();

  const ClientOptions& options_;
  std::unique_ptr<MessageFile> file_;
  std::unique_ptr<QuorClient> client_;
  long loops_ = 0;
  unsigned long theme_ = 0;
  bool error_ = false;
  QLXGETOPT getOptions_;
  QLXPUTOPT putOptions_;
};

// Writes the pending ZVRerror's display text and a newline to standard error; nothing when
// none is pending.
void zvrWriteCurrentError();

#endif  // ZVR_TESTCLIENT_H
