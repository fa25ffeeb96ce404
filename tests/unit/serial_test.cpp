// The serial library and the line wrappers on the fake platform: what they hand to the platform
// (line settings, timeouts, queues, in order), their result codes, their timing on the virtual
// clock, and a line whose port is closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "driver/serial/serial.h"
#include "driver/serial/wrappers.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

using platform::CommTimeouts;
using platform::Dcb;
using platform::Handle;
using test::DeviceOptions;
using test::FakeLine;
using test::Op;

constexpr LineParameters k9600_8N1{9600, 8, 0, 0};

std::string Hex(const Dcb& d) {
  std::string out;
  const auto* b = reinterpret_cast<const unsigned char*>(&d);
  for (size_t i = 0; i < sizeof d; ++i) {
    char s[4];
    std::snprintf(s, sizeof s, "%02x ", b[i]);
    out += s;
  }
  return out;
}

std::vector<Op> Ops(const FakeLine& line) {
  std::vector<Op> out;
  for (const auto& c : line.Calls()) out.push_back(c.op);
  return out;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearLog();
    SetTrailerTimeout(kDefaultTrailerTimeout);
    line_.AddDevice("COM1");
  }
  void TearDown() override { SetTrailerTimeout(kDefaultTrailerTimeout); }

  Handle OpenCom1(const LineParameters& params = k9600_8N1, uint16_t flags = 8) {
    Handle h = 0;
    EXPECT_EQ(SerOpen("COM1", params, flags, &h), kSerOk);
    return h;
  }

  FakeLine line_;
};

// The members SerOpen changes, and only those: everything else keeps the distinctive value the
// fake port starts with.
TEST_F(SerialTest, OpenAppliesTheLineSettingsTableAndNothingElse) {
  struct Case {
    uint16_t flags;
    uint32_t dtr;
    uint32_t rts;
  };
  const Case cases[] = {
      {8, platform::kDtrControlDisable, platform::kRtsControlDisable},
      {0x8001, platform::kDtrControlEnable, platform::kRtsControlDisable},  // 0x0101 test first
      {0x8000, platform::kDtrControlHandshake, platform::kRtsControlDisable},
      {0x0100, platform::kDtrControlEnable, platform::kRtsControlDisable},
      {0x3000, platform::kDtrControlDisable, platform::kRtsControlHandshake},  // 0x1000 first
      {0x2000, platform::kDtrControlDisable, platform::kRtsControlToggle},
      {0x3202, platform::kDtrControlDisable, platform::kRtsControlEnable},  // 0x0202 first
      {0x0200, platform::kDtrControlDisable, platform::kRtsControlEnable},
      {0x0303, platform::kDtrControlEnable, platform::kRtsControlEnable},
      {0x4CFC, platform::kDtrControlDisable, platform::kRtsControlDisable},  // no tested bit
  };
  const Dcb initial = line_.DeviceState("COM1");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
    line_.ClearCalls();
    Handle h = 0;
    // High bytes of data bits, stop bits and parity are never looked at.
    ASSERT_EQ(SerOpen("COM1", LineParameters{65535, 0x0107, 0x0202, 0x0301}, c.flags, &h), kSerOk);

    Dcb want = initial;
    want.DCBlength = 28;
    want.BaudRate = 65535;
    want.fBinary = 1;
    want.fParity = 1;
    want.fOutxCtsFlow = 0;
    want.fOutxDsrFlow = 0;
    want.fDtrControl = c.dtr;
    want.fDsrSensitivity = 0;
    want.fOutX = 0;
    want.fInX = 0;
    want.fErrorChar = 0;
    want.fNull = 0;
    want.fRtsControl = c.rts;
    want.fAbortOnError = 0;
    want.ByteSize = 7;
    want.Parity = 1;
    want.StopBits = 2;
    want.ErrorChar = static_cast<char>(0xFC);
    const auto set = line_.CallsOf(Op::kSetState);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(std::memcmp(&set[0].dcb, &want, sizeof want), 0)
        << "got  " << Hex(set[0].dcb) << "\nwant " << Hex(want);

    // Timeouts before the line settings, the queues last.
    EXPECT_EQ(Ops(line_), (std::vector<Op>{Op::kOpen, Op::kGetState, Op::kSetTimeouts,
                                           Op::kSetState, Op::kSetupQueues}));
    const CommTimeouts t = line_.CallsOf(Op::kSetTimeouts)[0].timeouts;
    const CommTimeouts open_timeouts{0, 0, 1000, 0, 0};
    EXPECT_EQ(std::memcmp(&t, &open_timeouts, sizeof t), 0);
    const auto queues = line_.CallsOf(Op::kSetupQueues);
    EXPECT_EQ(queues[0].count, 1200u);
    EXPECT_EQ(queues[0].count2, 1200u);
    ASSERT_EQ(SerClose(h), kSerOk);
    line_.AddDevice("COM1");  // back to the initial settings for the next case
  }
}

TEST_F(SerialTest, OpenIgnoresTheResultOfTheQueueSizes) {
  line_.Options("COM1").refuse_queues = true;
  Handle h = 0;
  EXPECT_EQ(SerOpen("COM1", k9600_8N1, 8, &h), kSerOk);
  EXPECT_TRUE(line_.IsOpen("COM1"));
}

// Every failure after the open closes the device again, so the next attempt can open it.
TEST_F(SerialTest, EachOpenFailureHasItsCodeAndLeavesTheDeviceClosed) {
  struct Case {
    const char* name;
    DeviceOptions options;
    bool open_first;  // another handle holds the device
    int32_t code;
    bool closes;  // SerOpen itself closes the handle it opened
  };
  const Case cases[] = {
      {"missing", {}, false, kSerOpenFailed, false},
      {"busy", {}, true, kSerOpenFailed, false},
      {"file", {.serial = false}, false, kSerNoLineSettings, true},
      {"notimeouts", {.refuse_timeouts = true}, false, kSerOpenFailed, true},
      {"refuses", {.refuse_settings = true}, false, kSerRefused, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::strcmp(c.name, "missing") != 0) line_.AddDevice(c.name, c.options);
    Handle holder = 0;
    if (c.open_first) {
      ASSERT_EQ(SerOpen(c.name, k9600_8N1, 8, &holder), kSerOk);
    }
    line_.ClearCalls();

    Handle h = 0;
    EXPECT_EQ(SerOpen(c.name, k9600_8N1, 8, &h), c.code);
    const auto closes = line_.CallsOf(Op::kClose);
    if (c.closes) {
      ASSERT_EQ(closes.size(), 1u);
      EXPECT_EQ(closes[0].handle, line_.CallsOf(Op::kOpen)[0].handle);
      EXPECT_FALSE(line_.IsOpen(c.name));
    } else {
      EXPECT_EQ(h, platform::kInvalidHandle);  // what the open yielded, stored at once
      EXPECT_TRUE(closes.empty());
    }

    // The wrapper never hands out a failed or closed handle.
    PortSettings settings{};
    std::snprintf(settings.name, sizeof settings.name, "%s", c.name);
    settings.params = k9600_8N1;
    settings.handshake = 8;
    EXPECT_EQ(OpenPortHandle(settings), 0u);
    if (c.closes) {
      EXPECT_FALSE(line_.IsOpen(c.name));
    }
    if (c.open_first) {
      EXPECT_EQ(SerClose(holder), kSerOk);
    }
  }
}

TEST_F(SerialTest, OpenPortHandleReturnsTheHandleOfAConfiguredPort) {
  PortSettings settings{};
  std::memcpy(settings.name, "COM1", 5);
  settings.params = k9600_8N1;
  settings.handshake = 8;
  const Handle h = OpenPortHandle(settings);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(h, line_.LastHandle());
  EXPECT_TRUE(line_.IsOpen("COM1"));
  EXPECT_EQ(SerClose(h), kSerOk);

  // A name that fills its field without an end is never handed to the platform.
  line_.ClearCalls();
  std::memset(settings.name, 'A', sizeof settings.name);
  EXPECT_EQ(OpenPortHandle(settings), 0u);
  EXPECT_TRUE(line_.Calls().empty());
}

// "NUL" (exactly) is the null device: opened, never configured; writes go, reads bring nothing.
TEST_F(SerialTest, NullDeviceOpensUnconfiguredAndItsLowerCaseTwinDoesNot) {
  Handle h = 0;
  ASSERT_EQ(SerOpen("NUL", k9600_8N1, 8, &h), kSerOk);
  EXPECT_EQ(Ops(line_), std::vector<Op>{Op::kOpen});
  EXPECT_EQ(SerSetReadTimeout(h, 100), 0);  // no timeouts on the null device
  uint32_t written = 0;
  EXPECT_EQ(SerWrite(h, "ABC\r", 4, &written), kSerOk);
  EXPECT_EQ(written, 4u);
  LineWorkArea work{};
  work.port_handle = h;
  DriverRequest request{&work, 5, 1, 0, nullptr};
  char c = 0;
  EXPECT_EQ(RecvString(&request, &c, 1), 0);
  EXPECT_EQ(test::LoggedTexts(),
            std::vector<std::string>{"QELPRV: RecvString() failed (Len=1 - Count=0)"});
  EXPECT_EQ(test::LoggedLines()[0].level, 32);
  EXPECT_EQ(SerClose(h), kSerOk);

  // Any other spelling is configured like a port, and the null device has no line settings.
  line_.AddDevice("nul", DeviceOptions{.serial = false, .shared = true});
  line_.ClearCalls();
  EXPECT_EQ(SerOpen("nul", k9600_8N1, 8, &h), kSerNoLineSettings);
  EXPECT_EQ(Ops(line_), (std::vector<Op>{Op::kOpen, Op::kGetState, Op::kClose}));
  EXPECT_FALSE(line_.IsOpen("nul"));
}

TEST_F(SerialTest, SetReadTimeoutWritesOnlyAChangeAndReturnsThePreviousTicks) {
  const Handle h = OpenCom1();
  line_.ClearCalls();
  EXPECT_EQ(SerSetReadTimeout(h, 100), 100);  // 1000 ms already in force
  EXPECT_TRUE(line_.CallsOf(Op::kSetTimeouts).empty());

  EXPECT_EQ(SerSetReadTimeout(h, 25), 100);
  const auto set = line_.CallsOf(Op::kSetTimeouts);
  ASSERT_EQ(set.size(), 1u);
  const CommTimeouts want{0, 0, 250, 0, 0};
  EXPECT_EQ(std::memcmp(&set[0].timeouts, &want, sizeof want), 0);
  EXPECT_EQ(line_.ReadTimeoutMs(h), 250u);

  EXPECT_EQ(SerSetReadTimeout(h, -3), 25);
  EXPECT_EQ(line_.ReadTimeoutMs(h), static_cast<uint32_t>(-30));
  EXPECT_EQ(SerSetReadTimeout(h, 0), -3);  // the previous milliseconds taken as signed

  // A port whose timeouts cannot be written, and the closed line.
  EXPECT_EQ(SerSetReadTimeout(0, 10), 0);
  line_.AddDevice("COM2");
  Handle h2 = 0;
  ASSERT_EQ(SerOpen("COM2", k9600_8N1, 8, &h2), kSerOk);
  line_.Options("COM2").refuse_timeouts = true;
  EXPECT_EQ(SerSetReadTimeout(h2, 10), 0);
  EXPECT_EQ(line_.ReadTimeoutMs(h2), 1000u);
}

TEST_F(SerialTest, ReadOfNothingFails) {
  const Handle h = OpenCom1();
  line_.Send("XYZ");
  uint32_t received = 99;
  char buf[4] = {};
  EXPECT_EQ(SerRead(h, buf, 0, &received), kSerIoFailed);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(line_.Now(), 0);  // nothing waited for
}

// Each platform read has a whole timeout of its own; the read gives up after one that brought
// nothing, keeping what came.
TEST_F(SerialTest, ReadKeepsWhatArrivedAndEndsAfterOneQuietTimeout) {
  const Handle h = OpenCom1();
  line_.Send("abc", 10);
  char buf[500] = {};
  uint32_t received = 0;
  EXPECT_EQ(SerRead(h, buf, 500, &received), kSerIoFailed);
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  const auto reads = line_.CallsOf(Op::kRead);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].data, "abc");
  EXPECT_EQ(reads[1].count, 497u);
  EXPECT_EQ(reads[1].at_ms, 1000);  // the first read waited out its timeout
  EXPECT_EQ(line_.Now(), 2000);

  // A pause shorter than a timeout between bytes does not end the read.
  line_.Send("de", 0);
  line_.Send("f", 1500);
  received = 0;
  EXPECT_EQ(SerRead(h, buf, 3, &received), kSerOk);
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(std::string(buf, 3), "def");
}

TEST_F(SerialTest, ReadFailureAndHangUpAreSeven) {
  const Handle h = OpenCom1();
  line_.Send("ab");
  line_.FailFrom(h, 500);
  char buf[8] = {};
  uint32_t received = 0;
  EXPECT_EQ(SerRead(h, buf, 8, &received), kSerIoFailed);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(line_.Now(), 500);  // the hang-up ends the wait
  EXPECT_EQ(SerRead(0, buf, 1, &received), kSerIoFailed);
  EXPECT_EQ(received, 0u);
}

TEST_F(SerialTest, WriteReportsShortAndFailedWrites) {
  const Handle h = OpenCom1();
  uint32_t written = 0;
  EXPECT_EQ(SerWrite(h, "HELLO", 5, &written), kSerOk);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(SerWrite(h, "HELLO", 5, nullptr), kSerOk);

  line_.Options("COM1").short_write = 2;
  EXPECT_EQ(SerWrite(h, "HELLO", 5, &written), kSerShortWrite);
  EXPECT_EQ(written, 2u);
  LineWorkArea work{};
  work.port_handle = h;
  DriverRequest request{&work, 5, 1, 0, nullptr};
  EXPECT_EQ(SendString(&request, "HELLO", 5), 0);
  line_.Options("COM1").short_write = 0;
  EXPECT_EQ(SendString(&request, "HELLO", 5), 1);

  line_.FailFrom(h, 0);
  written = 1234;
  EXPECT_EQ(SerWrite(h, "HELLO", 5, &written), kSerIoFailed);
  EXPECT_EQ(written, 1234u);  // left untouched
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(SerialTest, CloseReportsAFailedClose) {
  const Handle h = OpenCom1();
  line_.Options("COM1").close_fails = true;
  EXPECT_EQ(SerClose(h), kSerIoFailed);
  line_.Options("COM1").close_fails = false;
  EXPECT_EQ(SerClose(h), kSerOk);
  EXPECT_EQ(SerClose(h), kSerIoFailed);
  EXPECT_EQ(SerClose(0), kSerIoFailed);
}

TEST_F(SerialTest, RecvStringTakesExactlyTheCountOrLogsWhatCame) {
  const Handle h = OpenCom1();
  LineWorkArea work{};
  work.port_handle = h;
  DriverRequest request{&work, 5, 1, 0, nullptr};
  line_.Send("xy");
  char buf[3] = {};
  EXPECT_EQ(RecvString(&request, buf, 1), 1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_TRUE(test::LoggedLines().empty());
  EXPECT_EQ(RecvString(&request, buf, 3), 0);
  EXPECT_EQ(buf[0], 'y');
  EXPECT_EQ(test::LoggedTexts(),
            std::vector<std::string>{"QELPRV: RecvString() failed (Len=3 - Count=1)"});
}

// The drain reads under the trailer timeout and then puts back the line's reply timeout from the
// work area, whatever the port had before.
TEST_F(SerialTest, DrainInputReadsUnderTheTrailerTimeoutAndRestoresTheReplyTimeout) {
  const Handle h = OpenCom1();
  ASSERT_EQ(SerSetReadTimeout(h, 55), 100);
  SetTrailerTimeout(7);
  LineWorkArea work{};
  work.port_handle = h;
  work.reply_timeout = 30;
  line_.Send("junk", 20);
  line_.ClearCalls();
  const int64_t start = line_.Now();

  DrainInput(&work);
  EXPECT_EQ(line_.TimeoutsSet(), (std::vector<uint32_t>{70, 300}));
  const auto reads = line_.CallsOf(Op::kRead);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].count, 500u);
  EXPECT_EQ(reads[0].data, "junk");
  EXPECT_EQ(line_.Now() - start, 140);  // one trailer timeout brought bytes, one did not
  EXPECT_EQ(line_.ReadTimeoutMs(h), 300u);
  EXPECT_TRUE(test::LoggedLines().empty());

  // Quiet line: one trailer timeout.
  const int64_t quiet = line_.Now();
  DrainInput(&work);
  EXPECT_EQ(line_.Now() - quiet, 70);
}

// A line without a port (handle 0): every operation fails the way a failed platform call does.
TEST_F(SerialTest, ClosedLineFailsQuietlyExceptRecvStringsMessage) {
  LineWorkArea work{};
  work.port_handle = 0;
  work.reply_timeout = 30;
  DriverRequest request{&work, 5, 1, 0, nullptr};
  char c = 0;
  EXPECT_EQ(SendString(&request, "A\r", 2), 0);
  EXPECT_TRUE(test::LoggedLines().empty());
  DrainInput(&work);
  EXPECT_TRUE(test::LoggedLines().empty());
  EXPECT_EQ(RecvString(&request, &c, 1), 0);
  EXPECT_EQ(test::LoggedTexts(),
            std::vector<std::string>{"QELPRV: RecvString() failed (Len=1 - Count=0)"});
  EXPECT_EQ(line_.Now(), 0);  // nothing waited
  for (const auto& call : line_.Calls()) EXPECT_FALSE(call.ok) << test::OpName(call.op);
}

}  // namespace
}  // namespace qel
