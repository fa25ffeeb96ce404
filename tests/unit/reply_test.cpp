// The reply reader on the fake line: what the controller sends, and what the reader makes of it
// (result, reply buffer, reply length, log lines, read timeouts, pauses).
#include "driver/protocol/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gate_line.h"

namespace qel {
namespace {

using test::GateLine;
using test::kCharacterFailed;
using test::kRecvFailed;
using test::LogLine;
using test::Visible;

const std::string S = "\x02";
const std::string E = "\x03";
const std::string NUL(1, '\0');

constexpr int32_t kLine = 65537;   // its low 16 bits, 1, name the line in the messages
constexpr uint32_t kReply = 500;   // the work area's 50 ticks
constexpr uint32_t kTrailer = 70;  // a trailer timeout of 7 ticks

std::string WrongEcho(const std::string& held, const std::string& gate) {
  return "QELPRV: CheckResponseData() The response (" + held + ") is not regarding the tag read (" +
         gate + ")";
}
std::string Rejected(const std::string& copy) {
  return "QELPRV1: CheckResponseData() Error: Tag $T1, " + copy;
}
std::string WrongResponse(const std::string& held) {
  return "QELPRV: ReadReply() Wrong response has been received : Gate $T1, Received : " + held;
}
const LogLine kCharFail{32, kCharacterFailed};
const LogLine kRecv{32, kRecvFailed};

struct ReplyCase {
  const char* label;
  std::string gate;
  std::string input;  // what the controller has sent when the reader starts
  uint8_t result;
  std::string buffer;  // the reply buffer from index 0; every byte after it stays zero
  uint16_t length;
  std::vector<LogLine> log;
  std::vector<uint32_t> timeouts;  // read timeouts asked for, ms, in order
  std::vector<uint32_t> sleeps;
  uint32_t timeout_after;  // the read timeout left on the port
  bool closed = false;     // the line has no open port
};

std::vector<ReplyCase> Cases() {
  const std::string block = S + "007\r" + E;
  const std::string echo92 = "$T1" + std::string(88, 'x') + "\r";
  const std::string err13 = "ERROR 13" + E;
  return {
      {"echo, block and trailer",
       "$T1",
       "$T1\r" + S + "0021.5\r" + E + "\r\n" + E,
       0,
       S + "0021.5\r" + E,
       9,
       {},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"an echo naming another gate warns at the STX; the block is still accepted",
       "$T1",
       "$X9\r" + block + E,
       0,
       block,
       6,
       {{8, WrongEcho("$X9\r", "$T1")}},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"an empty gate name compares nothing",
       "",
       "$X9\r" + block + E,
       0,
       block,
       6,
       {},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"two STX: the second restarts the store and sees the first at index 0",
       "$T1",
       "$T1\r" + S + "AB" + S + "CD" + E + E,
       0,
       S + "CD" + E,
       4,
       {{8, WrongEcho(S + "AB\r", "$T1")}},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"no STX before the ETX: everything from the start is the block",
       "$T1",
       "$T1 21" + E + E,
       0,
       "$T1 21" + E,
       7,
       {},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"three rejected blocks, stored one behind the other",
       "$T1",
       err13 + err13 + err13,
       2,
       err13 + err13 + err13,
       27,
       {{32, Rejected(err13)},
        {8, WrongResponse(err13)},
        {32, Rejected(err13 + err13)},
        {8, WrongResponse(err13 + err13)},
        {32, Rejected(err13 + err13 + err13)},
        {8, WrongResponse(err13 + err13 + err13)},
        {32, "QELPRV: ReadReply() Maximum retry count reached."}},
       {kReply, kReply, kReply},
       {},
       kReply},
      {"a rejected block, then silence: no retry-count message",
       "$T1",
       err13,
       2,
       err13,
       9,
       {{32, Rejected(err13)}, {8, WrongResponse(err13)}, kRecv, kRecv, kRecv, kCharFail},
       {kReply, kReply},
       {50, 50},
       kReply},
      {"a rejected block, then the right answer read on without a new request",
       "$T1",
       "ERROR 1" + E + "$T1\r" + block + E,
       0,
       block + "1" + E + "$T1\r",
       6,
       {{32, Rejected("ERROR 1" + E)},
        {8, WrongResponse("ERROR 1" + E)},
        {8, WrongEcho("ERROR 1" + E + "$T1\r", "$T1")}},
       {kReply, kReply, kTrailer, kReply},
       {},
       kReply},
      {"ETX as the 98th character: the 99th, in the trailer, ends the call",
       "$T1",
       echo92 + block + "\r\n" + E,
       2,
       block + std::string(85, 'x') + "\r",
       6,
       {{32, "QELPRV: ReadReply() 99 bytes read and ETX not found!"}},
       {kReply, kTrailer},
       {},
       kTrailer},
      {"the 99th character before any ETX: result 1, silent, nothing stored of it",
       "$T1",
       "$T1" + std::string(120, 'x'),
       1,
       "$T1" + std::string(95, 'x'),
       0,
       {},
       {kReply},
       {},
       kReply},
      {"the 99th character after a rejected block keeps the count of its ETX",
       "$T1",
       "ERROR 5" + E + std::string(95, 'x'),
       1,
       "ERROR 5" + E + std::string(90, 'x'),
       8,
       {{32, Rejected("ERROR 5" + E)}, {8, WrongResponse("ERROR 5" + E)}},
       {kReply, kReply},
       {},
       kReply},
      {"no trailer: three tries under the trailer timeout, the block kept",
       "$T1",
       "$T1\r" + block,
       2,
       block,
       6,
       {kRecv, kRecv, kRecv, kCharFail},
       {kReply, kTrailer},
       {50, 50},
       kTrailer},
      {"a NUL is stored like any other character; the messages end there",
       "$T1",
       "$X" + NUL + "Y\r" + S + "00" + NUL + "5\r" + E + E,
       0,
       S + "00" + NUL + "5\r" + E,
       7,
       {{8, WrongEcho("$X", "$T1")}},
       {kReply, kTrailer, kReply},
       {},
       kReply},
      {"a closed line: three tries of the first character",
       "$T1",
       "",
       2,
       "",
       0,
       {kRecv, kRecv, kRecv, kCharFail},
       {},
       {50, 50},
       0,
       true},
  };
}

TEST(ReadReplyTest, Answers) {
  for (const ReplyCase& c : Cases()) {
    SCOPED_TRACE(c.label);
    GateLine fx(50, 7);
    if (c.closed) fx.work.port_handle = 0;
    GateTransfer gate{};
    gate.name = c.gate.c_str();
    DriverRequest request{&fx.work, kCmdSingleRead, kLine, 0, &gate};
    if (!c.input.empty()) fx.line.Send(fx.port, c.input);

    char reply[kReplyBufferSize] = {};
    uint16_t length = 77;
    EXPECT_EQ(ReadReply(&request, reply, &length), c.result);

    std::string expected = c.buffer;
    expected.resize(kReplyBufferSize, '\0');
    EXPECT_EQ(Visible(std::string(reply, kReplyBufferSize)), Visible(expected));
    EXPECT_EQ(length, c.length);
    const std::vector<LogLine> log = test::LoggedLines();
    ASSERT_EQ(log.size(), c.log.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
      EXPECT_EQ(log[i].level, c.log[i].level) << i;
      EXPECT_EQ(Visible(log[i].text), Visible(c.log[i].text)) << i;
    }
    EXPECT_EQ(fx.TimeoutRequests(), c.timeouts);
    EXPECT_EQ(fx.line.Sleeps(), c.sleeps);
    if (!c.closed) {
      EXPECT_EQ(fx.TimeoutNow(), c.timeout_after);
    }
    EXPECT_TRUE(fx.line.CallsOf(test::Op::kWrite).empty()) << "the reader sends nothing";
  }
}

TEST(ReadReplyTest, ReadsOneCharacterAtATimeAndStopsAtTheNinetyNinth) {
  GateLine fx(50, 7);
  GateTransfer gate{};
  gate.name = "$T1";
  DriverRequest request{&fx.work, kCmdSingleRead, kLine, 0, &gate};
  fx.line.Send(fx.port, std::string(150, 'x'));
  char reply[kReplyBufferSize] = {};
  uint16_t length = 0;
  EXPECT_EQ(ReadReply(&request, reply, &length), kReplyTooLong);
  const std::vector<test::Call> reads = fx.line.CallsOf(test::Op::kRead);
  ASSERT_EQ(reads.size(), 99u);
  for (const test::Call& r : reads) EXPECT_EQ(r.count, 1u);
}

TEST(ReadReplyTest, AMissingTrailerCostsThreeTrailerTimeoutsAndTwoPauses) {
  GateLine fx(50, 7);
  GateTransfer gate{};
  gate.name = "$T1";
  DriverRequest request{&fx.work, kCmdSingleRead, kLine, 0, &gate};
  fx.line.Send(fx.port, "$T1\r" + S + "007\r" + E);
  char reply[kReplyBufferSize] = {};
  uint16_t length = 0;
  const int64_t start = fx.line.Now();
  EXPECT_EQ(ReadReply(&request, reply, &length), kReplyFailed);
  const std::vector<uint32_t> under = fx.ReadTimeouts();
  ASSERT_EQ(under.size(), 13u);  // 10 characters of the answer, 3 tries of the trailer
  EXPECT_EQ(std::vector<uint32_t>(under.end() - 3, under.end()),
            (std::vector<uint32_t>{kTrailer, kTrailer, kTrailer}));
  EXPECT_GE(fx.line.Now() - start, 3 * int64_t{kTrailer} + 2 * 50);
}

TEST(ReadReplyTest, TakesTheTrailerTimeoutWhenTheTrailerBegins) {
  GateLine fx(50, 7);
  GateTransfer gate{};
  gate.name = "$T1";
  DriverRequest request{&fx.work, kCmdSingleRead, kLine, 0, &gate};
  char reply[kReplyBufferSize] = {};
  uint16_t length = 0;
  SetTrailerTimeout(23);
  fx.line.Send(fx.port, "$T1\r" + S + "007\r" + E + E);
  EXPECT_EQ(ReadReply(&request, reply, &length), kReplyAccepted);
  EXPECT_EQ(fx.TimeoutRequests(), (std::vector<uint32_t>{kReply, 230, kReply}));
}

}  // namespace
}  // namespace qel
