// The serial library on the Win32 back-end, run under Wine against the controller simulator on
// a pseudo-terminal that the throwaway prefix maps as COM ports (run_with_sim.sh sets them up and
// names them in QEL_WINE_PORT and QEL_WINE_PORT_HIGH).
//
// Wine does not enforce the exclusive open (a second CreateFileA of a COM port succeeds), so
// that is not tested here; the pty tests cover it on the POSIX back-end.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "driver/host/records.h"
#include "driver/platform/platform.h"
#include "driver/serial/serial.h"
#include "driver/serial/wrappers.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

using platform::Handle;

constexpr LineParameters k9600_8N1{9600, 8, 0, 0};

std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

const std::string& Port() {
  static const std::string port = Env("QEL_WINE_PORT", "COM8");
  return port;
}

const std::string& HighPort() {
  static const std::string port = Env("QEL_WINE_PORT_HIGH", "COM38");
  return port;
}

DWORD MsSince(DWORD start) {
  return GetTickCount() - start;
}

// The simulator's answer to a gate read: echo, data block, trailer.
bool LooksLikeAnswer(const std::string& a, const std::string& request) {
  return a.rfind(request +
                     "\x02"
                     "00",
                 0) == 0 &&
         a.find("\r\x03", request.size()) != std::string::npos && a.size() >= 3 &&
         a.compare(a.size() - 3, 3, "\r\n\x03") == 0;
}

class SerialWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetOverride(nullptr);
    test::ClearLog();
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(SerClose(handle_), kSerOk);
    }
  }

  void Open(const std::string& name) {
    ASSERT_EQ(SerOpen(name.c_str(), k9600_8N1, 8, &handle_), kSerOk) << name;
    ASSERT_NE(handle_, 0u);
    work_.port_handle = handle_;
    work_.reply_timeout = 100;
  }

  // Sends a request and collects the answer one byte at a time, up to the trailer's ETX.
  std::string Transact(const std::string& request) {
    DriverRequest r{&work_, 5, 1, 0, nullptr};
    EXPECT_EQ(SendString(&r, request.data(), static_cast<uint32_t>(request.size())), 1);
    std::string answer;
    int etx = 0;
    char c = 0;
    while (etx < 2 && answer.size() < 200 && RecvString(&r, &c, 1) == 1) {
      answer += c;
      if (c == '\x03') ++etx;
    }
    return answer;
  }

  Handle handle_ = 0;
  LineWorkArea work_{};
};

TEST_F(SerialWineTest, OpenConfigureWriteAndRead) {
  Open(Port());
  platform::Dcb d{};
  d.DCBlength = 28;
  ASSERT_TRUE(platform::Native().get_comm_state(handle_, &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, platform::kNoParity);
  EXPECT_EQ(d.StopBits, platform::kOneStopBit);

  // A fresh port reads under 1000 ms.
  EXPECT_EQ(SerSetReadTimeout(handle_, 100), 100);
  EXPECT_EQ(SerSetReadTimeout(handle_, 50), 100);
  EXPECT_EQ(SerSetReadTimeout(handle_, 50), 50);

  // CR, STX and ETX pass unchanged both ways (the echo comes back as sent).
  const std::string answer = Transact("$SP\r");
  EXPECT_TRUE(LooksLikeAnswer(answer, "$SP\r")) << answer;
  EXPECT_TRUE(test::LoggedLines().empty());
}

TEST_F(SerialWineTest, ReadWaitsItsTimeout) {
  Open(Port());
  SerSetReadTimeout(handle_, 30);
  char c = 0;
  uint32_t received = 7;
  const DWORD start = GetTickCount();
  EXPECT_EQ(SerRead(handle_, &c, 1, &received), kSerIoFailed);
  const DWORD took = MsSince(start);
  EXPECT_EQ(received, 0u);
  EXPECT_GE(took, 280u);  // GetTickCount is coarse
  EXPECT_LT(took, 1500u);
}

// A read of more than arrives: the first platform read returns the answer when its timeout runs
// out, the second brings nothing.
TEST_F(SerialWineTest, LongReadKeepsWhatArrived) {
  Open(Port());
  SerSetReadTimeout(handle_, 30);
  uint32_t written = 0;
  ASSERT_EQ(SerWrite(handle_, "$SP\r", 4, &written), kSerOk);
  EXPECT_EQ(written, 4u);
  char buf[500] = {};
  uint32_t received = 0;
  const DWORD start = GetTickCount();
  EXPECT_EQ(SerRead(handle_, buf, 500, &received), kSerIoFailed);
  const DWORD took = MsSince(start);
  EXPECT_TRUE(LooksLikeAnswer(std::string(buf, received), "$SP\r")) << std::string(buf, received);
  EXPECT_GE(took, 580u);
  EXPECT_LT(took, 3000u);
}

// A total timeout of 0 or less: the read returns at once with what has arrived.
TEST_F(SerialWineTest, ZeroOrNegativeTimeoutNeverWaits) {
  Open(Port());
  for (int32_t ticks : {0, -5}) {
    SCOPED_TRACE(ticks);
    SerSetReadTimeout(handle_, ticks);
    char buf[500] = {};
    uint32_t received = 0;
    DWORD start = GetTickCount();
    EXPECT_EQ(SerRead(handle_, buf, 1, &received), kSerIoFailed);
    EXPECT_LT(MsSince(start), 200u);
    ASSERT_EQ(SerWrite(handle_, "$SP\r", 4, nullptr), kSerOk);
    // Collect the answer with reads that never wait, pausing between them.
    std::string answer;
    for (int i = 0; i < 30 && !LooksLikeAnswer(answer, "$SP\r"); ++i) {
      Sleep(100);
      start = GetTickCount();
      received = 0;
      SerRead(handle_, buf, 500, &received);
      EXPECT_LT(MsSince(start), 200u);
      answer.append(buf, received);
    }
    EXPECT_TRUE(LooksLikeAnswer(answer, "$SP\r")) << answer;
  }
  // And back to a real timeout.
  SerSetReadTimeout(handle_, 20);
  char c = 0;
  const DWORD start = GetTickCount();
  EXPECT_EQ(SerRead(handle_, &c, 1, nullptr), kSerIoFailed);
  EXPECT_GE(MsSince(start), 180u);
}

// COM10 and above open only through the device path, in either letter case.
TEST_F(SerialWineTest, HighPortNumbersOpen) {
  std::string lower = HighPort();
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  for (const std::string& name : {HighPort(), lower}) {
    SCOPED_TRACE(name);
    Open(name);
    SerSetReadTimeout(handle_, 50);
    EXPECT_TRUE(LooksLikeAnswer(Transact("$SP\r"), "$SP\r"));
    EXPECT_EQ(SerClose(handle_), kSerOk);
    handle_ = 0;
  }
}

// Settings the port cannot run with are refused, and the port opens again afterwards. (Wine
// takes one and a half stop bits and a rate of 0 without complaint, and refuses RTS toggle on a
// pseudo-terminal, so those are not tried here.)
TEST_F(SerialWineTest, RefusedSettingsGiveFive) {
  for (const LineParameters& p : {LineParameters{9600, 9, 0, 0}, LineParameters{9600, 8, 0, 5}}) {
    Handle h = 0;
    EXPECT_EQ(SerOpen(Port().c_str(), p, 8, &h), kSerRefused);
  }
  Open(Port());
  SerSetReadTimeout(handle_, 50);
  EXPECT_TRUE(LooksLikeAnswer(Transact("$SP\r"), "$SP\r"));
}

TEST_F(SerialWineTest, NullDeviceAndMissingPorts) {
  Handle h = 0;
  ASSERT_EQ(SerOpen("NUL", k9600_8N1, 8, &h), kSerOk);
  uint32_t written = 0;
  EXPECT_EQ(SerWrite(h, "ABC\r", 4, &written), kSerOk);
  EXPECT_EQ(written, 4u);
  char c = 0;
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_EQ(SerClose(h), kSerOk);
  // Any other spelling is configured like a port; the null device has no line settings.
  EXPECT_EQ(SerOpen("nul", k9600_8N1, 8, &h), kSerNoLineSettings);
  EXPECT_EQ(SerOpen("COM99", k9600_8N1, 8, &h), kSerOpenFailed);
  EXPECT_EQ(h, platform::kInvalidHandle);
}

}  // namespace
}  // namespace qel
