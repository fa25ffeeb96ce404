// The entry point and the command table: every code reaches its slot, codes without a handler
// and missing records are refused without calling through anything.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/host/entry.h"
#include "driver/host/records.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

using test::FakeLine;

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearLog(); }
  FakeLine line_;
};

TEST_F(EntryTest, CodesWithoutHandlerAreRefusedAndTouchNothing) {
  for (int32_t code : {0, 8, 9, -1, 16, 17, 1000, INT32_MIN, INT32_MAX}) {
    LineWorkArea work;
    std::memset(&work, 0xA5, sizeof work);
    const LineWorkArea before = work;
    DriverRequest request{&work, code, 1, 0, nullptr};
    EXPECT_EQ(QelMain(&request), kRefused) << "code " << code;
    EXPECT_EQ(std::memcmp(&work, &before, sizeof work), 0) << "code " << code;
  }
  EXPECT_TRUE(line_.Calls().empty());
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(EntryTest, NullRequestIsRefused) { EXPECT_EQ(QelMain(nullptr), kRefused); }

TEST_F(EntryTest, TableHasHandlersExactlyInTheDocumentedSlots) {
  for (int code = 0; code < kCommandSlots; ++code) {
    const bool empty = code == 0 || code == 8 || code == 9;
    EXPECT_EQ(CommandTable[code] == nullptr, empty) << "slot " << code;
  }
}

TEST_F(EntryTest, CommandFourAnswersOneAndReadsNothing) {
  // Garbage pointers: the handler must not look at them.
  DriverRequest request{reinterpret_cast<LineWorkArea*>(0x10), kCmdGateDefineAlt, 1, 0,
                        reinterpret_cast<void*>(0x20)};
  EXPECT_EQ(QelMain(&request), kRefused);
  EXPECT_TRUE(line_.Calls().empty());
}

// A missing work area or argument record is never dereferenced: line commands answer 2, the
// others 1.
TEST_F(EntryTest, MissingRecordsAreNeverDereferenced) {
  struct Case {
    int32_t code;
    bool null_work;
    bool null_arg;
    int32_t expected;
  };
  LineWorkArea work{};
  const Case cases[] = {
      {kCmdLineStart, true, false, kFailed},  {kCmdLineStart, false, true, kFailed},
      {kCmdLineFlush, true, false, kFailed},  {kCmdLineStop, true, false, kFailed},
      {kCmdPortClose, true, false, kFailed},  {kCmdPortOpen, true, false, kFailed},
      {kCmdPortUpdate, true, false, kFailed}, {kCmdPortUpdate, false, true, kFailed},
      {kCmdGateDefine, true, false, kRefused}, {kCmdGateDefine, false, true, kRefused},
      {kCmdSingleRead, true, false, kRefused}, {kCmdSingleRead, false, true, kRefused},
      {kCmdSingleWrite, true, false, kRefused}, {kCmdSingleWrite, false, true, kRefused},
      {kCmdBlockRead, false, true, kRefused},  {kCmdBlockWrite, false, true, kRefused},
      {kCmdDriverInfo, false, true, kRefused},
  };
  LineSetup setup{};
  GateTransfer gate{};
  for (const Case& c : cases) {
    void* arg = c.code == kCmdLineStart ? static_cast<void*>(&setup) : static_cast<void*>(&gate);
    DriverRequest request{c.null_work ? nullptr : &work, c.code, 1, 0, c.null_arg ? nullptr : arg};
    EXPECT_EQ(QelMain(&request), c.expected) << "code " << c.code;
  }
  EXPECT_EQ(line_.CallsOf(test::Op::kOpen).size(), 0u);
}

TEST_F(EntryTest, StopAndCloseBehaveAlikeOnALineWithoutPort) {
  for (int32_t code : {kCmdLineStop, kCmdPortClose, kCmdLineFlush}) {
    LineWorkArea work{};
    const LineWorkArea before = work;
    DriverRequest request{&work, code, 1, 0, nullptr};
    EXPECT_EQ(QelMain(&request), kOk) << "code " << code;
    EXPECT_EQ(std::memcmp(&work, &before, sizeof work), 0);
  }
  EXPECT_TRUE(line_.Calls().empty());
  EXPECT_TRUE(test::LoggedLines().empty());
}

}  // namespace
}  // namespace qel
