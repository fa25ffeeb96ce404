// The six line commands on the fake line: what each one opens, closes and records in the work
// area, what a failed open or close leaves behind, and the start-up's log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "driver/host/entry.h"
#include "driver/host/records.h"
#include "driver/line/commands.h"
#include "driver/line/trailer_timeout.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_current_dir.h"

namespace qel {
namespace {

using test::Call;
using test::DeviceOptions;
using test::FakeLine;
using test::Op;
using Texts = std::vector<std::string>;

const char kNotFound[] = "QelPRV : Init File QELPRV.INT not found !";
const char kLoaded[] = "QELPRV: Landis&Stafea Driver loaded successfully.";

constexpr LineParameters k9600{9600, 8, 0, 0};
constexpr LineParameters k19200{19200, 7, 2, 2};

// The work area between two guard areas, so that a stray write shows.
struct GuardedWorkArea {
  unsigned char before[16];
  LineWorkArea work;
  unsigned char after[16];
};

LineSetup MakeSetup(const char* name, int32_t reply_timeout = 300, uint32_t in_use = 1,
                    LineParameters params = k9600) {
  LineSetup s{};
  std::strncpy(s.port_name, name, sizeof s.port_name);
  s.in_use = in_use;
  s.reply_timeout = reply_timeout;
  s.params = params;
  return s;
}

PortUpdateRecord MakeUpdate(const char* name, int32_t reply_timeout, LineParameters params) {
  PortUpdateRecord u{};
  std::strncpy(u.port_name, name, sizeof u.port_name);
  u.reply_timeout = reply_timeout;
  u.params = params;
  return u;
}

std::string Name(const LineWorkArea& work) {
  return std::string(work.port.name, strnlen(work.port.name, sizeof work.port.name));
}

bool SameBytes(const GuardedWorkArea& a, const GuardedWorkArea& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class LineCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A host's area is not zeroed: every byte the driver leaves alone keeps this pattern.
    std::memset(&area_, 0xA5, sizeof area_);
    area_.work.port_handle = 0;
    line_.AddDevice("COM1");
    line_.AddDevice("COM2");
    test::ClearLog();
  }

  int32_t Run(int32_t code, void* arg = nullptr) {
    DriverRequest request{&area_.work, code, 1, 0, arg};
    return QelMain(&request);
  }
  int32_t Start(LineSetup setup) { return Run(kCmdLineStart, &setup); }
  int32_t RunPortUpdate(PortUpdateRecord update) { return Run(kCmdPortUpdate, &update); }

  // Starts the line on COM1 and forgets what that logged and called.
  void StartOnCom1(int32_t reply_timeout = 300) {
    ASSERT_EQ(Start(MakeSetup("COM1", reply_timeout)), kOk);
    handle_ = area_.work.port_handle;
    ASSERT_NE(handle_, 0u);
    test::ClearLog();
    line_.ClearCalls();
  }

  test::ScopedCurrentDir dir_;  // no settings file
  FakeLine line_;
  GuardedWorkArea area_;
  LineWorkArea& work_ = area_.work;
  platform::Handle handle_ = 0;
};

TEST_F(LineCommandsTest, StartRecordsTheLineAndLogsInOrder) {
  GuardedWorkArea expected = area_;
  ASSERT_EQ(Start(MakeSetup("COM1", 300, 1, k19200)), kOk);

  const auto logged = test::LoggedLines();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0].text, kBuildLine);
  EXPECT_TRUE(std::regex_match(
      logged[0].text,
      std::regex(
          "QELPRV> version compiled on (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
          "( [1-9]|[12][0-9]|3[01]) [0-9]{4} at time ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]")))
      << logged[0].text;
  EXPECT_EQ(logged[1].text, kNotFound);
  EXPECT_EQ(logged[2].text, kLoaded);
  for (const auto& l : logged) EXPECT_EQ(l.level, 32) << l.text;

  // Exactly these fields change; the gate-name field and the unused bytes keep the host's bytes.
  expected.work.reply_timeout = 300;
  expected.work.port_handle = line_.LastHandle();
  expected.work.in_use = 1;
  expected.work.port = PortSettings{{'C', 'O', 'M', '1'}, k19200, kLineStartHandshake};
  expected.work.post_pause_ms = 0;
  EXPECT_TRUE(SameBytes(area_, expected));

  // The port runs with the line parameters, DTR and RTS off, and the reply timeout as given.
  const platform::Dcb& dcb = line_.DeviceState("COM1");
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.fDtrControl, platform::kDtrControlDisable);
  EXPECT_EQ(dcb.fRtsControl, platform::kRtsControlDisable);
  EXPECT_EQ(line_.ReadTimeoutMs(work_.port_handle), 3000u);
}

TEST_F(LineCommandsTest, StartStoresAReplyTimeoutOfAtLeast100) {
  struct Case {
    int32_t given, stored;
  };
  for (const Case c : {Case{0, 100}, Case{50, 100}, Case{99, 100}, Case{100, 100}, Case{250, 250},
                       Case{-5, 100}}) {
    SCOPED_TRACE(c.given);
    ASSERT_EQ(Start(MakeSetup("COM1", c.given)), kOk);
    EXPECT_EQ(work_.reply_timeout, c.stored);
    // The port's own timeout is set from the host's value, unbounded.
    EXPECT_EQ(line_.ReadTimeoutMs(work_.port_handle), static_cast<uint32_t>(c.given) * 10u);
    ASSERT_EQ(Run(kCmdPortClose), kOk);
  }
}

TEST_F(LineCommandsTest, StartWithInUseZeroOpensNothing) {
  work_.post_pause_ms = 1234;
  work_.in_use = 1;
  GuardedWorkArea expected = area_;
  EXPECT_EQ(Start(MakeSetup("COM1", 300, 0)), kOk);
  EXPECT_EQ(test::LoggedTexts(), (Texts{kBuildLine, kNotFound}));
  expected.work.in_use = 0;
  expected.work.post_pause_ms = 0;
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.Calls().empty());
}

TEST_F(LineCommandsTest, StartThatCannotOpenKeepsTheRecordedState) {
  work_.post_pause_ms = 1234;
  GuardedWorkArea expected = area_;
  EXPECT_EQ(Start(MakeSetup("COM9")), kFailed);
  EXPECT_EQ(test::LoggedTexts(), (Texts{kBuildLine, kNotFound, "QELPR : Fail to open COM9"}));
  expected.work.in_use = 1;
  expected.work.post_pause_ms = 0;
  EXPECT_TRUE(SameBytes(area_, expected));
}

TEST_F(LineCommandsTest, StartOnALineWhosePortIsOpenFailsAndKeepsThePort) {
  StartOnCom1(300);
  GuardedWorkArea expected = area_;
  EXPECT_EQ(Start(MakeSetup("COM1", 500, 1, k19200)), kFailed);
  EXPECT_EQ(test::LoggedTexts(), (Texts{kBuildLine, kNotFound, "QELPR : Fail to open COM1"}));
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.IsOpen("COM1"));
  EXPECT_TRUE(line_.CallsOf(Op::kClose).empty());
}

TEST_F(LineCommandsTest, CloseStopAndFlushWithoutAPortTouchNothing) {
  const GuardedWorkArea expected = area_;
  for (int32_t code : {kCmdPortClose, kCmdLineStop, kCmdLineFlush}) {
    EXPECT_EQ(Run(code), kOk) << code;
  }
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.Calls().empty());
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(LineCommandsTest, CloseAndStopCloseThePortAndKeepTheRest) {
  for (int32_t code : {kCmdPortClose, kCmdLineStop}) {
    SCOPED_TRACE(code);
    StartOnCom1();
    GuardedWorkArea expected = area_;
    EXPECT_EQ(Run(code), kOk);
    expected.work.port_handle = 0;
    EXPECT_TRUE(SameBytes(area_, expected));  // in-use flag, settings and timeout outlive it
    EXPECT_FALSE(line_.IsOpen("COM1"));
    ASSERT_EQ(line_.CallsOf(Op::kClose).size(), 1u);
    EXPECT_EQ(line_.CallsOf(Op::kClose)[0].handle, handle_);
    EXPECT_TRUE(test::LoggedLines().empty());
  }
}

TEST_F(LineCommandsTest, FailedCloseKeepsTheHandleAndALaterCloseTriesAgain) {
  StartOnCom1();
  line_.Options("COM1").close_fails = true;
  const GuardedWorkArea expected = area_;
  EXPECT_EQ(Run(kCmdPortClose), kFailed);
  EXPECT_EQ(Run(kCmdLineStop), kFailed);
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(test::LoggedLines().empty());

  line_.Options("COM1").close_fails = false;
  EXPECT_EQ(Run(kCmdLineStop), kOk);
  EXPECT_EQ(work_.port_handle, 0u);
  EXPECT_EQ(line_.CallsOf(Op::kClose).size(), 3u);
}

TEST_F(LineCommandsTest, FlushDrainsUnderTheTrailerTimeoutAndPutsBackTheReplyTimeout) {
  StartOnCom1(300);
  line_.Send("stray bytes");
  const GuardedWorkArea expected = area_;
  EXPECT_EQ(Run(kCmdLineFlush), kOk);
  EXPECT_EQ(line_.TimeoutsSet(),
            (std::vector<uint32_t>{static_cast<uint32_t>(CurrentTrailerTimeout()) * 10u, 3000u}));
  std::string drained;
  for (const Call& c : line_.CallsOf(Op::kRead)) drained += c.data;
  EXPECT_EQ(drained, "stray bytes");
  EXPECT_TRUE(SameBytes(area_, expected));
}

TEST_F(LineCommandsTest, PortOpenReopensFromTheRecordedSettingsAndSetsInUse) {
  StartOnCom1();
  ASSERT_EQ(Run(kCmdPortClose), kOk);
  work_.in_use = 0;
  work_.port.params = k19200;  // what a PortUpdate would have recorded
  GuardedWorkArea expected = area_;
  line_.ClearCalls();

  EXPECT_EQ(Run(kCmdPortOpen), kOk);
  expected.work.in_use = 1;
  expected.work.port_handle = line_.LastHandle();
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_EQ(line_.DeviceState("COM1").BaudRate, 19200u);
  EXPECT_EQ(line_.TimeoutsSet(), std::vector<uint32_t>{1000u});  // only the open's own
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(LineCommandsTest, PortOpenThatFailsChangesNothing) {
  StartOnCom1();
  // On the open line the exclusive device refuses a second open; a closed line naming a missing
  // device fails the same way.
  GuardedWorkArea expected = area_;
  EXPECT_EQ(Run(kCmdPortOpen), kFailed);
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.IsOpen("COM1"));

  ASSERT_EQ(Run(kCmdPortClose), kOk);
  std::memcpy(work_.port.name, "COM9", 5);
  work_.in_use = 0;
  expected = area_;
  EXPECT_EQ(Run(kCmdPortOpen), kFailed);
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(LineCommandsTest, PortUpdateToAnotherNameMovesTheLine) {
  StartOnCom1(300);
  work_.port.handshake = kDtrEnable;  // kept, whatever the area holds
  GuardedWorkArea expected = area_;
  EXPECT_EQ(RunPortUpdate(MakeUpdate("COM2", 50, k19200)), kOk);

  EXPECT_FALSE(line_.IsOpen("COM1"));
  EXPECT_TRUE(line_.IsOpen("COM2"));
  ASSERT_EQ(line_.CallsOf(Op::kClose).size(), 1u);
  EXPECT_EQ(line_.CallsOf(Op::kClose)[0].handle, handle_);
  expected.work.reply_timeout = 50;  // no lower bound here
  expected.work.port_handle = line_.LastHandle();
  expected.work.port = PortSettings{{'C', 'O', 'M', '2'}, k19200, kDtrEnable};
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_EQ(line_.DeviceState("COM2").BaudRate, 19200u);
  EXPECT_EQ(line_.DeviceState("COM2").fDtrControl, platform::kDtrControlEnable);
  EXPECT_EQ(line_.TimeoutsSet(), std::vector<uint32_t>{1000u});  // no read timeout of its own
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(LineCommandsTest, PortUpdateToANameThatDoesNotOpenLeavesNoPort) {
  StartOnCom1(300);
  EXPECT_EQ(RunPortUpdate(MakeUpdate("COM9", 0, k19200)), kFailed);
  EXPECT_EQ(work_.port_handle, 0u);
  EXPECT_FALSE(line_.IsOpen("COM1"));
  // The area already holds the new name and parameters; a timeout of 0 kept the old one.
  EXPECT_EQ(Name(work_), "COM9");
  EXPECT_EQ(std::memcmp(&work_.port.params, &k19200, sizeof k19200), 0);
  EXPECT_EQ(work_.reply_timeout, 300);
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(LineCommandsTest, PortUpdateWithTheSameNameFailsUntilCloseAndOpenApplyIt) {
  StartOnCom1(300);
  EXPECT_EQ(RunPortUpdate(MakeUpdate("COM1", 0, k19200)), kFailed);
  EXPECT_TRUE(line_.CallsOf(Op::kClose).empty());
  EXPECT_EQ(work_.port_handle, handle_);
  EXPECT_EQ(line_.DeviceState("COM1").BaudRate, 9600u);  // the port runs as before
  EXPECT_EQ(work_.port.params.baud, 19200);              // the area holds the new ones
  EXPECT_EQ(work_.reply_timeout, 300);

  ASSERT_EQ(Run(kCmdPortClose), kOk);
  ASSERT_EQ(Run(kCmdPortOpen), kOk);
  EXPECT_EQ(line_.DeviceState("COM1").BaudRate, 19200u);
  EXPECT_EQ(line_.DeviceState("COM1").ByteSize, 7);
}

TEST_F(LineCommandsTest, PortUpdateNameComparisonCountsLetterCase) {
  line_.AddDevice("com1");
  StartOnCom1();
  EXPECT_EQ(RunPortUpdate(MakeUpdate("com1", 0, k9600)), kOk);
  EXPECT_FALSE(line_.IsOpen("COM1"));
  EXPECT_TRUE(line_.IsOpen("com1"));
  // A different name: the old port is closed before the new one is opened.
  const auto& calls = line_.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kClose);
  EXPECT_EQ(calls[0].handle, handle_);
  EXPECT_EQ(calls[1].op, Op::kOpen);
  EXPECT_EQ(calls[1].name, "com1");
}

TEST_F(LineCommandsTest, PortUpdateOnAClosedLineOpensWithTheNewSettings) {
  work_.in_use = 0;
  work_.port.handshake = kRtsEnable;
  GuardedWorkArea expected = area_;
  EXPECT_EQ(RunPortUpdate(MakeUpdate("COM2", 400, k19200)), kOk);
  expected.work.reply_timeout = 400;
  expected.work.port_handle = line_.LastHandle();
  expected.work.port = PortSettings{{'C', 'O', 'M', '2'}, k19200, kRtsEnable};
  EXPECT_TRUE(SameBytes(area_, expected));  // the in-use flag stays 0
  EXPECT_TRUE(line_.CallsOf(Op::kClose).empty());
  EXPECT_EQ(line_.DeviceState("COM2").fRtsControl, platform::kRtsControlEnable);
}

// A device that lets a second open succeed: the line keeps one handle, the new one.
TEST_F(LineCommandsTest, SecondOpenOnASharedDeviceClosesTheOldHandle) {
  line_.AddDevice("COM3", DeviceOptions{.shared = true});
  struct Case {
    const char* what;
    int32_t code;
  };
  for (const Case c : {Case{"PortOpen", kCmdPortOpen}, Case{"PortUpdate", kCmdPortUpdate},
                       Case{"LineStart", kCmdLineStart}}) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Start(MakeSetup("COM3")), kOk);
    const platform::Handle old = work_.port_handle;
    line_.ClearCalls();
    LineSetup setup = MakeSetup("COM3", 300, 1, k19200);
    PortUpdateRecord update = MakeUpdate("COM3", 0, k19200);
    void* arg = c.code == kCmdLineStart    ? static_cast<void*>(&setup)
                : c.code == kCmdPortUpdate ? static_cast<void*>(&update)
                                           : nullptr;
    EXPECT_EQ(Run(c.code, arg), kOk);
    EXPECT_NE(work_.port_handle, old);
    EXPECT_EQ(work_.port_handle, line_.LastHandle());
    EXPECT_EQ(line_.OpenCount(), 1);
    ASSERT_EQ(line_.CallsOf(Op::kClose).size(), 1u);
    EXPECT_EQ(line_.CallsOf(Op::kClose)[0].handle, old);
    // The old handle is closed only once the new open has succeeded.
    const auto& calls = line_.Calls();
    const auto at = [&](Op op) {
      for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == op) return i;
      }
      return calls.size();
    };
    EXPECT_LT(at(Op::kSetupQueues), at(Op::kClose));
    ASSERT_EQ(Run(kCmdPortClose), kOk);
    ASSERT_EQ(line_.OpenCount(), 0);
  }
}

// A port name must fit the 12-byte field with its NUL: one of 12 characters is refused, never
// cut, and nothing is written outside the field.
TEST_F(LineCommandsTest, LongPortNamesAreRefused) {
  line_.AddDevice("ABCDEFGHIJK");  // what a cut name would open
  line_.AddDevice("ABCDEFGHIJKL");

  // LineStart: the failure line shows the first 11 characters.
  GuardedWorkArea expected = area_;
  LineSetup setup = MakeSetup("", 300);
  std::memcpy(setup.port_name, "ABCDEFGHIJKL", 12);
  EXPECT_EQ(Start(setup), kFailed);
  EXPECT_EQ(test::LoggedTexts(),
            (Texts{kBuildLine, kNotFound, "QELPR : Fail to open ABCDEFGHIJK"}));
  expected.work.in_use = 1;
  expected.work.post_pause_ms = 0;
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.CallsOf(Op::kOpen).empty());

  // PortUpdate on an open line: nothing changes, not even the reply timeout, and the port
  // stays open.
  StartOnCom1(300);
  expected = area_;
  PortUpdateRecord update = MakeUpdate("", 50, k19200);
  std::memcpy(update.port_name, "ABCDEFGHIJKL", 12);
  EXPECT_EQ(RunPortUpdate(update), kFailed);
  EXPECT_TRUE(SameBytes(area_, expected));
  EXPECT_TRUE(line_.Calls().empty());
  EXPECT_TRUE(line_.IsOpen("COM1"));

  // Eleven characters fit.
  EXPECT_EQ(RunPortUpdate(MakeUpdate("ABCDEFGHIJK", 0, k19200)), kOk);
  EXPECT_TRUE(line_.IsOpen("ABCDEFGHIJK"));
  EXPECT_EQ(Name(work_), "ABCDEFGHIJK");
  EXPECT_EQ(work_.port.name[11], '\0');
  EXPECT_TRUE(test::LoggedLines().empty());
}

// The name copied into the recorded settings fills the rest of the field with NULs, so a
// shorter name after a longer one opens exactly what it says.
TEST_F(LineCommandsTest, ShorterNameReplacesTheWholeField) {
  line_.AddDevice("ABCDEFGHIJK");
  ASSERT_EQ(Start(MakeSetup("ABCDEFGHIJK")), kOk);
  EXPECT_EQ(RunPortUpdate(MakeUpdate("COM2", 0, k9600)), kOk);
  EXPECT_EQ(std::memcmp(work_.port.name, "COM2\0\0\0\0\0\0\0\0", 12), 0);
  EXPECT_EQ(line_.CallsOf(Op::kOpen).back().name, "COM2");
}

}  // namespace
}  // namespace qel
