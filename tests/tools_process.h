// Helpers of the tools' end-to-end tests: find a program of the build (started with
// zvr::testing::ChildProcess), and talk to the embedded broker as a client or a business
// element from the test process.
#ifndef ZVR_TESTS_TOOLS_PROCESS_H
#define ZVR_TESTS_TOOLS_PROCESS_H

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "descriptor.h"
#include "qlx.h"
#include "testing/child_process.h"
#include "testing/zvr_testing.h"

namespace zvr::tools {

// A program of this build's bin/, or empty when the build has none.
inline std::string program(const std::string& name) {
  std::string path = zvr::testing::buildDir() + "/bin/" + name;
  return std::filesystem::exists(path) ? path : "";
}

// A test home with the tools' helpers: files in the home, a queue's depth.
class ToolsHome : public zvr::testing::DirectoryHome {
 protected:
  std::string file(const std::string& name) const { return home() + "/" + name; }
  std::string text(const std::string& name) const { return zvr::testing::readFile(file(name)); }

  // Messages waiting on the queue of `element` (-1 when qlxadm cannot tell).
  int depth(const std::string& element) const {
    std::string out;
    if (qlxadm("browse element:" + element, &out) != 0) return -1;
    size_t colon = out.find(": ");
    return colon == std::string::npos ? -1 : std::atoi(out.c_str() + colon + 2);
  }
};

// Polls until `done()` holds or `seconds` pass; returns whether it held.
template <typename Predicate>
bool eventually(Predicate done, int seconds = 20) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A literal's bytes, NUL bytes included.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// The bytes a buffer field describes.
inline std::string bytesOf(const QLXBUFFER& buffer, uint32_t length) {
  if (buffer.Data == nullptr) return "";
  return std::string(static_cast<const char*>(buffer.Data), length);
}

// What a request carried, as the receiving element saw it.
struct Seen {
  std::string body;
  std::string tag;
  std::string format;
  std::string msgId;
  std::string correlId;
  int32_t msgType, priority, persistence, feedback, expiry, encoding;

  explicit Seen(const QLXMSG& msg)
      : body(bytesOf(msg.MsgBuffer, msg.MsgLength)),
        tag(bytesOf(msg.TagBuffer, msg.TagLength)),
        msgId(reinterpret_cast<const char*>(msg.MsgId), kQlxMsgIdLength),
        correlId(reinterpret_cast<const char*>(msg.CorrelId), kQlxMsgIdLength),
        msgType(msg.MsgType),
        priority(msg.Priority),
        persistence(msg.Persistence),
        feedback(msg.Feedback),
        expiry(msg.Expiry),
        encoding(msg.Encoding) {
    char name[kFormatNameArea];
    zvrGetFormatName(msg, name);
    format = name;
  }
  bool operator==(const Seen&) const = default;
};

// One request a client sends: body, tag and a few descriptor fields off their defaults.
struct Outgoing {
  Outgoing(std::string b, std::string t) : body(std::move(b)), tag(std::move(t)) {}
  std::string body;
  std::string tag;
  std::string format = "ORDERS";
  int32_t priority = 5;
  int32_t expiry = 600;
  std::string msgId;     // 24 bytes, or empty for one the broker chooses
  std::string correlId;  // 24 bytes, or empty for the theme id
};

// A client connection of the test process (syncpoint none: every put and get is final).
class Client {
 public:
  explicit Client(const char* name) {
    QLXADDR addr = kQlxAddrDefault;
    zvrCopyName(addr.Name, name);
    if (qlxClientInitialize(&addr, &handle_) != 1) handle_ = 0;
  }
  ~Client() {
    if (handle_ != 0) qlxTerminate(&handle_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return handle_ != 0; }

  bool send(const char* service, const Outgoing& request) {
    QLXMSG msg = kQlxMsgDefault;
    zvrSetFormatName(msg, request.format.c_str());
    msg.Priority = request.priority;
    msg.Expiry = request.expiry;
    if (request.msgId.size() == kQlxMsgIdLength) zvrSetId(msg.MsgId, request.msgId.data());
    if (request.correlId.size() == kQlxMsgIdLength)
      zvrSetId(msg.CorrelId, request.correlId.data());
    zvrAttachBuffer(handle_, msg.MsgBuffer, msg.MsgLength, request.body.data(),
                    static_cast<uint32_t>(request.body.size()));
    if (!request.tag.empty())
      zvrAttachBuffer(handle_, msg.TagBuffer, msg.TagLength, request.tag.data(),
                      static_cast<uint32_t>(request.tag.size()));
    QLXSERVICE svc = kQlxServiceDefault;
    zvrCopyName(svc.Name, service);
    QLXPUTOPT put = kQlxPutOptDefault;
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 0;
    QLXHANDLE theme = 0;
    return qlxPutRequest(handle_, &svc, &msg, &put, &sync, &theme) == 1;
  }

  // The body of the next response, waiting up to `millis`; false when none came.
  bool receive(std::string& body, int millis = 20000) {
    QLXMSG msg = kQlxMsgDefault;
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options |= kQlxGetWait;
    get.Wait = millis;
    QLXSYNC sync = kQlxSyncDefault;
    sync.SyncType = 0;
    QLXHANDLE theme = 0;
    if (qlxGetResponse(handle_, &msg, &get, &sync, &theme) != 1) return false;
    body = bytesOf(msg.MsgBuffer, msg.MsgLength);
    zvrReleaseBuffer(handle_, msg.MsgBuffer);
    zvrReleaseBuffer(handle_, msg.TagBuffer);
    return true;
  }

 private:
  QLXHANDLE handle_ = 0;
};

}  // namespace zvr::tools

#endif  // ZVR_TESTS_TOOLS_PROCESS_H
