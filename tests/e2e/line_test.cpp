// End to end on Linux: the built module, loaded with dlopen and driven only through QelMain,
// against the controller simulator on a real pseudo-terminal. The simulator is the independent
// witness: what it received and stored is checked beside what the host got back.
//
// The driver opens the line through a short symbolic link (/tmp/qeXXXX, 11 characters: the
// port name field holds no more), which the simulator points at its pty and re-points after a
// hang-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "prv2sim/fixture.h"
#include "tests/e2e/module_host.h"

namespace qel::e2e {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::Not;

constexpr char kPlaceholder[] = "/dev/null";

// A link name of 11 characters that nobody else uses: it is taken with a placeholder link
// (symlink() fails on an existing name), which the simulator then replaces.
std::string ReserveLinkPath() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = "/tmp/qe";
    for (int i = 0; i < 4; ++i) path += kChars[pick(random)];
    if (::symlink(kPlaceholder, path.c_str()) == 0) return path;
  }
  return {};
}

double SecondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadedModule::Get();
    ASSERT_NE(module_, nullptr);
    link_ = ReserveLinkPath();
    ASSERT_FALSE(link_.empty()) << "no free link name under /tmp";
    prv2sim::EngineOptions options;
    options.link = link_;
    sim_ = std::make_unique<prv2sim::InProcessSimulator>(std::move(options));
    line_ = std::make_unique<HostLine>(module_->qel_main());
  }

  void TearDown() override {
    if (line_ && line_->work.port_handle != 0) {
      EXPECT_EQ(line_->Stop(), kOk);
    }
    sim_.reset();  // removes its link
    char target[64] = {};
    if (!link_.empty() && ::readlink(link_.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target) == kPlaceholder) {
      ::unlink(link_.c_str());
    }
  }

  // Starts line 1 on the simulator's link and forgets the start-up's log lines.
  void StartLine(int32_t reply_ticks = 100) {
    ASSERT_EQ(line_->Start(link_, reply_ticks), kOk);
    ASSERT_NE(line_->work.port_handle, 0u);
    module_->ClearLog();
  }

  std::vector<LogLine> Log() const { return module_->Log(); }

  // How many log lines are exactly this text at this level.
  std::size_t CountLines(int level, const std::string& text) const {
    std::size_t n = 0;
    for (const LogLine& l : Log()) n += l.level == level && l.text == text ? 1 : 0;
    return n;
  }

  // The request texts the simulator received, in order.
  std::vector<std::string> Requests() const {
    std::vector<std::string> out;
    for (const auto& e : sim_->trace()) {
      if (e.direction == prv2sim::Direction::Rx) out.push_back(e.bytes);
    }
    return out;
  }

  double SimValue(const char* gate) const {
    const auto g = sim_->gate(gate);
    EXPECT_TRUE(g.has_value()) << gate;
    return g ? g->value : -1.0;
  }

  LoadedModule* module_ = nullptr;
  std::string link_;
  std::unique_ptr<prv2sim::InProcessSimulator> sim_;
  std::unique_ptr<HostLine> line_;
};

// ---------------------------------------------------------------------------------------------
// The main job: start a line, define gates, read them, write them, read back what was written.

TEST_F(E2eTest, StartDefineReadWriteAndReadBack) {
  ASSERT_EQ(line_->Start(link_, 100), kOk);
  EXPECT_NE(line_->work.port_handle, 0u);
  EXPECT_THAT(Log(), Contains(LogLine{32, "QELPRV: Landis&Stafea Driver loaded successfully."}));

  GateDefinition sp{};
  GateDefinition vlv{};
  EXPECT_EQ(line_->Define("$sp", kTypeFloat, &sp), kOk);
  EXPECT_EQ(sp.bits, 32);
  EXPECT_EQ(line_->Define("@VLV", kTypeWord, &vlv), kOk);
  EXPECT_EQ(vlv.bits, 16);
  EXPECT_EQ(line_->Define("VLV", kTypeWord), kRefused);

  // The built-in plant: setpoint 21.0, valve 35, run hours from 1200 upwards.
  ValueArea value = ValueArea::Float(-1.0f);
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
  value = ValueArea::Word(0);
  EXPECT_EQ(line_->Read("@VLV", kTypeWord, &value), kOk);
  EXPECT_EQ(value.AsWord(), 35);
  EXPECT_EQ(value.bytes[0], 0xA5);  // bytes 0 and 1 of a word's area stay the host's
  EXPECT_EQ(value.bytes[1], 0x5A);
  value = ValueArea::Word(0);
  EXPECT_EQ(line_->Read("@HRS", kTypeWord, &value), kOk);
  EXPECT_GE(value.AsWord(), 1200);
  EXPECT_THAT(Requests(), ElementsAre("$SP\r", "@VLV\r", "@HRS\r"));

  struct Case {
    const char* gate;
    int32_t type;
    double value;
    const char* request;  // what the controller must receive
  };
  const Case cases[] = {
      {"$SP", kTypeFloat, 22.5, "$SP=22.500000\r"}, {"$SP", kTypeFloat, -2.5, "$SP=-2.500000\r"},
      {"@VLV", kTypeWord, 70, "@VLV=70\r"},         {"@VLV", kTypeWord, 65535, "@VLV=65535\r"},
      {"@FAN", kTypeWord, 0, "@FAN=0\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    sim_->clear_trace();
    const ValueArea written = c.type == kTypeFloat
                                  ? ValueArea::Float(static_cast<float>(c.value))
                                  : ValueArea::Word(static_cast<uint16_t>(c.value));
    EXPECT_EQ(line_->Write(c.gate, c.type, written), kOk);
    EXPECT_THAT(Requests(), ElementsAre(c.request));  // one request: the block confirmed it
    EXPECT_DOUBLE_EQ(SimValue(c.gate), c.value);

    ValueArea back = c.type == kTypeFloat ? ValueArea::Float(12345.0f) : ValueArea::Word(1);
    EXPECT_EQ(line_->Read(c.gate, c.type, &back), kOk);
    EXPECT_EQ(back, written);
  }
  EXPECT_THAT(Log(), Not(Contains(Field(&LogLine::text, ::testing::HasSubstr("failed. rc")))));

  EXPECT_EQ(line_->Stop(), kOk);
  EXPECT_EQ(line_->work.port_handle, 0u);
}

// ---------------------------------------------------------------------------------------------
// The controller's own error reports: result 1, the failure line, then the error's text.

struct Rejection {
  const char* label;
  bool write;
  const char* gate;
  int32_t type;
  int number;
  const char* text;
  std::size_t requests;  // a read takes the report as final; a write asks five times
};

void PrintTo(const Rejection& r, std::ostream* os) {
  *os << r.label;
}

class ControllerRejectionTest : public E2eTest, public ::testing::WithParamInterface<Rejection> {};

TEST_P(ControllerRejectionTest, EndsWithResultOneAndTheErrorText) {
  const Rejection& r = GetParam();
  StartLine();
  const auto before = sim_->gate(r.gate);
  ValueArea value = r.type == kTypeFloat ? ValueArea::Float(7.25f) : ValueArea::Word(7);
  const ValueArea original = value;

  const int rc =
      r.write ? line_->Write(r.gate, r.type, value) : line_->Read(r.gate, r.type, &value);
  EXPECT_EQ(rc, kRefused);
  EXPECT_EQ(value, original);  // nothing stored
  EXPECT_EQ(Requests().size(), r.requests);

  const std::string gate = r.gate;
  const std::string failure = r.write
                                  ? "QELPRV: Tag " + gate + ": Write failed. rc = 1 "
                                  : "QELPRV: SingleRead() Tag " + gate + ": Read failed. rc = 1 ";
  const auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], (LogLine{32, failure}));
  EXPECT_EQ(log.back(), (LogLine{32, "QELPRV: Tag " + gate + ": " + r.text}));
  EXPECT_EQ(CountLines(32, "QELPRV1: CheckResponseData() Error: Tag " + gate + ", ERROR " +
                               std::to_string(r.number)),
            r.requests);

  // The controller changed nothing.
  EXPECT_EQ(sim_->counters().writes, 0u);
  if (before) {
    EXPECT_EQ(sim_->gate(r.gate)->writes, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    E2e, ControllerRejectionTest,
    ::testing::Values(
        Rejection{"ReadOfAnUnknownGate", false, "$NONE", kTypeFloat, 13, "Invalid Gate Name", 1},
        Rejection{"WriteOfAnUnknownGate", true, "$NONE", kTypeFloat, 13, "Invalid Gate Name", 5},
        Rejection{"WriteOfAReadOnlyGate", true, "@HRS", kTypeWord, 82,
                  "Read Only / Write Only gate", 5},
        Rejection{"ReadOfAWriteOnlyGate", false, "@RST", kTypeWord, 82,
                  "Read Only / Write Only gate", 1}),
    [](const ::testing::TestParamInfo<Rejection>& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------------------------
// Line faults.

TEST_F(E2eTest, WrongEchoWarnsAndTheValueIsStillTaken) {
  StartLine();
  sim_->set_faults("echo@1-2");

  ValueArea value = ValueArea::Float(0.0f);
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
  EXPECT_THAT(Log(), Contains(LogLine{8,
                                      "QELPRV: CheckResponseData() The response (?SP\r) is not "
                                      "regarding the tag read ($SP)"}));

  module_->ClearLog();
  EXPECT_EQ(line_->Write("$SP", kTypeFloat, ValueArea::Float(23.5f)), kOk);
  EXPECT_DOUBLE_EQ(SimValue("$SP"), 23.5);
  EXPECT_THAT(Log(), Contains(LogLine{8,
                                      "QELPRV: CheckResponseData() The response (?SP=23.500000\r) "
                                      "is not regarding the tag read ($SP)"}));
  EXPECT_EQ(sim_->counters().injected_of(prv2sim::FaultKind::Echo), 2u);
  EXPECT_EQ(Requests().size(), 2u);  // neither was asked again
}

TEST_F(E2eTest, ReadWithoutTrailerIsAskedAgain) {
  StartLine();
  sim_->set_faults("notrailer@1");
  ValueArea value = ValueArea::Float(0.0f);
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
  EXPECT_THAT(Requests(), ElementsAre("$SP\r", "$SP\r"));
  EXPECT_THAT(Log(), Contains(LogLine{32,
                                      "QELPRV: ReadReply() Failed to read a character from PLC "
                                      "(Returning Recovery Error)"}));
  EXPECT_EQ(CountLines(32, "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 "), 0u);
}

TEST_F(E2eTest, ReadThatNeverGetsATrailerFails) {
  StartLine();
  sim_->set_faults("notrailer");
  ValueArea value = ValueArea::Float(-7.0f);
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kFailed);
  EXPECT_FLOAT_EQ(value.AsFloat(), -7.0f);  // the value area is untouched
  EXPECT_EQ(Requests().size(), 5u);
  EXPECT_EQ(Log().back(), (LogLine{32, "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 "}));
}

TEST_F(E2eTest, WriteIsConfirmedByItsBlockWithOrWithoutTrailer) {
  StartLine();
  for (const bool trailer : {false, true}) {
    SCOPED_TRACE(trailer ? "trailer after writes" : "no trailer after writes");
    auto config = sim_->controller_config();
    config.trailer_after_write = trailer;
    sim_->set_controller_config(config);
    sim_->clear_trace();
    const float v = trailer ? 24.0f : 19.5f;
    EXPECT_EQ(line_->Write("$SP", kTypeFloat, ValueArea::Float(v)), kOk);
    EXPECT_EQ(Requests().size(), 1u);
    EXPECT_DOUBLE_EQ(SimValue("$SP"), v);
  }
}

// A controller that takes 300 ms to answer is well inside a reply timeout of 100 ticks (1 s):
// the first request must get its answer, with no failed try on the way (a tty's read returns 0
// at once when nothing has arrived; that must not be taken for a hang-up).
TEST_F(E2eTest, AnswerWithinTheReplyTimeoutIsWaitedFor) {
  StartLine(100);
  sim_->set_faults("delay:ms=300@1");
  ValueArea value = ValueArea::Float(-7.0f);
  const auto start = steady_clock::now();
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_GE(SecondsSince(start), 0.3);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
  EXPECT_THAT(Requests(), ElementsAre("$SP\r"));  // asked once, answered once
  EXPECT_THAT(Log(), Not(Contains(Field(&LogLine::text, ::testing::HasSubstr("RecvString")))));
}

// A silent controller costs five attempts of three tries of the reply timeout each: with the
// reply timeout cut to 5 ticks by PortUpdate the failure comes in about two seconds (with the
// 100 ticks of the start-up it would take over fifteen).
TEST_F(E2eTest, SilenceFailsWithinAShortReplyTimeoutSetByPortUpdate) {
  StartLine(100);
  ASSERT_EQ(line_->Close(), kOk);
  ASSERT_EQ(line_->Update(link_, 5), kOk);
  EXPECT_EQ(line_->work.reply_timeout, 5);
  ASSERT_NE(line_->work.port_handle, 0u);
  sim_->set_faults("silence");

  ValueArea value = ValueArea::Float(-7.0f);
  auto start = steady_clock::now();
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kFailed);
  double took = SecondsSince(start);
  EXPECT_GE(took, 0.6);  // the pauses between tries and attempts alone take 0.7 s
  EXPECT_LT(took, 8.0);
  EXPECT_FLOAT_EQ(value.AsFloat(), -7.0f);
  EXPECT_EQ(Requests().size(), 5u);
  EXPECT_EQ(Log().back(), (LogLine{32, "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 "}));

  module_->ClearLog();
  sim_->clear_trace();
  start = steady_clock::now();
  EXPECT_EQ(line_->Write("$SP", kTypeFloat, ValueArea::Float(30.0f)), kFailed);
  took = SecondsSince(start);
  EXPECT_GE(took, 0.4);  // the pauses between tries alone take 0.5 s
  EXPECT_LT(took, 8.0);
  EXPECT_EQ(Requests().size(), 5u);
  EXPECT_DOUBLE_EQ(SimValue("$SP"), 21.0);  // a silent controller carried nothing out
  EXPECT_EQ(Log().back(), (LogLine{32, "QELPRV: Tag $SP: Write failed. rc = 2 "}));

  // The controller speaks again: the same line reads at once.
  sim_->set_faults("");
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
}

// The controller drops the line in the middle of its answer: the read fails at once (a hung-up
// port refuses every read), and once the controller is back on a new line behind the same name,
// PortClose and PortOpen bring the driver to it.
TEST_F(E2eTest, HangUpDuringAReadFailsQuicklyThenPortCloseAndOpenReconnect) {
  StartLine();
  const auto generation = sim_->line_generation();
  sim_->set_faults("hangup:ms=300:after=6@1");  // the echo and two bytes of the block, then gone

  ValueArea value = ValueArea::Float(-7.0f);
  const auto start = steady_clock::now();
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kFailed);
  EXPECT_LT(SecondsSince(start), 3.0);  // 5 attempts would cost 15 s on a merely silent line
  EXPECT_FLOAT_EQ(value.AsFloat(), -7.0f);
  EXPECT_EQ(Log().back(), (LogLine{32, "QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 "}));
  EXPECT_EQ(sim_->counters().injected_of(prv2sim::FaultKind::Hangup), 1u);

  ASSERT_TRUE(sim_->wait_for_line(generation, seconds(5)));
  EXPECT_EQ(line_->Close(), kOk);
  EXPECT_EQ(line_->work.port_handle, 0u);
  ASSERT_EQ(line_->Open(), kOk);
  EXPECT_EQ(line_->Read("$SP", kTypeFloat, &value), kOk);
  EXPECT_FLOAT_EQ(value.AsFloat(), 21.0f);
  EXPECT_EQ(line_->Write("@VLV", kTypeWord, ValueArea::Word(55)), kOk);
  EXPECT_DOUBLE_EQ(SimValue("@VLV"), 55.0);
  EXPECT_EQ(sim_->counters().lines_opened, 2u);
}

}  // namespace
}  // namespace qel::e2e
