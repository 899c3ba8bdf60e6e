// qlxadm send and echo: a client and a business element on the broker's C interface.
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "qlx.h"
#include "qlxadm.h"

namespace qlx::adm {
namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

// Without SA_RESTART: a signal ends the broker's wait in a get.
void catchSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::string lastErrorText() {
  QLXERROR error{};
  qlxGetLastError(&error);
  char text[400];
  uint32_t length = sizeof text;
  if (!(error.Flags & kQlxErrorReason) || !qlxFormatError(&error.Reason, 1, text, &length))
    return "unknown error";
  std::string out(text, length);
  length = sizeof text;
  if ((error.Flags & kQlxErrorSubReason) && qlxFormatError(&error.SubReason, 1, text, &length))
    out += " (" + std::string(text, length) + ")";
  return out;
}

int32_t lastReason() {
  QLXERROR error{};
  qlxGetLastError(&error);
  return error.Reason.Code;
}

// Fills a 132-byte name field, NUL-padded. Names are checked before (checkName): one cut
// to the field could name another entry.
template <size_t N>
void setName(char (&field)[N], const std::string& name) {
  static_assert(N == kQlxNameLength);
  std::memset(field, 0, N);
  std::memcpy(field, name.data(), name.size() < N ? name.size() : N);
}

QLXADDR address(const std::string& name) {
  QLXADDR addr = kQlxAddrDefault;
  setName(addr.Name, name);
  return addr;
}

struct SendOptions {
  std::string service, client, format, body;
  long long wait = -1;  // no wait
};

// Largest body send reads from standard input: far above any test message, and a
// stream that never ends (/dev/zero) is refused instead of filling the memory.
constexpr size_t kMaxBody = 64u << 20;

bool readBody(std::string& body, std::string& error) {
  char chunk[65536];
  body.clear();
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
    if (got > kMaxBody - body.size())
      return (error = "the body on standard input is over 64 MiB (67108864 bytes)"), false;
    body.append(chunk, got);
  }
  if (std::ferror(stdin)) return (error = "cannot read the body from standard input"), false;
  return true;
}

bool parseSend(const Args& args, SendOptions& o, std::string& error) {
  std::vector<std::string> words;
  bool formatGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--as" || a == "--format" || a == "--wait") && i + 1 >= args.size())
      return (error = a + " needs a value"), false;
    if (a == "--as") {
      o.client = args[++i];
    } else if (a == "--format") {
      o.format = args[++i];
      formatGiven = true;
    } else if (a == "--wait") {
      if (!parseNumber(args[++i], o.wait) || o.wait < 0 || o.wait > INT32_MAX)
        return (error = "--wait needs milliseconds from 0 to 2147483647"), false;
    } else {
      words.push_back(a);
    }
  }
  if (words.empty() || words.size() > 2 || o.client.empty())
    return (error = "send takes SERVICE --as CLIENT [BODY|-]"), false;
  o.service = words[0];
  if (!checkName("service", o.service, error) || !checkName("client", o.client, error) ||
      (formatGiven && !checkName("format", o.format, error)))
    return false;
  if (words.size() == 2 && words[1] == "-")
    return readBody(o.body, error);
  if (words.size() == 2)
    o.body = words[1];
  return true;
}

// Waits for the response of `theme` and prints its body. 0 or 1.
int receive(QLXHANDLE handle, QLXHANDLE theme, const SendOptions& o, const QLXSYNC& sync) {
  QLXMSG msg = kQlxMsgDefault;
  QLXGETOPT get = kQlxGetOptDefault;
  get.Options = 0x198;  // this theme, waiting
  get.Wait = static_cast<int32_t>(o.wait);
  if (!qlxGetResponse(handle, &msg, &get, &sync, &theme))
    return complain(1, "no response: " + lastErrorText());
  std::fwrite(msg.MsgBuffer.Data, 1, msg.MsgLength, stdout);
  if (msg.MsgLength && static_cast<const char*>(msg.MsgBuffer.Data)[msg.MsgLength - 1] != '\n')
    std::fputc('\n', stdout);
  qlxFreeBuffer(handle, &msg.MsgBuffer);
  qlxFreeBuffer(handle, &msg.TagBuffer);
  return qlxCommit(handle, &sync) ? 0 : complain(1, "commit failed: " + lastErrorText());
}

int sendAs(QLXHANDLE handle, const SendOptions& o) {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  QLXSERVICE service = kQlxServiceDefault;
  setName(service.Name, o.service);
  QLXMSG msg = kQlxMsgDefault;
  setName(msg.FormatName, o.format);
  if (!o.format.empty()) msg.Format = -1;
  msg.MsgLength = static_cast<uint32_t>(o.body.size());
  msg.MsgBuffer = QLXBUFFER{0, msg.MsgLength, const_cast<char*>(o.body.data())};
  QLXPUTOPT put = kQlxPutOptDefault;
  QLXHANDLE theme = 0;
  if (!qlxPutRequest(handle, &service, &msg, &put, &sync, &theme))
    return complainInBroker(1, "cannot send to " + o.service + ": " + lastErrorText());
  if (!qlxCommit(handle, &sync)) return complain(1, "commit failed: " + lastErrorText());
  std::cerr << "qlxadm: sent " << o.body.size() << " bytes to " << o.service << " as "
            << o.client << "\n";
  return o.wait < 0 ? 0 : receive(handle, theme, o, sync);
}

// Forwards one request along its workflow (or consumes it at the end) and commits.
int forward(QLXHANDLE handle, QLXMSG& msg, QLXHANDLE& theme, const QLXSYNC& sync, long long n) {
  const bool follows = (msg.Status & kQlxStatusWorkflowFollows) != 0;
  QLXPUTOPT put = kQlxPutOptDefault;
  if (follows && !qlxPutResponse(handle, &msg, &put, &sync, &theme)) {
    std::string why = lastErrorText();
    qlxRollback(handle, &sync);
    return complain(1, "cannot forward: " + why);
  }
  if (!qlxCommit(handle, &sync)) return complain(1, "commit failed: " + lastErrorText());
  // One write a line: std::cerr is unbuffered, so each << would be a system call of its
  // own on every request served.
  std::cerr << "qlxadm: request " + std::to_string(n) + " (" + std::to_string(msg.MsgLength) +
                   " bytes) " + (follows ? "forwarded" : "consumed at the end of its workflow") +
                   "\n";
  return 0;
}

int serve(QLXHANDLE handle, long long count) {
  QLXSYNC sync = kQlxSyncDefault;
  sync.SyncType = 1;
  for (long long n = 1; !gStop && (count < 0 || n <= count);) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = 0x2148;
    // Waits of half a second: a signal that lands between the test of gStop and the wait
    // (and so cannot interrupt it) still ends the loop soon.
    get.Wait = 500;
    QLXHANDLE theme = 0;
    if (!qlxGetRequest(handle, &msg, &get, &sync, &theme)) {
      if (lastReason() == 20) continue;  // nothing yet
      if (lastReason() == 74) break;     // interrupted
      return complain(1, "cannot get a request: " + lastErrorText());
    }
    ++n;
    int status = forward(handle, msg, theme, sync, n - 1);
    qlxFreeBuffer(handle, &msg.MsgBuffer);
    qlxFreeBuffer(handle, &msg.TagBuffer);
    qlxCloseHandle(handle, &theme);
    if (status != 0) return status;
  }
  return 0;
}

}  // namespace

int send(const Args& args) {
  SendOptions o;
  std::string error;
  if (!parseSend(args, o, error)) return complain(2, error + " (see qlxadm --help)");
  QLXADDR addr = address(o.client);
  QLXHANDLE handle = 0;
  if (!qlxClientInitialize(&addr, &handle))
    return complainInBroker(1, "cannot connect as client " + o.client + ": " + lastErrorText());
  int status = sendAs(handle, o);
  qlxTerminate(&handle);
  return status;
}

int echo(const Args& args) {
  long long count = -1;
  if (args.empty() || !(args.size() == 1 || (args.size() == 3 && args[1] == "--count" &&
                                             parseNumber(args[2], count) && count > 0)))
    return complain(2, "echo takes ELEMENT [--count N] (see qlxadm --help)");
  std::string error;
  if (!checkName("element", args[0], error)) return complain(2, error);
  catchSignals();
  QLXADDR addr = address(args[0]);
  QLXHANDLE handle = 0;
  void* directory = nullptr;
  unsigned char work[852] = {};
  if (!qlxSPIInitialize(&addr, 1, &handle, &directory, work))
    return complainInBroker(1, "cannot connect as business element " + args[0] + ": " +
                                   lastErrorText());
  std::cerr << "qlxadm: serving as " + args[0] + "\n";
  int status = serve(handle, count);
  qlxTerminate(&handle);
  return status;
}

}  // namespace qlx::adm
