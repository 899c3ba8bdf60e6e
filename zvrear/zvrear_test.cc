// Tests of the error-action exit: the tables as the middleware's documentation lists them,
// driven through zvrEARAnalyse with a control block whose services allocate with malloc;
// the seven rules on synthetic entries; init, term and analyse on missing pieces; and the
// built library's exports and definition record.
#include "zvrear.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- The tables as documented: default actions, then groups of reason codes. ----

struct Group {
  uint32_t actions;
  std::vector<int32_t> reasons;
};
struct DocumentedTable {
  uint32_t defaults;
  std::vector<Group> groups;
};

const std::vector<DocumentedTable>& documentedTables() {
  static const std::vector<DocumentedTable> tables = {
      {0x200, {}},  // 0 application
      {0xAA0,
       {{0xA20, {28, 30, 31, 40, 45, 53, 68}}, {0xAA8, {23}}, {0xAAA, {16, 29, 60, 61, 74, 75}}}},
      {0xAA0,
       {{0x22A, {24}},
        {0x280, {65, 66}},
        {0x2A0, {25, 49}},
        {0x2AA, {61}},
        {0xAA8, {23}},
        {0xAAA, {16, 20, 22, 29, 32, 33, 73, 74}}}},
      {0xAA0,
       {{0xA00, {28, 30, 31, 40, 45, 53, 60, 65, 66, 68, 69, 70, 75}},
        {0xA20, {2, 3, 5, 7, 9, 11, 46, 61}},
        {0xA80, {67}},
        {0xAA8, {23}},
        {0xAAA, {16, 74}}}},
      {0xAA0,
       {{0x280, {65, 66}},
        {0x2A0, {25, 49}},
        {0x2AA, {24, 61}},
        {0xAA8, {23}},
        {0xAAA, {16, 20, 21, 22, 29, 33, 48, 73, 74}}}},
      {0xAA0, {}},                                                      // 5
      {0xAA0, {}},                                                      // 6
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 29, 60, 61, 74, 75}}}},      // 7
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 62, 64, 74}}}},              // 8
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 74}}}},                      // 9
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {11, 16, 74}}}},                  // 10
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {11, 16, 74}}}},                  // 11
      {0xAA0, {{0xAAA, {16, 29, 74}}}},                                 // 12
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 29, 74}}}},                  // 13
      {0xAA0, {}},                                                      // 14
      {0xAA0, {{0xAA8, {46, 48}}, {0xAAA, {16, 23, 29, 41, 44, 74}}}},  // 15
      {0xAA0, {{0xAAA, {16, 29, 74}}}},                                 // 16
      {0xAA0, {}},                                                      // 17
      {0xAA0, {}},                                                      // 18
      {0xAA0, {}},                                                      // 19
      {0xAA0, {}},                                                      // 20
      {0xAA0, {}},                                                      // 21
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 74}}}},                      // 22
      {0xAA0, {{0xAAA, {16, 29, 60, 74}}}},                             // 23
      {0xAA0, {}},                                                      // 24
      {0xAA0, {}},                                                      // 25
      {0xAA0, {{0xAA8, {23}}, {0xAAA, {16, 74}}}},                      // 26
      {0xAA0, {}},                                                      // 27
  };
  return tables;
}

// The profile actions each entry value takes away, worked out by hand from the rules
// (none of the documented values sets an action).
uint32_t clearedBy(uint32_t entryActions) {
  switch (entryActions) {
    case 0x200:
      return 0x10;
    case 0xAA0:
      return 0x1 | 0x2 | 0x10 | 0x40;
    case 0xAAA:
      return 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x40;
    case 0xAA8:
      return 0x1 | 0x2 | 0x4 | 0x10 | 0x40;
    case 0xA20:
      return 0x1 | 0x10 | 0x40;
    case 0xA00:
      return 0x10 | 0x40;
    case 0xA80:
      return 0x2 | 0x10 | 0x40;
    case 0x22A:
      return 0x1 | 0x4 | 0x8 | 0x10;
    case 0x280:
      return 0x2 | 0x10;
    case 0x2A0:
      return 0x1 | 0x2 | 0x10;
    case 0x2AA:
      return 0x1 | 0x2 | 0x4 | 0x8 | 0x10;
  }
  ADD_FAILURE() << "no expectation for entry actions 0x" << std::hex << entryActions;
  return 0;
}

uint32_t expectedActions(uint32_t entryActions, uint32_t profileActions) {
  const uint32_t left = profileActions & ~clearedBy(entryActions);
  return left == 0 ? kZvrEARAllCleared : left;
}

// Profile words that tell every documented entry value apart, plus the edges: nothing, a
// lone bit, bits no rule touches.
constexpr uint32_t kProfileWords[] = {0x0, 0x1, 0x8, 0x11, 0x20, 0x45, 0x5F, 0x15F, 0xFFFFFFFF};

// ---- A control block whose services allocate with malloc and count their calls. ----

struct ServiceLog {
  int allocations = 0;
  int releases = 0;
  uint32_t handle = 0;
  uint32_t flags = 0xFFFF;
  uint32_t size = 0;
  int allocateResult = 1;
  bool allocateNull = false;
} gServices;

int mallocAllocate(uint32_t handle, uint32_t flags, uint32_t size, void** result) {
  ++gServices.allocations;
  gServices.handle = handle;
  gServices.flags = flags;
  gServices.size = size;
  if (gServices.allocateResult == 0) return 0;
  if (gServices.allocateNull) {
    *result = nullptr;
    return gServices.allocateResult;
  }
  *result = std::malloc(size);
  std::memset(*result, 0xAB, size);  // the exit must clear it
  return gServices.allocateResult;
}

int mallocRelease(uint32_t handle, void* storage) {
  ++gServices.releases;
  gServices.handle = handle;
  std::free(storage);
  return 1;
}

constexpr uint32_t kHandle = 0x1234;

struct Outcome {
  int rc;
  uint32_t flags;
  uint32_t actions;  // of the profile handed back (0xDEAD when none)
};

class ExitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gServices = ServiceLog{};
    services_.Allocate = mallocAllocate;
    services_.Release = mallocRelease;
    xctl_.Version = 1;
    xctl_.Handle = kHandle;
    xctl_.Services = &services_;
    exception_ = kQlxExceptionDefault;
    detail_.Exception = &exception_;
    detail_.Profile = &profile_;
    std::memset(&profile_, 0x5A, sizeof profile_);  // the copy must carry every byte
  }
  void TearDown() override {
    if (xctl_.WorkArea) zvrEARTerm(&xctl_, 0);
  }

  void init() { ASSERT_NE(zvrEARInit(&xctl_, nullptr, 0), 0); }

  Outcome analyse(int32_t callType, int32_t reason, uint32_t actions, uint32_t flags = 0) {
    exception_.CallType = callType;
    exception_.Error.Reason.Code = reason;
    profile_.Actions = actions;
    detail_.Flags = flags;
    action_ = QLXEXCACT{};
    action_.Flags = 0xFFFFFFFF;  // must be cleared
    const int rc = zvrEARAnalyse(&xctl_, &detail_, &action_);
    return {rc, action_.Flags, action_.Profile ? action_.Profile->Actions : 0xDEADu};
  }

  QLXXSERVICES services_{};
  QLXXCTL xctl_{};
  QLXEXCEPTION exception_{};
  QLXERRPROFILE profile_{};
  QLXEXCDTL detail_{};
  QLXEXCACT action_{};
};

// ---- Table choice: every call type, every listed reason code, unlisted ones. ----

TEST_F(ExitTest, EveryListedReasonCodeGetsItsEntry) {
  init();
  const auto& tables = documentedTables();
  ASSERT_EQ(tables.size(), kZvrEARCallTypes);
  for (int32_t callType = 0; callType < static_cast<int32_t>(tables.size()); ++callType) {
    for (const Group& group : tables[callType].groups) {
      for (int32_t reason : group.reasons) {
        for (uint32_t word : kProfileWords) {
          SCOPED_TRACE(::testing::Message() << "call type " << callType << " reason " << reason
                                            << " actions 0x" << std::hex << word);
          const Outcome out = analyse(callType, reason, word);
          EXPECT_EQ(out.rc, 1);
          EXPECT_EQ(out.flags, kQlxExcActProfile);
          EXPECT_EQ(out.actions, expectedActions(group.actions, word));
        }
      }
    }
  }
}

TEST_F(ExitTest, UnlistedReasonCodesGetTheTableDefault) {
  init();
  const auto& tables = documentedTables();
  // 0 stops the walk at the closing entry; 1, 999 and -5 are listed nowhere.
  for (int32_t callType = 0; callType < static_cast<int32_t>(tables.size()); ++callType) {
    for (int32_t reason : {0, 1, 999, -5}) {
      for (uint32_t word : kProfileWords) {
        SCOPED_TRACE(::testing::Message() << "call type " << callType << " reason " << reason
                                          << " actions 0x" << std::hex << word);
        const Outcome out = analyse(callType, reason, word);
        EXPECT_EQ(out.rc, 1);
        EXPECT_EQ(out.actions, expectedActions(tables[callType].defaults, word));
      }
    }
  }
}

TEST_F(ExitTest, PeekedGetsUseThePeekTables) {
  init();
  const auto& tables = documentedTables();
  for (int32_t callType : {kQlxCallGetRequest, kQlxCallGetResponse}) {
    for (const Group& group : tables[callType].groups) {
      for (int32_t reason : group.reasons) {
        for (uint32_t flags :
             {uint32_t{kQlxExcDtlPeek}, kQlxExcDtlPeek | kQlxExcDtlNoStore | 0x100u}) {
          SCOPED_TRACE(::testing::Message() << "call type " << callType << " reason " << reason);
          const Outcome out = analyse(callType, reason, 0x5F, flags);
          EXPECT_EQ(out.rc, 1);
          EXPECT_EQ(out.actions, 0x0Cu);  // 0xAA0 keeps only 0x4 and 0x8
        }
      }
    }
  }
  // A get of a request with reason 16 without the peek flag clears everything.
  EXPECT_EQ(analyse(kQlxCallGetRequest, 16, 0x5F, 0).actions, kZvrEARAllCleared);
  // The peek flag means nothing to other call types.
  EXPECT_EQ(analyse(kQlxCallPutRequest, 16, 0x5F, kQlxExcDtlPeek).actions, kZvrEARAllCleared);
  EXPECT_EQ(analyse(kQlxCallApplication, 0, 0x11, kQlxExcDtlPeek).actions, 0x1u);
}

TEST_F(ExitTest, UnknownCallTypesUseDefProfileAndReturnZero) {
  init();
  for (int32_t callType : {28, 29, 100, 0x7FFFFFFF, -1, -28}) {
    for (int32_t reason : {0, 16, 23}) {
      SCOPED_TRACE(::testing::Message() << "call type " << callType << " reason " << reason);
      const Outcome out = analyse(callType, reason, 0x5F);
      EXPECT_EQ(out.rc, 0);
      EXPECT_EQ(out.flags, kQlxExcActProfile);
      EXPECT_EQ(out.actions, 0x0Cu);
    }
  }
}

TEST_F(ExitTest, LocateTableNamesTheTables) {
  const ZVREARPROFILE* table = nullptr;
  QLXEXCDTL peek{};
  peek.Flags = kQlxExcDtlPeek;
  const struct {
    unsigned long callType;
    QLXEXCDTL* detail;
    const ZVREARPROFILE* expected;
  } cases[] = {
      {0, nullptr, ApplicationProfile},  {1, &peek, PutReqProfile},
      {2, nullptr, GetReqProfile},       {2, &peek, GetReqPeekProfile},
      {3, &peek, PutRspProfile},         {4, nullptr, GetRspProfile},
      {4, &peek, GetRspPeekProfile},     {15, nullptr, WriteLogProfile},
      {25, nullptr, ReportErrorProfile}, {27, nullptr, SetLDAPServiceProfile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.callType);
    EXPECT_EQ(zvrEARLocateTable(&xctl_, c.callType, c.detail, &table), 1);
    EXPECT_EQ(table, c.expected);
  }
  table = DefProfile;
  EXPECT_EQ(zvrEARLocateTable(&xctl_, 28, nullptr, &table), 0);
  EXPECT_EQ(table, DefProfile);  // left as it was
  EXPECT_EQ(zvrEARLocateTable(&xctl_, 1, nullptr, nullptr), 1);
}

// ---- The rules on synthetic entries. ----

struct RuleCase {
  const char* what;
  uint32_t entry;
  uint32_t flags;
  uint32_t before;
  uint32_t after;
};

constexpr RuleCase kRuleCases[] = {
    {"1 sets 0x8", 0x1, 0x7, 0x1, 0x9},
    {"1 clear wins", 0x3, 0x0, 0x9, 0x1},
    {"2 sets 0x4", 0x4, 0x3, 0x1, 0x5},
    {"2 not with F 0x4", 0x4, 0x4, 0x1, 0x1},
    {"2 clear wins", 0xC, 0x0, 0x5, 0x1},
    {"3 sets 0x2", 0x40, 0x6, 0x1, 0x3},
    {"3 not with F 0x1", 0x40, 0x1, 0x1, 0x1},
    {"3 clear wins", 0xC0, 0x0, 0x3, 0x1},
    {"4 sets 0x40", 0x400, 0x6, 0x1, 0x41},
    {"4 not with F 0x1", 0x400, 0x1, 0x1, 0x1},
    {"4 clear wins", 0xC00, 0x0, 0x41, 0x1},
    {"5 sets 0x1", 0x10, 0x5, 0x2, 0x3},
    {"5 not with F 0x2", 0x10, 0x2, 0x2, 0x2},
    {"5 clear wins", 0x30, 0x0, 0x3, 0x2},
    {"6 sets 0x10", 0x100, 0x7, 0x1, 0x11},
    {"6 clear wins", 0x300, 0x0, 0x11, 0x1},
    {"7 0x1000 forces 32", 0x1000, 0x0, 0x5F, 32},
    {"7 after the sets", 0x1001, 0x0, 0x0, 32},
    {"7 empty profile", 0x0, 0x0, 0x0, 32},
    {"7 only cleared bits", 0x200, 0x0, 0x10, 32},
    {"no rule touches 0x100", 0x0, 0x0, 0x100, 0x100},
    {"every set", 0x555, 0x0, 0x0, 0x5F},
    {"every set, F blocks", 0x555, 0x7, 0x0, 0x18},
    {"0xAA0", 0xAA0, 0x0, 0x5F, 0x0C},
    {"0xAAA", 0xAAA, 0x0, 0x5F, 32},
    {"0xAA8", 0xAA8, 0x0, 0x5F, 0x08},
    {"other bits stay", 0xAAA, 0x0, 0xFFFF005F, 0xFFFF0000},
};

TEST_F(ExitTest, RulesApplyInOrder) {
  init();
  for (const RuleCase& c : kRuleCases) {
    SCOPED_TRACE(c.what);
    profile_.Actions = c.before;
    detail_.Flags = c.flags;
    action_ = QLXEXCACT{};
    const ZVREARPROFILE entry{0, c.entry};
    zvrEARProcessProfile(&xctl_, &detail_, &entry, &action_);
    ASSERT_EQ(action_.Profile, xctl_.WorkArea);
    EXPECT_EQ(action_.Profile->Actions, c.after);
    EXPECT_EQ(action_.Flags, kQlxExcActProfile);
  }
}

TEST_F(ExitTest, FailedPutOfRequestWithReason16ClearsEveryAction) {
  init();
  for (uint32_t word = 0; word <= 0x7F; ++word) {
    if (word & 0x20) continue;  // only the six action bits 0x1..0x10 and 0x40
    EXPECT_EQ(analyse(kQlxCallPutRequest, 16, word).actions, kZvrEARAllCleared) << word;
  }
}

TEST_F(ExitTest, CopyCarriesTheWholeProfileAndLeavesTheOriginal) {
  init();
  QLXERRPROFILE before;
  analyse(kQlxCallApplication, 0, 0x11);
  std::memcpy(&before, &profile_, sizeof before);
  ASSERT_EQ(action_.Profile, xctl_.WorkArea);
  EXPECT_EQ(std::memcmp(action_.Profile->Reserved, profile_.Reserved, sizeof profile_.Reserved), 0);
  EXPECT_EQ(action_.Profile->Version, profile_.Version);
  EXPECT_EQ(profile_.Actions, 0x11u);
  // The next failure overwrites the work area.
  EXPECT_EQ(analyse(kQlxCallPutRequest, 16, 0x5F).actions, kZvrEARAllCleared);
  EXPECT_EQ(action_.Profile, xctl_.WorkArea);
  EXPECT_EQ(gServices.allocations, 1);
}

TEST_F(ExitTest, ProfileHandedBackFromTheWorkAreaIsAdjustedInPlace) {
  init();
  analyse(kQlxCallApplication, 0, 0x11);
  detail_.Profile = static_cast<QLXERRPROFILE*>(xctl_.WorkArea);
  detail_.Profile->Actions = 0x5F;
  action_ = QLXEXCACT{};
  ASSERT_EQ(zvrEARAnalyse(&xctl_, &detail_, &action_), 1);
  EXPECT_EQ(action_.Profile->Actions, 0x4Fu);
}

// ---- Init and term. ----

TEST_F(ExitTest, InitAllocatesAClearedWorkArea) {
  gServices.allocateResult = 5;
  EXPECT_EQ(zvrEARInit(&xctl_, nullptr, 0), 5);  // the allocation's own result
  ASSERT_NE(xctl_.WorkArea, nullptr);
  EXPECT_EQ(gServices.handle, kHandle);
  EXPECT_EQ(gServices.flags, 0u);
  EXPECT_EQ(gServices.size, 428u);
  const auto* bytes = static_cast<const unsigned char*>(xctl_.WorkArea);
  for (size_t i = 0; i < 428; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST_F(ExitTest, InitWithoutServicesAllocatesNothing) {
  EXPECT_EQ(zvrEARInit(nullptr, nullptr, 0), 0);
  xctl_.Services = nullptr;
  EXPECT_EQ(zvrEARInit(&xctl_, nullptr, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  xctl_.Services = &services_;
  services_.Allocate = nullptr;
  EXPECT_EQ(zvrEARInit(&xctl_, nullptr, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  EXPECT_EQ(gServices.allocations, 0);
}

TEST_F(ExitTest, FailedAllocationLeavesNoWorkArea) {
  gServices.allocateResult = 0;
  EXPECT_EQ(zvrEARInit(&xctl_, nullptr, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  gServices.allocateResult = 1;
  gServices.allocateNull = true;  // success without storage
  EXPECT_EQ(zvrEARInit(&xctl_, nullptr, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  EXPECT_EQ(gServices.allocations, 2);
}

TEST_F(ExitTest, TermReleasesTheWorkArea) {
  init();
  gServices.handle = 0;
  EXPECT_EQ(zvrEARTerm(&xctl_, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  EXPECT_EQ(gServices.releases, 1);
  EXPECT_EQ(gServices.handle, kHandle);
  EXPECT_EQ(zvrEARTerm(&xctl_, 0), 0);  // a second term finds nothing
  EXPECT_EQ(gServices.releases, 1);
}

TEST_F(ExitTest, TermWithoutWorkAreaDoesNothing) {
  EXPECT_EQ(zvrEARTerm(&xctl_, 0), 0);
  EXPECT_EQ(zvrEARTerm(nullptr, 0), 0);
  xctl_.Services = nullptr;
  EXPECT_EQ(zvrEARTerm(&xctl_, 0), 0);
  EXPECT_EQ(gServices.releases, 0);
}

TEST_F(ExitTest, TermWithoutReleaseEntryForgetsTheArea) {
  init();
  void* area = xctl_.WorkArea;
  services_.Release = nullptr;
  EXPECT_EQ(zvrEARTerm(&xctl_, 0), 0);
  EXPECT_EQ(xctl_.WorkArea, nullptr);
  std::free(area);
}

// ---- Analyse with missing pieces. ----

TEST_F(ExitTest, AnalyseWithoutControlBlockTouchesNothing) {
  action_.Flags = 0x1234;
  profile_.Actions = 0x11;
  EXPECT_EQ(zvrEARAnalyse(nullptr, &detail_, &action_), 0);
  EXPECT_EQ(action_.Flags, 0x1234u);
  EXPECT_EQ(action_.Profile, nullptr);
  EXPECT_EQ(profile_.Actions, 0x11u);
}

TEST_F(ExitTest, AnalyseWithoutWorkAreaOnlyClearsTheFlags) {
  QLXERRPROFILE sentinel{};
  for (int32_t callType : {0, 1, 28}) {
    exception_.CallType = callType;
    exception_.Error.Reason.Code = 16;
    profile_.Actions = 0x5F;
    action_.Flags = 0xFFFFFFFF;
    action_.Profile = &sentinel;
    EXPECT_EQ(zvrEARAnalyse(&xctl_, &detail_, &action_), callType < 28 ? 1 : 0);
    EXPECT_EQ(action_.Flags, 0u);
    EXPECT_EQ(action_.Profile, &sentinel);
    EXPECT_EQ(sentinel.Actions, 0u);
    EXPECT_EQ(profile_.Actions, 0x5Fu);
  }
}

TEST_F(ExitTest, AnalyseWithoutDetailOrExceptionClearsTheFlagsAndReturnsZero) {
  init();
  action_.Flags = 0xFF;
  EXPECT_EQ(zvrEARAnalyse(&xctl_, nullptr, &action_), 0);
  EXPECT_EQ(action_.Flags, 0u);
  detail_.Exception = nullptr;
  action_.Flags = 0xFF;
  EXPECT_EQ(zvrEARAnalyse(&xctl_, &detail_, &action_), 0);
  EXPECT_EQ(action_.Flags, 0u);
  EXPECT_EQ(action_.Profile, nullptr);
}

TEST_F(ExitTest, AnalyseWithoutProfileOrActionWritesNothing) {
  init();
  std::memset(xctl_.WorkArea, 0x77, sizeof(QLXERRPROFILE));
  detail_.Profile = nullptr;
  EXPECT_EQ(analyse(kQlxCallPutRequest, 16, 0x5F).flags, 0u);
  EXPECT_EQ(action_.Profile, nullptr);
  detail_.Profile = &profile_;
  EXPECT_EQ(zvrEARAnalyse(&xctl_, &detail_, nullptr), 1);
  EXPECT_EQ(static_cast<QLXERRPROFILE*>(xctl_.WorkArea)->Actions, 0x77777777u);
}

// ---- The entry point and the built library. ----

void expectDefinition(void* record) {
  ASSERT_NE(record, nullptr);
  const auto* definition = static_cast<const QLXEXITDEF*>(record);
  EXPECT_EQ(std::memcmp(definition->Signature, "XCXT", 4), 0);
  EXPECT_EQ(definition->Version, 1);
  const int32_t classification[] = {5, 3, 1, 1, 2, 3};
  EXPECT_EQ(std::memcmp(definition->Class, classification, sizeof classification), 0);
  ASSERT_NE(definition->Functions, nullptr);
  EXPECT_NE(definition->Functions->Init, nullptr);
  EXPECT_NE(definition->Functions->Term, nullptr);
  EXPECT_NE(definition->Functions->Analyse, nullptr);
}

TEST(ExitEntry, StoresTheDefinitionRecord) {
  void* record = nullptr;
  EXPECT_EQ(qlxExitEntry(&record), 1);
  expectDefinition(record);
  const auto* definition = static_cast<const QLXEXITDEF*>(record);
  EXPECT_EQ(definition->Functions, &zvrEARFuncs);
  EXPECT_EQ(zvrEARFuncs.Init, &zvrEARInit);
  EXPECT_EQ(zvrEARFuncs.Term, &zvrEARTerm);
  EXPECT_EQ(zvrEARFuncs.Analyse, &zvrEARAnalyse);
  EXPECT_EQ(qlxExitEntry(nullptr), 0);
}

// Loads the built library as the middleware does; unloads it at the end of the test so
// that the next load starts afresh.
class Library {
 public:
  Library() : handle_(dlopen(ZVREAR_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  void* handle() const { return handle_; }
  void* symbol(const char* name) const { return dlsym(handle_, name); }

 private:
  void* const handle_;
};

TEST(ExitLibrary, ExportsOnlyTheEntryPoint) {
  Library library;
  ASSERT_NE(library.handle(), nullptr) << dlerror();
  EXPECT_NE(library.symbol("qlxExitEntry"), nullptr);
  for (const char* hidden :
       {"zvrEARFuncs", "zvrEARInit", "zvrEARTerm", "zvrEARAnalyse", "zvrEARLocateTable",
        "zvrEARProcessProfile", "ApplicationProfile", "GetReqPeekProfile", "DefProfile"}) {
    EXPECT_EQ(library.symbol(hidden), nullptr) << hidden << " is exported";
  }
}

// The whole cycle through the definition record of the built library, as the middleware
// drives it.
TEST(ExitLibrary, DefinitionRecordDrivesACycle) {
  Library library;
  ASSERT_NE(library.handle(), nullptr) << dlerror();
  auto entry = reinterpret_cast<QLXEXITENTRYFN>(library.symbol("qlxExitEntry"));
  ASSERT_NE(entry, nullptr);
  void* record = nullptr;
  ASSERT_EQ(entry(&record), 1);
  expectDefinition(record);
  const QLXEXITFUNCS* functions = static_cast<const QLXEXITDEF*>(record)->Functions;

  gServices = ServiceLog{};
  QLXXSERVICES services{};
  services.Allocate = mallocAllocate;
  services.Release = mallocRelease;
  QLXXCTL xctl{};
  xctl.Services = &services;
  ASSERT_EQ(functions->Init(&xctl, nullptr, 0), 1);
  QLXEXCEPTION exception = kQlxExceptionDefault;
  exception.CallType = kQlxCallPutRequest;
  exception.Error.Reason.Code = 23;
  QLXERRPROFILE profile{};
  profile.Actions = 0x5F;
  QLXEXCDTL detail{};
  detail.Exception = &exception;
  detail.Profile = &profile;
  QLXEXCACT action{};
  EXPECT_EQ(functions->Analyse(&xctl, &detail, &action), 1);
  EXPECT_EQ(action.Flags, kQlxExcActProfile);
  ASSERT_EQ(action.Profile, xctl.WorkArea);
  EXPECT_EQ(action.Profile->Actions, 0x8u);
  EXPECT_EQ(functions->Term(&xctl, 0), 0);
  EXPECT_EQ(gServices.releases, 1);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The trace level is read when the library is loaded, so this loads a fresh copy with
// printf lines switched on.
TEST(ExitLibrary, TraceShowsTheActions) {
  if (std::getenv("QLX_TRACE")) GTEST_SKIP() << "QLX_TRACE is set by the caller";
  if (dlopen(ZVREAR_LIBRARY, RTLD_NOW | RTLD_NOLOAD))
    GTEST_SKIP() << "the library stays loaded in this process; run this test on its own";
  char path[] = "/tmp/zvrear_trace_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("QLX_TRACE_FILE", path, 1);
  setenv("QLX_TRACE", "zvrear=0xC0", 1);
  {
    Library library;
    unsetenv("QLX_TRACE");
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    void* record = nullptr;
    reinterpret_cast<QLXEXITENTRYFN>(library.symbol("qlxExitEntry"))(&record);
    const QLXEXITFUNCS* functions = static_cast<const QLXEXITDEF*>(record)->Functions;
    QLXXSERVICES services{mallocAllocate, mallocRelease, nullptr, nullptr,
                          nullptr,        nullptr,       nullptr, nullptr};
    QLXXCTL xctl{};
    xctl.Services = &services;
    functions->Init(&xctl, nullptr, 0);
    QLXEXCEPTION exception = kQlxExceptionDefault;
    exception.CallType = 28;
    QLXERRPROFILE profile{};
    profile.Actions = 0x15;
    QLXEXCDTL detail{0, 0, &exception, &profile};
    QLXEXCACT action{};
    EXPECT_EQ(functions->Analyse(&xctl, &detail, &action), 0);
    functions->Term(&xctl, 0);
  }
  unsetenv("QLX_TRACE_FILE");
  const std::string trace = readFile(path);
  std::remove(path);
  EXPECT_NE(trace.find("CallType is unknown."), std::string::npos) << trace;
  EXPECT_NE(trace.find("ErrProfile Actions = 21"), std::string::npos) << trace;
  EXPECT_NE(trace.find("pProfile Actions = 4"), std::string::npos) << trace;
  EXPECT_NE(trace.find("entry"), std::string::npos) << trace;
  EXPECT_NE(trace.find("zvrEARAnalyse"), std::string::npos) << trace;
}

}  // namespace
