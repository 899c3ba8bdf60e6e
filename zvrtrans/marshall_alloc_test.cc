// Memory running out while a text is built or copied: a catalogued error, never an
// exception (nothing may be thrown out of a server's request loop). This program replaces
// the allocation the marshaller uses for its texts, the nothrow array form, so that a test
// can make it fail; that is why it is a test program of its own.
#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "catalog.h"
#include "marshall.h"
#include "marshall_testing.h"

namespace {
bool failArrayAllocations = false;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (failArrayAllocations) return nullptr;
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace zvr::testing {
namespace {

class MarshallAllocTest : public MarshallTest {
 protected:
  void TearDown() override {
    failArrayAllocations = false;
    MarshallTest::TearDown();
  }
};

TEST_F(MarshallAllocTest, NoMemoryForTheTextIsAMarshallError) {
  const QuorRequest& req = request("hello", "tag");
  failArrayAllocations = true;
  EXPECT_ZVR_FAILURE(TsiMarshall::create(req, 1), ZVRID_S0012);
  EXPECT_ZVR_FAILURE(TsiMarshall::create(req, 0), ZVRID_S0012);
  zvrClearError();
  // Made directly, the object holds no text and says why.
  TsiMarshall direct(req, 1);
  EXPECT_EQ(direct.buffer(), nullptr);
  EXPECT_EQ(direct.length(), 0u);
  ASSERT_NE(ZVRerror, nullptr);
  EXPECT_STREQ(ZVRerror->id(), ZVRID_S0012);
  failArrayAllocations = false;
  zvrClearError();
  std::unique_ptr<TsiMarshall> made(TsiMarshall::create(req, 1));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(ZVRerror, nullptr);
  // An empty body without a header needs no text at all: not a failure.
  failArrayAllocations = true;
  std::unique_ptr<TsiMarshall> empty(TsiMarshall::create(request(""), 0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->length(), 0u);
  EXPECT_EQ(ZVRerror, nullptr);
}

TEST_F(MarshallAllocTest, NoMemoryForACopyLeavesNoTextAndSaysSo) {
  TsiMarshall marshall(request("hello"), 0);
  const std::string piece = "transformed";
  failArrayAllocations = true;
  EXPECT_ZVR_FAILURE(marshall.setBuffer(piece.data(), piece.size()), ZVRID_M0004);
  EXPECT_EQ(marshall.buffer(), nullptr);
  EXPECT_EQ(marshall.length(), 0u);
  failArrayAllocations = false;
  EXPECT_EQ(marshall.setBuffer(piece.data(), piece.size()), 1);
  EXPECT_EQ(std::string(static_cast<const char*>(marshall.buffer()), marshall.length()), piece);
}

}  // namespace
}  // namespace zvr::testing
