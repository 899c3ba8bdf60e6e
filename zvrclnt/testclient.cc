#include "testclient.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "erroradt.h"
#include "quorrequest.h"
#include "trc.h"

static trc::Module kTrace{"zvrclnt"};

namespace {

// Put options of every request the client sends.
constexpr uint32_t kRequestPutOptions = 0x460;
constexpr unsigned long kResponseWait = 50000;
// A loop count of -1 replays the file for ever: passes are then not counted down.
constexpr long kEndlessLoops = 999;

void writeBody(const char* title, const void* data, unsigned long length) {
  trc::Scope trace(kTrace);
  std::fputs(title, stderr);
  if (data && length) std::fwrite(data, 1, length, stderr);
  std::fputc('\n', stderr);
}

bool beginsWithQuit(const Message& message) {
  trc::Scope trace(kTrace);
  return message.MsgLength() >= 4 && std::memcmp(message.MsgBuffer(), "QUIT", 4) == 0;
}

}  // namespace

void zvrWriteCurrentError() {
  trc::Scope trace(kTrace);
  if (ZVRerror == nullptr) return;
  char* text = nullptr;
  int length = ZVRerror->display(text);
  std::fwrite(text, 1, length, stderr);
  std::fputc('\n', stderr);
  delete[] text;
}

ZvrTestClient::ZvrTestClient(const ClientOptions& options)
    : options_(options), getOptions_(kQlxGetOptDefault), putOptions_(kQlxPutOptDefault) {
  trc::Scope trace(kTrace);
  putOptions_.Options = kRequestPutOptions;
}

ZvrTestClient::~ZvrTestClient() = default;

int ZvrTestClient::run() {
  trc::Scope trace(kTrace);
  _startUp();
  _drainResponses();
  if (file_)
    _fileMode();
  else
    _interactive();
  _shutDown();
  return trace.result(0);
}

void ZvrTestClient::_startUp() {
  trc::Scope trace(kTrace);
  std::fprintf(stderr, "Quor Client ( %s %s )\n\n", __DATE__, __TIME__);
  std::fprintf(stderr, "\n%s\n", std::string(55, '=').c_str());
  std::fputs("The client program sends messages it pulls from a \n", stderr);
  std::fputs("file or entered by the user.                           \n", stderr);
  std::fprintf(stderr, "%s\n\n", std::string(57, '=').c_str());
  std::fputs("Operating Parameters\n--------------------\n", stderr);
  std::fprintf(stderr, "Client Name: %s\n", options_.clientName.c_str());
  std::fprintf(stderr, "Business Service Name: %s\n", options_.serviceName.c_str());
  if (options_.hasInputFile()) {
    file_ = std::make_unique<MessageFile>(options_.inputFile.c_str());
    if (file_->headerFault()) {
      std::fprintf(stderr, "Message file %s, line 1: %s.\n", file_->fileName(),
                   file_->headerFault());
    }
    loops_ = options_.loopCount != 0 ? options_.loopCount : file_->numLoopTimes();
    std::fprintf(stderr, "Message File Name: %s\n", options_.inputFile.c_str());
    std::fprintf(stderr, "Message File Loop Times: %d\n", static_cast<int>(loops_));
  }
  std::fputs("Quor Client starting...  \n", stderr);
  client_ = std::make_unique<QuorClient>(options_.clientName.c_str(), 1,
                                         options_.serviceName.c_str());
  std::fputs("Quor Client initialized.\n\n", stderr);
}

void ZvrTestClient::_drainResponses() {
  trc::Scope trace(kTrace);
  for (;;) {
    std::unique_ptr<QuorResponse> stale(client_->getResponse(0, 0));
    // A response whose commit fails would come back again: stop there, not loop on it.
    if (!stale || !client_->commit()) break;
  }
  zvrClearError();
}

void ZvrTestClient::_interactive() {
  trc::Scope trace(kTrace);
  while (_interactiveOnce()) {
  }
}

bool ZvrTestClient::_interactiveOnce() {
  trc::Scope trace(kTrace);
  Message message;
  message.FormatName(options_.formatName.c_str());
  std::printf("Enter the specified fields (message body = \"QUIT\" to end)\n");
  // The end of standard input ends the conversation as QUIT does: there is nothing more
  // to send, and sending empty messages for ever helps no one.
  bool more = message.enterMessage(options_.fullMessages) && !beginsWithQuit(message);
  if (more) {
    QuorRequest request(client_->handle(), &message.descriptor(), theme_, getOptions_);
    _showRequest(request);
    bool sent = request.putRequest(client_->handle(), client_->transaction(),
                                   options_.serviceName.c_str(), putOptions_) != 0;
    if (sent) theme_ = request.theme();
    if (sent && client_->commit()) {
      if (options_.waitForResponses && !_fetchResponse(options_.anyMessage ? 0 : theme_))
        error_ = true;
    } else {
      zvrWriteCurrentError();
    }
  }
  zvrClearError();
  return more;
}

void ZvrTestClient::_fileMode() {
  trc::Scope trace(kTrace);
  const bool endless = loops_ == -1;
  if (endless) loops_ = kEndlessLoops;
  while (loops_ > 0 && !error_) {
    // A file with nothing to send would otherwise spin through its passes (for ever when
    // endless) without doing anything.
    if (_filePass() == 0) {
      std::fprintf(stderr, "Message file %s has no message to send.\n", file_->fileName());
      break;
    }
    file_->reset();
    if (!endless) --loops_;
  }
}

int ZvrTestClient::_filePass() {
  trc::Scope trace(kTrace);
  int sendable = 0;
  while (!error_) {
    Message message;
    if (!file_->readMsg(message)) break;
    if (file_->recordFault()) {
      // A damaged record is not sent half-read; the operator learns where it lies.
      std::fprintf(stderr, "Message file %s, line %lu: %s; record not sent.\n",
                   file_->fileName(), file_->recordLine(), file_->recordFault());
      continue;
    }
    ++sendable;
    _sendRecord(message);
  }
  return trace.result(sendable);
}

void ZvrTestClient::_sendRecord(const Message& message) {
  trc::Scope trace(kTrace);
  QuorRequest request(client_->handle(), &message.descriptor(), 0, getOptions_);
  if (!request.putRequest(client_->handle(), client_->transaction(),
                          options_.serviceName.c_str(), putOptions_)) {
    zvrWriteCurrentError();
    zvrClearError();
    return;
  }
  _showRequest(request);
  client_->commit();
  if (options_.waitForResponses && !_fetchResponse(0)) error_ = true;
  std::fputc('\n', stderr);
  zvrClearError();
}

void ZvrTestClient::_showRequest(const QuorRequest& request) const {
  trc::Scope trace(kTrace);
  if (options_.fullMessages)
    Message(request).Print(1);
  else
    writeBody("Sending Message: \n", request.buffer(), request.length());
}

bool ZvrTestClient::_fetchResponse(unsigned long theme) {
  trc::Scope trace(kTrace);
  std::unique_ptr<QuorResponse> response(client_->getResponse(theme, kResponseWait));
  if (!response) {
    zvrWriteCurrentError();
    return trace.result(false);
  }
  if (options_.fullMessages)
    Message(*response).Print(1);
  else
    writeBody("Received Message: \n", response->buffer(), response->length());
  return trace.result(true);
}

void ZvrTestClient::_shutDown() {
  trc::Scope trace(kTrace);
  file_.reset();
  // A response fetched after the last commit goes back to the queue.
  if (!client_->rollback()) zvrWriteCurrentError();
  zvrClearError();
  std::fputs("\nQuor Client shutting down.\n", stderr);
  client_.reset();
}
