// Test fixture of the marshalling family: a request to marshal, exact-size copies of
// pieces to read (so that the sanitizers catch any read past a piece), and short helpers.
#ifndef ZVR_MARSHALL_TESTING_H
#define ZVR_MARSHALL_TESTING_H

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "erroradt.h"
#include "marshall.h"
#include "quorrequest.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"
#include "zvrroute.h"

namespace zvr::testing {

// Ids with bytes that must pass unaltered: markup, CR LF, NUL, high bytes. (An id holding
// its own closing tag could not be read back: the value ends at the first closing tag.)
inline const std::string kTestMsgId("MSG<ID>\r\n\0\xff\x01" "abcdefghijkl", 24);
inline const std::string kTestCorrelId("</MsgID>\r\n\0\x80" "zyxwvutsrqpo", 24);

// The descriptor of the documented example: defaults, ids above, time stamp 1015478493
// and 250, format name "ORDERS", no tag; the body is added by request().
inline QLXMSG exampleDescriptor() {
  QLXMSG msg = kQlxMsgDefault;
  msg.BackoutCount = 0;
  std::memcpy(msg.MsgId, kTestMsgId.data(), 24);
  std::memcpy(msg.CorrelId, kTestCorrelId.data(), 24);
  msg.TimeStamp = {1015478493, 250};
  std::strcpy(msg.FormatName, "ORDERS");
  msg.Format = -1;
  return msg;
}

class MarshallTest : public BrokerHome {
 protected:
  void SetUp() override {
    BrokerHome::SetUp();
    descriptor_ = exampleDescriptor();
  }

  // A request over descriptor_ with `body` and `tag` (kept by the fixture).
  const QuorRequest& request(const std::string& body = "hello", const std::string& tag = "") {
    body_ = body;
    tag_ = tag;
    descriptor_.MsgLength = static_cast<uint32_t>(body_.size());
    descriptor_.MsgBuffer = {0, static_cast<uint32_t>(body_.size()), body_.data()};
    descriptor_.TagLength = static_cast<uint32_t>(tag_.size());
    descriptor_.TagBuffer = {0, static_cast<uint32_t>(tag_.size()),
                             tag_.empty() ? nullptr : tag_.data()};
    request_ = std::make_unique<QuorRequest>(0, &descriptor_, 7, kQlxGetOptDefault);
    return *request_;
  }

  // The marshalled text of request(body, tag).
  std::string marshal(unsigned flags, const std::string& body = "hello",
                      const std::string& tag = "") {
    TsiMarshall marshall(request(body, tag), flags);
    return std::string(static_cast<const char*>(marshall.buffer()), marshall.length());
  }

  // An exact-size heap copy of `text`, kept until the end of the test.
  std::pair<void*, unsigned long> piece(const std::string& text) {
    pieces_.push_back(std::make_unique<char[]>(text.size()));
    std::memcpy(pieces_.back().get(), text.data(), text.size());
    return {pieces_.back().get(), text.size()};
  }

  // Reads `text` with a TsiMarshall of the current request (made with request() when
  // none was made yet).
  std::unique_ptr<QuorResponse> read(const std::string& text, ZvrRouteList* routes = nullptr) {
    if (!request_) request();
    TsiMarshall marshall(*request_, 1);
    auto [data, length] = piece(text);
    return std::unique_ptr<QuorResponse>(marshall.createResponse(data, length, routes));
  }

  static std::string bodyOf(const QuorResponse& response) {
    const QLXMSG& msg = response.descriptor();
    return std::string(static_cast<const char*>(msg.MsgBuffer.Data), msg.MsgLength);
  }
  static std::string tagOf(const QuorResponse& response) {
    const QLXMSG& msg = response.descriptor();
    return std::string(static_cast<const char*>(msg.TagBuffer.Data), msg.TagLength);
  }

  QLXMSG descriptor_;
  std::string body_;
  std::string tag_;
  std::unique_ptr<QuorRequest> request_;
  std::vector<std::unique_ptr<char[]>> pieces_;
};

// "<Name>value</Name>" CR LF
inline std::string field(const std::string& name, const std::string& value) {
  return "<" + name + ">" + value + "</" + name + ">\r\n";
}
inline std::string begin(const std::string& name) { return "<" + name + ">\r\n"; }
inline std::string end(const std::string& name) { return "</" + name + ">\r\n"; }

}  // namespace zvr::testing

#endif  // ZVR_MARSHALL_TESTING_H
