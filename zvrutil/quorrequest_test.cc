// Requests and responses without a broker connection: the theme list reader, the option
// bit rules, response building and ownership of the caller's buffers. The paths through the
// broker (puts, suppression, the error profile) are in tests/session_*.cc.
#include "quorrequest.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "catalog.h"
#include "descriptor.h"
#include "erroradt.h"
#include "testing/zvr_testing.h"
#include "zvrlog.h"

namespace {

// Builds a theme list the way the middleware lays it out.
class ThemeList {
 public:
  // `declared` overrides the item's data length word (for corrupt lists).
  ThemeList& item(uint32_t type, const std::string& data,
                  std::optional<uint32_t> declared = std::nullopt) {
    const size_t at = bytes_.size();
    bytes_.resize(at + kThemeItemData + ((data.size() + 3) & ~size_t{3}), 0);
    store(at + kThemeItemType, type);
    store(at + kThemeItemLength, declared.value_or(static_cast<uint32_t>(data.size())));
    std::memcpy(bytes_.data() + at + kThemeItemData, data.data(), data.size());
    ++count_;
    return *this;
  }
  ThemeList& count(uint32_t count) {
    forcedCount_ = count;
    return *this;
  }
  // The list cut to `size` bytes (default: whole), in a heap block of exactly that size so
  // that the sanitizer build catches any read past it.
  std::unique_ptr<unsigned char[]> bytes(size_t& size) {
    store(kThemeListCount, forcedCount_.value_or(count_));
    if (size == SIZE_MAX) size = bytes_.size();
    auto block = std::make_unique<unsigned char[]>(size);
    std::memcpy(block.get(), bytes_.data(), std::min(size, bytes_.size()));
    return block;
  }
  size_t size() const { return bytes_.size(); }

 private:
  void store(size_t at, uint32_t value) { std::memcpy(bytes_.data() + at, &value, 4); }
  std::vector<unsigned char> bytes_ = std::vector<unsigned char>(kThemeListItems, 0);
  uint32_t count_ = 0;
  std::optional<uint32_t> forcedCount_;
};

struct Found {
  int found;
  std::string data;
};

Found find(ThemeList& list, uint32_t type, size_t size = SIZE_MAX) {
  auto block = list.bytes(size);
  ZvrThemeItem item;
  const int found = zvrFindThemeItem(block.get(), size, type, item);
  return {found, found ? std::string(reinterpret_cast<const char*>(item.data), item.length)
                       : std::string()};
}

const std::string kId24 = "ABCDEFGHIJKLMNOPQRSTUVWX";

TEST(ThemeListTest, FindsTheFirstItemOfTheType) {
  ThemeList list;
  list.item(7, "x").item(1, kId24).item(1, "second");
  EXPECT_EQ(find(list, 1).data, kId24);
  EXPECT_EQ(find(list, 7).data, "x");
  EXPECT_EQ(find(list, 4).found, 0);
}

TEST(ThemeListTest, BoundaryCases) {
  struct Case {
    const char* name;
    int64_t sizeDelta;  // added to the built size
    int expected;
  };
  // One item of type 7 with 5 data bytes (padded to 8), then the wanted type-1 item of 5.
  const Case cases[] = {
      {"whole list", 0, 1},
      {"without the last item's padding", -3, 1},
      {"one byte short of the data", -4, 0},
      {"header only", -8, 0},
      {"one short of the header", -9, 0},
  };
  for (const Case& c : cases) {
    ThemeList list;
    list.item(7, "abcde").item(1, "fghij");
    EXPECT_EQ(find(list, 1, list.size() + c.sizeDelta).found, c.expected) << c.name;
  }
}

TEST(ThemeListTest, RejectsLengthsThatRunPastTheList) {
  const uint32_t lengths[] = {45, 0xFFFFFFFFu, 0xFFFFFFFDu, 0x80000000u};
  for (uint32_t declared : lengths) {
    ThemeList list;
    list.item(7, "abcd", declared).item(1, kId24);
    EXPECT_EQ(find(list, 1).found, 0) << declared;
    EXPECT_EQ(find(list, 7).found, 0) << declared;
  }
}

TEST(ThemeListTest, WalksNoMoreThanTheCount) {
  ThemeList list;
  list.item(7, "a").item(1, kId24).count(1);
  EXPECT_EQ(find(list, 1).found, 0);
  ThemeList more;
  more.item(1, kId24).count(1000);
  EXPECT_EQ(find(more, 4).found, 0);  // stops at the list's end, not at the count
  EXPECT_EQ(find(more, 1).found, 1);
}

TEST(ThemeListTest, EmptyAndMissingLists) {
  ZvrThemeItem item;
  EXPECT_EQ(zvrFindThemeItem(nullptr, 0, 1, item), 0);
  EXPECT_EQ(zvrFindThemeItem(nullptr, 64, 1, item), 0);
  ThemeList list;
  EXPECT_EQ(find(list, 1).found, 0);
  EXPECT_EQ(find(list, 1, 11).found, 0);  // too short for the count
}

// ---- option bits ----

TEST(OptionBitsTest, GetOptionsFollowTheThemeId) {
  QLXMSGID correl;
  std::memset(correl, 'C', sizeof correl);
  char same[kQlxMsgIdLength];
  std::memset(same, 'C', sizeof same);
  char other[kQlxMsgIdLength];
  std::memset(other, 'T', sizeof other);
  struct Case {
    uint32_t before;
    const char* themeId;
    uint32_t after;
    bool correlCopied;
  };
  const Case cases[] = {
      {0x2148, same, 0x2158, false}, {0x2148 | 0x2, same, 0x2158, false},
      {0x2148, other, 0x214A, true}, {0x2148 | 0x10, other, 0x214A, true},
      {0x0, same, 0x10, false},      {0x12, other, 0x2, true},
  };
  for (const Case& c : cases) {
    QLXGETOPT options = kQlxGetOptDefault;
    options.Options = c.before;
    zvrAdjustGetOptions(options, *reinterpret_cast<const char(*)[kQlxMsgIdLength]>(c.themeId),
                        correl);
    EXPECT_EQ(options.Options, c.after) << std::hex << c.before;
    EXPECT_EQ(std::memcmp(options.CorrelId, correl, 24) == 0, c.correlCopied);
  }
}

TEST(OptionBitsTest, PutOptionsFollowTheGetOptions) {
  struct Case {
    uint32_t get;
    uint32_t put;
    bool msgId;
    bool correlId;
  };
  const Case cases[] = {
      {0x0, 0x40000090, false, false},   {0x1, 0x40000091, true, false},
      {0x2, 0x40000082, false, true},    {0x3, 0x40000083, true, true},
      {0x10, 0x40000090, false, false},  {0x2158, 0x40000090, false, false},
      {0x214A, 0x40000082, false, true},
  };
  for (const Case& c : cases) {
    QLXGETOPT get = kQlxGetOptDefault;
    get.Options = c.get;
    get.MatchWord = 0x5A5A;
    std::memset(get.MsgId, 'M', 24);
    std::memset(get.CorrelId, 'C', 24);
    const QLXPUTOPT put = zvrResponsePutOptions(get);
    EXPECT_EQ(put.Options, c.put) << std::hex << c.get;
    EXPECT_EQ(put.MatchWord, 0x5A5Au);
    EXPECT_EQ(std::memcmp(put.Signature, "BXPO", 4), 0);
    EXPECT_EQ(put.MsgId[0], c.msgId ? 'M' : 0) << std::hex << c.get;
    EXPECT_EQ(put.CorrelId[23], c.correlId ? 'C' : 0) << std::hex << c.get;
  }
}

TEST(OptionBitsTest, SuppressionCodes) {
  struct Case {
    uint32_t flags;
    int32_t reason, sub;
    bool request, response;
  };
  const Case cases[] = {
      {0x3, 26, 0, true, true},  {0x3, 26, 42, false, false}, {0x3, 26, 20, true, false},
      {0x1, 26, 42, true, true}, {0x3, 25, 1, false, false},  {0x2, 26, 1, false, false},
      {0x3, 26, 7, true, true},
  };
  for (const Case& c : cases) {
    QLXERROR error{};
    error.Flags = c.flags;
    error.Reason.Code = c.reason;
    error.SubReason.Code = c.sub;
    EXPECT_EQ(zvrIsSuppressed(error), c.request) << c.reason << "/" << c.sub;
    EXPECT_EQ(zvrIsSuppressed(error, true), c.response) << c.reason << "/" << c.sub;
  }
}

// ---- requests without a connection (the theme query fails: theme ID = CorrelId) ----

class RequestTest : public zvr::testing::BrokerHome {
 protected:
  QLXMSG received() {
    QLXMSG msg;
    zvrInitDescriptor(msg);
    msg.MsgType = 8;
    msg.Priority = 3;
    msg.Persistence = 1;
    msg.Format = 77;
    msg.Feedback = 4;
    msg.Expiry = 500;
    msg.CodePage = 1208;
    msg.Encoding = 273;
    std::memset(msg.MsgId, 'M', 24);
    std::memset(msg.CorrelId, 'C', 24);
    msg.Status = kQlxStatusWorkflowFollows;
    msg.BackoutCount = 2;
    msg.TimeStamp = {1000, 5};
    std::memset(msg.FormatName, 'F', sizeof msg.FormatName);  // 132, no terminator
    zvrAttachBuffer(0, msg.MsgBuffer, msg.MsgLength, body_, 5);
    zvrAttachBuffer(0, msg.TagBuffer, msg.TagLength, tag_, 3);
    return msg;
  }
  char body_[6] = "hello";
  char tag_[4] = "tag";
};

TEST_F(RequestTest, QuestionsAboutTheMessage) {
  const QLXMSG msg = received();
  QuorRequest request(0, &msg, 9, kQlxGetOptDefault);
  EXPECT_EQ(request.isAtEndOfWorkflow(), 0);
  EXPECT_EQ(request.length(), 5u);
  EXPECT_EQ(request.buffer(), body_);
  EXPECT_EQ(request.theme(), 9u);
  EXPECT_EQ(request.backoutCount(), 2);
  EXPECT_EQ(std::string(request.formatName()), std::string(132, 'F'));
  EXPECT_EQ(std::memcmp(request.themeID(), msg.CorrelId, 24), 0);
  EXPECT_EQ(request.getOptions().Options & 0x12u, 0x10u);

  QLXMSG fresh;
  zvrInitDescriptor(fresh);
  QuorRequest empty(0, &fresh, 0, kQlxGetOptDefault);
  EXPECT_EQ(empty.backoutCount(), -1);
  EXPECT_EQ(empty.isAtEndOfWorkflow(), 1);
  EXPECT_STREQ(empty.formatName(), "");
}

TEST_F(RequestTest, ResponseTakesOverTheDescriptorAndPointsAtTheCallersBytes) {
  const QLXMSG msg = received();
  QuorRequest request(0, &msg, 9, kQlxGetOptDefault);
  const char out[] = "response body";
  std::unique_ptr<QuorResponse> response(request.createResponse(out, 13, nullptr, 0));
  ASSERT_NE(response, nullptr);
  const QLXMSG& d = response->descriptor();
  EXPECT_EQ(std::memcmp(d.Signature, "BXMD", 4), 0);
  EXPECT_EQ(d.MsgType, 8);
  EXPECT_EQ(d.Priority, 3);
  EXPECT_EQ(d.Persistence, 1);
  EXPECT_EQ(d.Format, -1);
  EXPECT_EQ(d.Feedback, 4);
  EXPECT_EQ(d.Expiry, 500);
  EXPECT_EQ(d.CodePage, 1208);
  EXPECT_EQ(d.Encoding, 273);
  EXPECT_EQ(std::memcmp(d.MsgId, msg.MsgId, 24), 0);
  EXPECT_EQ(std::memcmp(d.CorrelId, msg.CorrelId, 24), 0);
  EXPECT_EQ(d.Status, kQlxStatusWorkflowFollows);
  EXPECT_EQ(d.BackoutCount, -1);
  EXPECT_EQ(d.TimeStamp.TimeStampSec, 0);
  EXPECT_EQ(std::memcmp(d.FormatName, msg.FormatName, 132), 0);
  EXPECT_EQ(d.MsgLength, 13u);
  EXPECT_EQ(d.MsgBuffer.Owned, 0u);
  EXPECT_EQ(d.MsgBuffer.Length, 13u);
  EXPECT_EQ(d.MsgBuffer.Data, out);
  // Without a tag the tag buffer keeps its default.
  EXPECT_EQ(d.TagLength, 0u);
  EXPECT_EQ(d.TagBuffer.Data, nullptr);
  EXPECT_EQ(response->theme(), 9u);
  EXPECT_EQ(response->getPutOptions().Options, 0x40000090u);
  EXPECT_EQ(response->isAtEndOfWorkflow(), 0);
}

TEST_F(RequestTest, ResponseOfTheRequestsOwnBytes) {
  const QLXMSG msg = received();
  QuorRequest request(0, &msg, 9, kQlxGetOptDefault);
  std::unique_ptr<QuorResponse> response(request.createResponse());
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->buffer(), body_);
  EXPECT_EQ(response->length(), 5u);
  EXPECT_EQ(response->descriptor().TagBuffer.Data, tag_);
  EXPECT_EQ(response->descriptor().TagLength, 3u);
}

TEST_F(RequestTest, ResponseWhoseLengthTheDescriptorCannotCarry) {
  if (ULONG_MAX <= UINT32_MAX) GTEST_SKIP() << "unsigned long is 32 bits on this host";
  const QLXMSG msg = received();
  QuorRequest request(0, &msg, 9, kQlxGetOptDefault);
  EXPECT_ZVR_FAILURE(request.createResponse("x", 0x100000000ul, nullptr, 0), "ZVRR0012");
  EXPECT_STREQ(ZVRerror->info(), "Original Request follows:");
}

TEST_F(RequestTest, ThemeOfAResponseMarksTheWorkflow) {
  QLXMSG msg;
  zvrInitDescriptor(msg);
  QuorResponse response(&msg, 1, kQlxPutOptDefault);
  EXPECT_EQ(response.isAtEndOfWorkflow(), 1);
  response.theme(42);
  EXPECT_EQ(response.theme(), 42u);
  EXPECT_EQ(response.isAtEndOfWorkflow(), 0);
  response.putOptions(0x800);
  EXPECT_EQ(response.getPutOptions().Options, 0x800u);
}

TEST_F(RequestTest, DisplaysCarryTheirTitles) {
  const QLXMSG msg = received();
  QuorRequest request(0, &msg, 9, kQlxGetOptDefault);
  char* text = nullptr;
  const int length = request.display(text);
  ASSERT_NE(text, nullptr);
  const std::string shown(text, static_cast<size_t>(length));
  delete[] text;
  EXPECT_EQ(shown.rfind("\n\nQuor Request\n------------\nFormatName: ``" + std::string(132, 'F') +
                            "''\nMessage ID\n",
                        0),
            0u)
      << shown;
  EXPECT_NE(shown.find("\nTag Buffer\n"), std::string::npos);

  std::unique_ptr<QuorResponse> response(request.createResponse("abc", 3, nullptr, 0));
  std::ostringstream os;
  os << *response;
  EXPECT_EQ(os.str().rfind("\n\nQuor Response\n-------------\nFormatName: ``", 0), 0u);
  EXPECT_EQ(os.str().find("\nTag Buffer\n"), std::string::npos);
}

TEST_F(RequestTest, FailedThemeQueryIsLoggedOnlyUnderDebug) {
  const QLXMSG msg = received();
  { QuorRequest quiet(0, &msg, 9, kQlxGetOptDefault); }
  EXPECT_EQ(logText().find("ZVRR0021"), std::string::npos);
  ZVRdebug = 1;
  { QuorRequest loud(0, &msg, 9, kQlxGetOptDefault); }
  ZVRdebug = 0;
  if (logText().empty()) GTEST_SKIP() << "this build's middleware keeps no log";
  EXPECT_NE(logText().find("ZVRR0021"), std::string::npos);
  EXPECT_EQ(ZVRerror, nullptr);  // logged, never pending
}

}  // namespace
