// Gate reads and writes on the fake line, against a scripted controller that answers each request
// with its echo, a data block and, when told, a trailer; and the refused block transfers.
#include "driver/gate/transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/gate_line.h"

namespace qel {
namespace {

using test::GateLine;
using test::LogLine;
using test::Op;
using test::Visible;

const std::string S = "\x02";
const std::string E = "\x03";
constexpr int32_t kLine = 65537;  // shown as 1 in the messages
constexpr uint32_t kPause = 250;  // the post-transaction pause the host set

// One answer of the controller: nothing, or the echo of the request and a data block, with or
// without a trailer.
struct Turn {
  bool silent = true;
  std::string block;
  bool trailer = false;
};
Turn Silent() {
  return {};
}
Turn Block(const std::string& payload, bool trailer = true) {
  return {false, S + "00" + payload + "\r" + E, trailer};
}
Turn RawBlock(const std::string& block, bool trailer = true) {
  return {false, block, trailer};
}

const LogLine kRecv{32, test::kRecvFailed};
const LogLine kCharFail{32, test::kCharacterFailed};
// What a missing character logs: three failed tries, then the reader's message.
std::vector<LogLine> Missing() {
  return {kRecv, kRecv, kRecv, kCharFail};
}
LogLine Checked(const std::string& copy) {
  return {32, "QELPRV1: CheckResponseData() Error: Tag $T1, " + copy};
}

class GateTransferTest : public ::testing::Test {
 protected:
  GateTransferTest() : fx_(50, 10, kPause) {
    gate_.name = "$T1";
    std::memcpy(value_, kBefore, sizeof value_);
    gate_.value = value_;
  }

  void Script(std::vector<Turn> turns) {
    auto queue = std::make_shared<std::vector<Turn>>(std::move(turns));
    auto next = std::make_shared<std::size_t>(0);
    fx_.line.SetController(
        [queue, next](test::FakeLine& line, test::Handle h, const std::string& written) {
          if (*next >= queue->size()) return;
          const Turn& t = (*queue)[(*next)++];
          if (t.silent) return;
          line.Send(h, written + t.block + (t.trailer ? "\r\n" + E : ""));
        });
  }

  int32_t Run(int32_t command, int32_t type) {
    gate_.type = type;
    DriverRequest request{&fx_.work, command, kLine, 0, &gate_};
    return command == kCmdSingleRead ? SingleRead(&request) : SingleWrite(&request);
  }

  void SetFloat(float f) { std::memcpy(value_, &f, sizeof f); }
  void SetWord(uint16_t w) {
    value_[2] = static_cast<unsigned char>(w & 0xFF);
    value_[3] = static_cast<unsigned char>(w >> 8);
  }
  float Float() const {
    float f;
    std::memcpy(&f, value_, sizeof f);
    return f;
  }
  bool Untouched() const { return std::memcmp(value_, kBefore, sizeof value_) == 0; }

  // Writes, pauses and drains in order: "W" a request, "D" a drain, "s<ms>" a pause.
  std::string Trace() const {
    std::string out;
    for (const test::Call& c : fx_.line.Calls()) {
      if (c.op == Op::kWrite) out += "W ";
      if (c.op == Op::kRead && c.count == 500) out += "D ";
      if (c.op == Op::kSleep) out += "s" + std::to_string(c.count) + " ";
    }
    return out;
  }

  void ExpectLog(const std::vector<LogLine>& expected) const {
    const std::vector<LogLine> log = test::LoggedLines();
    ASSERT_EQ(log.size(), expected.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
      EXPECT_EQ(log[i].level, expected[i].level) << i;
      EXPECT_EQ(Visible(log[i].text), Visible(expected[i].text)) << i;
    }
  }

  // Every read and write ends with the post-transaction pause.
  void ExpectEndsWithPause() const {
    ASSERT_FALSE(fx_.line.Calls().empty());
    EXPECT_EQ(fx_.line.Calls().back().op, Op::kSleep);
    EXPECT_EQ(fx_.line.Calls().back().count, kPause);
  }

  static constexpr unsigned char kBefore[4] = {0xA1, 0xB2, 0xC3, 0xD4};
  GateLine fx_;
  GateTransfer gate_{};
  unsigned char value_[4];
};

TEST_F(GateTransferTest, AFirstTimeReadSendsOneRequestAndStoresTheValue) {
  Script({Block("21.5")});
  EXPECT_EQ(Run(kCmdSingleRead, kTypeFloat), kOk);
  EXPECT_EQ(fx_.Requests(), std::vector<std::string>{"$T1\r"});
  EXPECT_EQ(Float(), 21.5f);
  EXPECT_EQ(Trace(), "W s250 ");  // no repeat pause, no drain
  ExpectLog({});
  ExpectEndsWithPause();
}

// What is already waiting when a read or write begins (the answer to an earlier request that the
// driver gave up on) is thrown away before the request goes out, never taken for its answer.
TEST_F(GateTransferTest, InputWaitingBeforeTheRequestIsThrownAway) {
  for (int32_t command : {kCmdSingleRead, kCmdSingleWrite}) {
    test::ClearLog();
    fx_.line.ClearCalls();
    SetFloat(1.0f);
    fx_.line.Send(fx_.line.LastHandle(), "$SP\r" + S + "0099.5\r" + E + "\r\n" + E);
    Script({Block(command == kCmdSingleRead ? "21.5" : "1.00")});
    EXPECT_EQ(Run(command, kTypeFloat), kOk) << command;
    if (command == kCmdSingleRead) {
      EXPECT_EQ(Float(), 21.5f);
    }
    ASSERT_FALSE(fx_.line.CallsOf(Op::kPurge).empty());
    EXPECT_EQ(fx_.line.CallsOf(Op::kPurge).front().data.substr(0, 4), "$SP\r");
    ExpectLog({});  // no warning about an echo of another gate
  }
}

TEST_F(GateTransferTest, AReadWithoutAnswerTriesFiveTimesAndLeavesTheValueAlone) {
  Script({});
  EXPECT_EQ(Run(kCmdSingleRead, kTypeFloat), kFailed);
  EXPECT_EQ(fx_.Requests(), std::vector<std::string>(5, "$T1\r"));
  // Each attempt loses its first character (two pauses between three tries); the pause and the
  // drain come before every repeated request.
  EXPECT_EQ(Trace(),
            "W s50 s50 "
            "s50 D W s50 s50 "
            "s50 D W s50 s50 "
            "s50 D W s50 s50 "
            "s50 D W s50 s50 "
            "s250 ");
  std::vector<LogLine> expected;
  for (int i = 0; i < 5; ++i) {
    for (const LogLine& l : Missing()) expected.push_back(l);
  }
  expected.push_back({32, "QELPRV: SingleRead() Tag $T1: Read failed. rc = 2 "});
  ExpectLog(expected);
  EXPECT_TRUE(Untouched());
  ExpectEndsWithPause();
}

TEST_F(GateTransferTest, AReadTriesAgainUntilAnAnswerIsAccepted) {
  Script({Silent(), Block("7", false), Block("8")});
  EXPECT_EQ(Run(kCmdSingleRead, kTypeWord), kOk);
  EXPECT_EQ(fx_.Requests().size(), 3u);
  EXPECT_EQ(value_[2], 8);
  EXPECT_EQ(value_[3], 0);
  EXPECT_EQ(Trace(), "W s50 s50 s50 D W s50 s50 s50 D W s250 ");
  ExpectEndsWithPause();
}

struct ValueCase {
  int32_t type;
  Turn answer;
  int32_t result;
  std::vector<unsigned char> value;  // the value area afterwards
};

std::vector<unsigned char> FloatBytes(float f) {
  unsigned char b[4];
  std::memcpy(b, &f, 4);
  return {b[0], b[1], b[2], b[3]};
}
std::vector<unsigned char> WordBytes(uint16_t w) {
  return {0xA1, 0xB2, static_cast<unsigned char>(w & 0xFF), static_cast<unsigned char>(w >> 8)};
}
const std::vector<unsigned char> kUntouched{0xA1, 0xB2, 0xC3, 0xD4};

TEST_F(GateTransferTest, ValueTexts) {
  const float kInf = std::numeric_limits<float>::infinity();
  const ValueCase cases[] = {
      {kTypeFloat, Block("21.5"), kOk, FloatBytes(21.5f)},
      {kTypeFloat, Block("-1"), kOk, FloatBytes(-1.0f)},
      {kTypeFloat, Block("70000"), kOk, FloatBytes(70000.0f)},
      {kTypeFloat, Block("12.7"), kOk, FloatBytes(12.7f)},
      {kTypeFloat, Block(" +2.5e-1xyz"), kOk, FloatBytes(0.25f)},
      {kTypeFloat, Block("0.1"), kOk, FloatBytes(static_cast<float>(0.1))},
      {kTypeFloat, Block("1e39"), kOk, FloatBytes(kInf)},
      {kTypeFloat, Block("-1e-50"), kOk, FloatBytes(-0.0f)},
      {kTypeFloat, RawBlock(S + "0012" + E), kOk, FloatBytes(12.0f)},  // no CR before the ETX
      {kTypeWord, Block("21.5"), kOk, WordBytes(21)},
      {kTypeWord, Block("-1"), kOk, WordBytes(0xFFFF)},
      {kTypeWord, Block("70000"), kOk, WordBytes(4464)},
      {kTypeWord, Block("12.7"), kOk, WordBytes(12)},
      {kTypeWord, Block(" +42abc"), kOk, WordBytes(42)},
      {kTypeWord, Block("-65535"), kOk, WordBytes(1)},
      {5, Block("12"), kOk, kUntouched},  // other types: the exchange, nothing stored
      // No number in the value text: the attempt counts as unanswered.
      {kTypeFloat, Block("abc"), kFailed, kUntouched},
      {kTypeFloat, Block("-.e5"), kFailed, kUntouched},
      {kTypeWord, Block("abc"), kFailed, kUntouched},
      {kTypeWord, Block(""), kFailed, kUntouched},
      {kTypeWord, RawBlock(S + "0" + E), kFailed, kUntouched},  // three characters
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + " block " + Visible(c.answer.block));
    std::memcpy(value_, kBefore, sizeof value_);
    fx_.line.ClearCalls();
    test::ClearLog();
    Script(std::vector<Turn>(5, c.answer));
    EXPECT_EQ(Run(kCmdSingleRead, c.type), c.result);
    EXPECT_EQ(std::vector<unsigned char>(value_, value_ + 4), c.value);
    EXPECT_EQ(fx_.Requests().size(), c.result == kOk ? 1u : 5u);
    if (c.result == kOk) {
      ExpectLog({});
    } else {
      ASSERT_FALSE(test::LoggedLines().empty());
      EXPECT_EQ(test::LoggedLines().back(),
                (LogLine{32, "QELPRV: SingleRead() Tag $T1: Read failed. rc = 2 "}));
    }
    ExpectEndsWithPause();
  }
}

TEST_F(GateTransferTest, AReadAnsweredWithAnErrorReportStoresNothingAndStops) {
  const std::pair<std::string, std::string> cases[] = {
      {"ERROR 13", "Invalid Gate Name"},
      {"ERROR 82", "Read Only / Write Only gate"},
      {"ERROR -1", "QELPRV: Illegal header in PLC Response"},
      {"ERROR 7", "ERROR 7"},
      {"ERROR", "ERROR 0"},
  };
  for (const auto& [report, text] : cases) {
    SCOPED_TRACE(report);
    std::memcpy(value_, kBefore, sizeof value_);
    fx_.line.ClearCalls();
    test::ClearLog();
    Script({Block(report), Block("21.5")});
    EXPECT_EQ(Run(kCmdSingleRead, kTypeFloat), kRefused);
    EXPECT_EQ(fx_.Requests().size(), 1u);
    EXPECT_TRUE(Untouched());
    ExpectLog({Checked(report),
               {32, "QELPRV: SingleRead() Tag $T1: Read failed. rc = 1 "},
               {32, "QELPRV: Tag $T1: " + text}});
    EXPECT_EQ(Trace(), "W s250 ");
  }
}

struct RequestCase {
  const char* name;
  int32_t type;
  float f;     // type 3
  uint16_t w;  // type 6
  std::string request;
};

TEST_F(GateTransferTest, WriteRequestTexts) {
  const std::string name31 = "$" + std::string(30, 'N');
  const RequestCase cases[] = {
      {"$T1", kTypeWord, 0, 65535, "$T1=65535\r"},
      {"$T1", kTypeWord, 0, 0, "$T1=0\r"},
      {"$T1", 0x10006, 0, 42, "$T1=42\r"},  // only the low 16 bits of the type count
      {"$T1", kTypeFloat, 21.5f, 0, "$T1=21.500000\r"},
      {"$T1", kTypeFloat, -2.5f, 0, "$T1=-2.500000\r"},
      {"$T1", kTypeFloat, 0.1f, 0, "$T1=0.100000\r"},
      {"$T1", kTypeFloat, -0.0f, 0, "$T1=-0.000000\r"},
      {"$T1", kTypeFloat, 1e-7f, 0, "$T1=0.000000\r"},
      {"$T1", kTypeFloat, 1e9f, 0, "$T1=1000000000.000000\r"},
      {name31.c_str(), kTypeFloat, 1e8f, 0, name31 + "=100000000.000000\r"},  // 49 characters
      {"$", kTypeFloat, std::numeric_limits<float>::max(), 0,
       "$=340282346638528859811704183484516925440.000000\r"},  // 49 characters
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.request);
    fx_.line.ClearCalls();
    test::ClearLog();
    gate_.name = c.name;
    std::memcpy(value_, kBefore, sizeof value_);
    if (c.type == kTypeFloat) {
      SetFloat(c.f);
    } else {
      SetWord(c.w);
    }
    unsigned char before[4];
    std::memcpy(before, value_, 4);
    Script({Block("ok", false)});
    EXPECT_EQ(Run(kCmdSingleWrite, c.type), kOk);
    EXPECT_EQ(fx_.Requests(), std::vector<std::string>{c.request});
    EXPECT_EQ(std::memcmp(value_, before, 4), 0) << "a write only reads the value area";
  }
}

struct WriteCase {
  const char* label;
  std::vector<Turn> turns;
  int32_t result;
  std::size_t requests;
  std::vector<LogLine> log;
};

std::vector<LogLine> Join(std::initializer_list<std::vector<LogLine>> parts) {
  std::vector<LogLine> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
std::vector<LogLine> Times(int n, const std::vector<LogLine>& lines) {
  std::vector<LogLine> out;
  for (int i = 0; i < n; ++i) out.insert(out.end(), lines.begin(), lines.end());
  return out;
}

TEST_F(GateTransferTest, WriteEndings) {
  const LogLine failed1{32, "QELPRV: Tag $T1: Write failed. rc = 1 "};
  const LogLine failed2{32, "QELPRV: Tag $T1: Write failed. rc = 2 "};
  const LogLine illegal{32, "QELPRV: Tag $T1: Illegal Value"};
  const WriteCase cases[] = {
      {"a silent line: unanswered five times", std::vector<Turn>(5, Silent()), kFailed, 5,
       Join({Times(5, Missing()), {failed2}})},
      {"an accepted answer with its trailer confirms at once", {Block("21.50")}, kOk, 1, {}},
      {"an accepted answer without a trailer confirms at once",
       {Block("21.50", false)},
       kOk,
       1,
       Missing()},
      {"error reports with trailers", std::vector<Turn>(5, Block("ERROR 26")), kRefused, 5,
       Join({Times(5, {Checked("ERROR 26")}), {failed1, illegal}})},
      {"error reports without trailers", std::vector<Turn>(5, Block("ERROR 26", false)), kRefused,
       5, Join({Times(5, Join({Missing(), {Checked("ERROR 26")}})), {failed1, illegal}})},
      {"an error report, then an accepted answer",
       {Block("ERROR 26"), Block("21.50")},
       kOk,
       2,
       {Checked("ERROR 26")}},
      {"silence, then an accepted answer", {Silent(), Block("21.50")}, kOk, 2, Missing()},
      {"an error report, then silence: the report's result stays",
       {Block("ERROR 13"), Silent(), Silent(), Silent(), Silent()},
       kRefused,
       5,
       Join({{Checked("ERROR 13")},
             Times(4, Missing()),
             {failed1, {32, "QELPRV: Tag $T1: Invalid Gate Name"}}})},
      {"a report whose number comes out 0 is no error",
       {Block("ERROR 0")},
       kOk,
       1,
       {Checked("ERROR 0")}},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.label);
    fx_.line.ClearCalls();
    test::ClearLog();
    SetFloat(21.5f);
    Script(c.turns);
    EXPECT_EQ(Run(kCmdSingleWrite, kTypeFloat), c.result);
    EXPECT_EQ(fx_.Requests(), std::vector<std::string>(c.requests, "$T1=21.500000\r"));
    ExpectLog(c.log);
    // Attempts follow one another with no pause and no drain of their own.
    for (const test::Call& call : fx_.line.CallsOf(Op::kRead)) EXPECT_EQ(call.count, 1u);
    const std::vector<uint32_t> sleeps = fx_.line.Sleeps();
    for (std::size_t i = 0; i + 1 < sleeps.size(); ++i) EXPECT_EQ(sleeps[i], 50u);
    ExpectEndsWithPause();
  }
}

struct RefusalCase {
  const char* label;
  int32_t command;
  bool no_gate = false;
  bool no_name = false;
  bool long_name = false;
  bool no_work = false;
  bool no_value = false;
  int32_t type = kTypeFloat;
  float f = 1.0f;
  const char* name = "$T1";
  std::string message;
};

TEST_F(GateTransferTest, BadInputIsRefused) {
  // 32 characters and no terminator within them: nothing past the 32nd byte is read.
  std::unique_ptr<char[]> name32(new char[32]);
  std::memset(name32.get(), 'L', 32);
  name32[0] = '$';
  const std::string shown31 = "$" + std::string(30, 'L');
  const std::string name31 = "$" + std::string(30, 'N');
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  const RefusalCase cases[] = {
      {.label = "read, no gate record",
       .command = kCmdSingleRead,
       .no_gate = true,
       .message = "QELPRV: SingleRead() refused: no gate record"},
      {.label = "read, no name",
       .command = kCmdSingleRead,
       .no_name = true,
       .message = "QELPRV: SingleRead() refused: no gate name"},
      {.label = "read, long name",
       .command = kCmdSingleRead,
       .long_name = true,
       .message = "QELPRV: SingleRead() Tag " + shown31 +
                  "...: refused: name longer than 31 "
                  "characters"},
      {.label = "read, no work area",
       .command = kCmdSingleRead,
       .no_work = true,
       .message = "QELPRV: SingleRead() Tag $T1: refused: no line work area"},
      {.label = "read, no value area",
       .command = kCmdSingleRead,
       .no_value = true,
       .message = "QELPRV: SingleRead() Tag $T1: refused: no value area"},
      {.label = "write, no gate record",
       .command = kCmdSingleWrite,
       .no_gate = true,
       .message = "QELPRV: SingleWrite() refused: no gate record"},
      {.label = "write, no name",
       .command = kCmdSingleWrite,
       .no_name = true,
       .message = "QELPRV: SingleWrite() refused: no gate name"},
      {.label = "write, long name",
       .command = kCmdSingleWrite,
       .long_name = true,
       .message = "QELPRV: SingleWrite() Tag " + shown31 +
                  "...: refused: name longer than 31 "
                  "characters"},
      {.label = "write, no work area",
       .command = kCmdSingleWrite,
       .no_work = true,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: no line work area"},
      {.label = "write, no value area",
       .command = kCmdSingleWrite,
       .no_value = true,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: no value area"},
      {.label = "write, type 5",
       .command = kCmdSingleWrite,
       .type = 5,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: gate type 5 cannot be written"},
      {.label = "write, type 0x10005",
       .command = kCmdSingleWrite,
       .type = 0x10005,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: gate type 65541 cannot be written"},
      {.label = "write, infinity",
       .command = kCmdSingleWrite,
       .f = kInf,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: the value is not a finite number"},
      {.label = "write, -infinity",
       .command = kCmdSingleWrite,
       .f = -kInf,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: the value is not a finite number"},
      {.label = "write, NaN",
       .command = kCmdSingleWrite,
       .f = kNan,
       .message = "QELPRV: SingleWrite() Tag $T1: refused: the value is not a finite number"},
      {.label = "write, 50 characters",
       .command = kCmdSingleWrite,
       .f = 1e9f,
       .name = name31.c_str(),
       .message = "QELPRV: SingleWrite() Tag " + name31 +
                  ": refused: the request text would be longer than 49 characters"},
      {.label = "write, -1e8 with 31 characters",
       .command = kCmdSingleWrite,
       .f = -1e8f,
       .name = name31.c_str(),
       .message = "QELPRV: SingleWrite() Tag " + name31 +
                  ": refused: the request text would be longer than 49 characters"},
      {.label = "write, the largest float",
       .command = kCmdSingleWrite,
       .f = std::numeric_limits<float>::max(),
       .message = "QELPRV: SingleWrite() Tag $T1: refused: the request text would be longer "
                  "than 49 characters"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.label);
    fx_.line.ClearCalls();
    test::ClearLog();
    Script({Block("21.5"), Block("21.5")});
    GateTransfer gate{};
    gate.name = c.no_name ? nullptr : c.long_name ? name32.get() : c.name;
    gate.type = c.type;
    gate.value = c.no_value ? nullptr : value_;
    std::memcpy(value_, kBefore, sizeof value_);
    SetFloat(c.f);
    unsigned char before[4];
    std::memcpy(before, value_, 4);
    DriverRequest request{c.no_work ? nullptr : &fx_.work, c.command, kLine, 0,
                          c.no_gate ? nullptr : &gate};
    const int32_t result =
        c.command == kCmdSingleRead ? SingleRead(&request) : SingleWrite(&request);
    EXPECT_EQ(result, kRefused);
    ExpectLog({{32, c.message}});
    EXPECT_TRUE(fx_.line.Calls().empty()) << "nothing sent, no pause";
    EXPECT_EQ(std::memcmp(value_, before, 4), 0);
  }
  EXPECT_EQ(SingleRead(nullptr), kRefused);
  EXPECT_EQ(SingleWrite(nullptr), kRefused);
}

TEST_F(GateTransferTest, BlockTransfersAreRefused) {
  std::unique_ptr<char[]> name32(new char[32]);
  std::memset(name32.get(), 'B', 32);
  struct Case {
    void* arg;
    const char* shown;
  };
  GateTransfer named{};
  named.name = "$T1";
  GateTransfer long_named{};
  long_named.name = name32.get();
  GateTransfer unnamed{};
  const std::string b31(31, 'B');
  const Case cases[] = {{&named, "$T1"}, {&long_named, b31.c_str()}, {&unnamed, ""}, {nullptr, ""}};
  for (const Case& c : cases) {
    test::ClearLog();
    fx_.line.ClearCalls();
    DriverRequest request{&fx_.work, kCmdBlockRead, kLine, 0, c.arg};
    EXPECT_EQ(BlockRead(&request), kRefused);
    request.command = kCmdBlockWrite;
    EXPECT_EQ(BlockWrite(&request), kRefused);
    ExpectLog({{32, std::string("QELPR: BlockRead() not supported! Tag '") + c.shown + "'"},
               {32, std::string("QELPR: BlockWrite() not supported! Tag '") + c.shown + "'"}});
    EXPECT_TRUE(fx_.line.Calls().empty()) << "no line use, no post-transaction pause";
  }
}

TEST(CopyToCRTest, StopsAtTheCountOrTheFirstCR) {
  struct Case {
    std::string source;
    uint16_t count;
    std::string copied;
  };
  const Case cases[] = {
      {"21.5\r\x03", 6, "21.5"},
      {"21.5", 2, "21"},
      {"\r12", 3, ""},
      {"", 0, ""},
      {std::string("ab\0cd", 5), 5, std::string("ab\0cd", 5)},
  };
  for (const Case& c : cases) {
    char out[16];
    std::memset(out, 0, sizeof out);
    CopyToCR(c.source.data(), c.count, out);
    std::string expected = c.copied;
    expected.resize(sizeof out, '\0');
    EXPECT_EQ(std::string(out, sizeof out), expected) << Visible(c.source);
  }
}

}  // namespace
}  // namespace qel
