// The transform objects over the real stand-in engine: every sample map, as a child
// process and as an in-process shared object, the return-code classes, the option
// precedence, the command buffer the engine was given and the ownership of its output.
#include <gtest/gtest.h>
#include <merc.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "erroradt.h"
#include "testing/zvr_testing.h"
#include "transform.h"
#include "zvrhash.h"
#include "zvrlog.h"

namespace {

using std::string_literals::operator""s;

const std::string kMapsDir = ZVR_MAPS_DIR;
const std::string kRequest =
    "<Header>\r\n<FormatName>ORDERS01</FormatName>\r\n</Header>\r\nhello, body";
const std::string kUpperRequest =
    "<Header>\r\n<FormatName>ORDERS01</FormatName>\r\n</Header>\r\nHELLO, BODY";

std::string frame(const std::string& card) { return std::to_string(card.size()) + " " + card; }

// The pending error's text, for failure messages.
std::string pending() {
  if (ZVRerror == nullptr) return "(no error pending)";
  char* text = nullptr;
  int length = ZVRerror->display(text);
  std::string shown(text, length);
  delete[] text;
  return shown;
}

class TransformEngineTest : public zvr::testing::BrokerHome {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(MercInitAPI(), 0); }
  static void TearDownTestSuite() { MercExitAPI(); }

  void SetUp() override {
    BrokerHome::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!std::filesystem::exists(kMapsDir + "/identity"))
      GTEST_SKIP() << "sample maps not built in " << kMapsDir;
  }

  // Runs `transform` over `input`; the output is copied out (the object keeps it).
  int run(Transformation& transform, const std::string& input, std::string& output,
          const char* format = "ORDERS01") {
    void* out = nullptr;
    unsigned long length = 0;
    int rc = transform.transform("Hop", format, "Hop", input.data(), input.size(), out, length);
    output = rc ? std::string(static_cast<const char*>(out), length) : "";
    return rc;
  }

  // run() with ZVRdebug set; `err` gets what was written to standard error.
  int runDebug(Transformation& transform, const std::string& input, std::string& output,
               std::string& err) {
    ZVRdebug = 1;
    ::testing::internal::CaptureStderr();
    int rc = run(transform, input, output);
    err = ::testing::internal::GetCapturedStderr();
    ZVRdebug = 0;
    return rc;
  }
};

struct MapCase {
  const char* map;
  std::string output;
};

TEST_F(TransformEngineTest, EverySampleMapAsChildAndSharedObject) {
  const MapCase cases[] = {
      {"identity", frame(kRequest)},
      {"upper", frame(kUpperRequest)},
      {"twocards", frame(kRequest) + frame(kUpperRequest)},
      {"warn", frame(kRequest)},
  };
  for (const char* suffix : {"", "_so.so"}) {
    for (const MapCase& c : cases) {
      std::string map = c.map + std::string(suffix);
      TsiFixedTransform fixed(kMapsDir.c_str(), map.c_str(), "", "", "", 0, nullptr);
      std::string output;
      ASSERT_EQ(run(fixed, kRequest, output), 1) << map << pending();
      EXPECT_EQ(output, c.output) << map;
      EXPECT_EQ(fixed.exitParams().nReturn, std::string(c.map) == "warn" ? 14 : 0);
    }
  }
}

TEST_F(TransformEngineTest, RouteMapAddsARoutingSection) {
  for (const char* map : {"route", "route_so.so"}) {
    TsiFixedTransform fixed(kMapsDir.c_str(), map, "", "", "", 0, nullptr);
    std::string output;
    ASSERT_EQ(run(fixed, kRequest, output), 1) << map;
    const std::string routed =
        "<Header>\r\n<FormatName>ORDERS01</FormatName>\r\n<Routing>\r\n<Route>\r\n"
        "<Action>INSERT</Action>\r\n<Service>SVC2</Service>\r\n</Route>\r\n</Routing>\r\n"
        "</Header>\r\nhello, body";
    EXPECT_EQ(output, frame(routed)) << map;
  }
}

TEST_F(TransformEngineTest, FailingMapLeavesZVRT0002WithTheEngineReason) {
  for (const char* map : {"fail", "fail_so.so"}) {
    zvrClearError();
    TsiFixedTransform fixed(kMapsDir.c_str(), map, "", "", "", 0, nullptr);
    void* out = reinterpret_cast<void*>(0x1);
    unsigned long length = 5;
    EXPECT_ZVR_FAILURE(fixed.transform("Hop", "F", "Hop", "x", 1, out, length), "ZVRT0002");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1));
    auto* error = dynamic_cast<TransformError*>(ZVRerror);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->severity(), 2u);
    EXPECT_STREQ(error->reasonCode(), "8");
    EXPECT_STREQ(error->reasonText(), "fail: the map rejects every message");
    EXPECT_STREQ(error->userAction(), "Verify the message format and map definitions.");
    EXPECT_STREQ(error->info(), "Original Marshall Buffer");  // ZVRverbose is on
  }
}

TEST_F(TransformEngineTest, MissingMapFailsWithTheEngineMessage) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "nosuchmap", "", "", "", 0, nullptr);
  std::string output;
  EXPECT_ZVR_FAILURE(run(fixed, kRequest, output), "ZVRT0002");
  auto* error = dynamic_cast<TransformError*>(ZVRerror);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->reasonText()).find("nosuchmap"), std::string::npos);
}

TEST_F(TransformEngineTest, WarningsAreQuietWithoutDebugOrVerbose) {
  ZVRverbose = 0;
  TsiFixedTransform fixed(kMapsDir.c_str(), "warn_so.so", "", "-oe1s -rc 18", "", 0, nullptr);
  std::string output;
  ::testing::internal::CaptureStderr();
  int rc = run(fixed, kRequest, output);
  std::string err = ::testing::internal::GetCapturedStderr();
  ZVRverbose = 1;
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(fixed.exitParams().nReturn, 18);
  EXPECT_EQ(output, frame(kRequest));
  EXPECT_EQ(err, "");
  EXPECT_EQ(ZVRerror, nullptr);
}

TEST_F(TransformEngineTest, WarningIsLoggedWhileVerbose) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "warn", "", "-oe1s -rc 21", "", 0, nullptr);
  std::string output;
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(run(fixed, kRequest, output), 1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\nZVRT0001\nWARNING: Message was successfully transformed with problems."
                     "\nUser Action: Review the reason for the error\nOriginal Marshall Buffer"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Reason (21): warn: message passed on with a warning (return code 21)"),
            std::string::npos)
      << err;
  EXPECT_EQ(ZVRerror, nullptr);  // logged and discarded
}

TEST_F(TransformEngineTest, CommandLineOptionsWithoutOutputOptionGiveTheRawCard) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "twocards", "", "-x", "", 0, nullptr);
  std::string output;
  ASSERT_EQ(run(fixed, kRequest, output), 1);
  EXPECT_EQ(output, kRequest);  // card 1 alone, unframed
  EXPECT_EQ(std::string(fixed.command().data(), fixed.command().length()),
            "'" + kMapsDir + "/twocards' -ie1s" + std::to_string(kRequest.size()) + " " +
                kRequest + " -x\0"s);
}

TEST_F(TransformEngineTest, CommandBufferOfEachRunByteForByte) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "identity_so.so", "", "", "", 0, nullptr);
  const std::string head = "'" + kMapsDir + "/identity_so.so' -ie1s";
  std::string output;
  ASSERT_EQ(run(fixed, kRequest, output), 1);
  const TsiCommandBuffer& command = fixed.command();
  EXPECT_EQ(std::string(command.data(), command.length()),
            head + std::to_string(kRequest.size()) + " " + kRequest + " -oe1s\0"s);
  EXPECT_EQ(fixed.exitParams().lpDataToApp, command.data());
  const std::size_t capacity = command.capacity();

  ASSERT_EQ(run(fixed, "ab\0c"s, output), 1);
  EXPECT_EQ(output, "4 ab\0c"s);
  EXPECT_EQ(command.capacity(), capacity);
  EXPECT_EQ(std::string(command.data(), capacity),
            head + "4 ab\0c -oe1s\0"s + std::string(capacity - head.size() - 13, '\0'));
}

TEST_F(TransformEngineTest, OutputBelongsToTheObjectUntilTheNextRun) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "identity_so.so", "", "", "", 0, nullptr);
  void* first = nullptr;
  unsigned long length = 0;
  ASSERT_EQ(fixed.transform("Hop", "F", "Hop", "one", 3, first, length), 1);
  EXPECT_EQ(std::string(static_cast<char*>(first), length), "3 one");
  EXPECT_EQ(fixed.exitParams().lpDataFromApp, first);
  void* second = nullptr;
  ASSERT_EQ(fixed.transform("Hop", "F", "Hop", "two!", 4, second, length), 1);
  EXPECT_EQ(std::string(static_cast<char*>(second), length), "4 two!");
  EXPECT_EQ(fixed.exitParams().lpDataFromApp, second);
  // The sanitizer build shows the first output freed once and the last one at destruction.
}

TEST_F(TransformEngineTest, PrefixNamesTheMapFromTheFormat) {
  // kORDERS0 and kInvoice are the identity and upper maps under the names the rule makes.
  std::filesystem::path dir = std::filesystem::path(home()) / "maps";
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink(kMapsDir + "/identity", dir / "kORDERS0");
  std::filesystem::create_symlink(kMapsDir + "/upper_so.so", dir / "kInvoice");
  TsiSimpleTransform simple(dir.c_str(), "", "k", "", "", 0, nullptr);
  std::string output;
  ASSERT_EQ(run(simple, kRequest, output, "ORDERS01"), 1);
  EXPECT_EQ(output, frame(kRequest));
  ASSERT_EQ(run(simple, kRequest, output, "qlxMsgInvoice"), 1);
  EXPECT_EQ(output, frame(kUpperRequest));
}

TEST_F(TransformEngineTest, DebugLinesOfARun) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "identity_so.so", "", "", "", 0, nullptr);
  std::string output;
  std::string err;
  ASSERT_EQ(runDebug(fixed, "abc", output, err), 1);
  const std::string using_ = "\nUsing map: '" + kMapsDir + "/identity_so.so', options: -oe1s\n";
  std::size_t first = err.find(using_);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_NE(err.find(using_, first + 1), std::string::npos);  // before and after the build
  EXPECT_NE(err.find("\nTransformation Input Buffer follows\n00000000: "), std::string::npos);
  EXPECT_NE(err.find("\nTransformation Output Buffer follows\n00000000: 33206162 63"),
            std::string::npos)
      << err;

  // The object shows the command over the buffer's whole capacity and the last output.
  char* text = nullptr;
  int length = fixed.display(text);
  std::string shown(text, length);
  delete[] text;
  EXPECT_NE(shown.find("ExitParams: dwSize=480 dwFromLen=5 nReturn=0\nErrmsg=\nlpDataToApp: \n"
                       "00000000: 272F"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("\nlpDataFromApp: \n00000000: 33206162 63"), std::string::npos);
}

TEST_F(TransformEngineTest, DebugLineNamesTheCommandLineOptions) {
  TsiFixedTransform fixed(kMapsDir.c_str(), "warn_so.so", "", "-oe1s -rc 0", "", 0, nullptr);
  std::string output;
  std::string err;
  ASSERT_EQ(runDebug(fixed, "abc", output, err), 1);
  EXPECT_NE(err.find("\nUsing map: '" + kMapsDir + "/warn_so.so', options: -oe1s -rc 0\n"),
            std::string::npos)
      << err;
}

// The destination variant over the cache, with the dictionary's options reaching the map.
zvrhash* gCache = nullptr;
zvrhash* testCache() { return gCache; }

TEST_F(TransformEngineTest, DestinationOptionsFromTheCache) {
  zvrhash cache(1024);
  std::string warn = "'" + kMapsDir + "/warn_so.so' -oe1s -rc 21";
  std::string ident = kMapsDir + "/identity";
  cache.AddEntry("ORDERS01 Hop", warn.c_str());
  cache.AddEntry("qlxMsgX Hop", ident.c_str());
  gCache = &cache;
  TsiDestinationTransform::getHashObject = testCache;
  TsiDestinationTransform destination("", "", "", "", "", 1, nullptr);
  std::string output;
  ASSERT_EQ(run(destination, kRequest, output, "ORDERS01"), 1);
  EXPECT_EQ(destination.exitParams().nReturn, 21);
  EXPECT_EQ(output, frame(kRequest));
  ASSERT_EQ(run(destination, "x", output, "qlxMsgX"), 1);  // bare map, no options: -oe1s
  EXPECT_EQ(output, "1 x");
  TsiDestinationTransform::getHashObject = nullptr;
  gCache = nullptr;
}

}  // namespace
