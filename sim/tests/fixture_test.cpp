// The in-process fixture's own promises: control from the test thread while the line is busy,
// waiting helpers, trace capture and a stop that never hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "port.h"
#include "prv2sim/fixture.h"

namespace prv2sim {
namespace {

using namespace std::chrono_literals;
using test_support::Port;
using test_support::seconds_since;

TEST(InProcessFixtureTest, StopsPromptlyEvenInTheMiddleOfAnAnswer) {
  InProcessSimulator sim({.faults = "delay:ms=20000"});
  Port port(sim.path());
  port.send("$SP\r");
  for (int i = 0; i < 100 && sim.counters().transactions == 0; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(sim.counters().transactions, 1u);  // the engine now sits in the delay
  const auto start = std::chrono::steady_clock::now();
  sim.stop();
  EXPECT_LT(seconds_since(start), 2.0);
  sim.stop();  // again: nothing happens
  EXPECT_EQ(sim.error(), nullptr);
}

TEST(InProcessFixtureTest, ControlFromTheTestThreadWhileTheLineIsBusy) {
  InProcessSimulator sim;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread driver([&] {
    Port port(sim.path());
    for (int i = 0; i < 40; ++i) {
      const std::string got = port.ask("@FAN\r");
      // Either framing is right, depending on when the echo setting changed.
      if (got !=
              "@FAN\r\x02"
              "001\r\x03\r\n\x03" &&
          got !=
              "\x02"
              "001\r\x03\r\n\x03")
        ++bad;
    }
    done = true;
  });
  bool echo = true;
  while (!done) {
    ControllerConfig cfg = sim.controller_config();
    cfg.echo = echo = !echo;
    sim.set_controller_config(cfg);
    EXPECT_EQ(sim.gates().size(), 7u);
    (void)sim.counters();
    std::this_thread::sleep_for(1ms);
  }
  driver.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(sim.counters().reads, 40u);
  EXPECT_EQ(sim.gate("@FAN")->reads, 40u);
  EXPECT_EQ(sim.gate("@FAN")->last_payload, "1");
}

TEST(InProcessFixtureTest, GateTruthCanBeSetAndIsWhatTheDriverGets) {
  InProcessSimulator sim;
  EXPECT_TRUE(sim.set_gate_value("$oat", -3.25));  // read-only for the driver, not for tests
  EXPECT_FALSE(sim.set_gate_value("$NOPE", 1));
  EXPECT_FALSE(sim.gate("$NOPE").has_value());
  Port port(sim.path());
  const std::string got = port.ask("$OAT\r");
  // $OAT swings (sine) around the stored value; the answer is the truth at that moment.
  ASSERT_EQ(got.substr(0, 8),
            "$OAT\r\x02"
            "00");
  const double sent = std::stod(got.substr(8));
  EXPECT_NEAR(sent, sim.gate("$OAT")->value, 0.2);
  EXPECT_EQ(got.substr(8, got.find('\r', 8) - 8), sim.gate("$OAT")->last_payload);
}

TEST(InProcessFixtureTest, TraceAndWaitCountEveryAnswerSilentOnesToo) {
  InProcessSimulator sim({.faults = "silence@2"});
  Port port(sim.path());
  port.send("$SP\r@FAN\r@VLV\r");
  ASSERT_TRUE(sim.wait_for_transactions(3, 3s));
  EXPECT_FALSE(sim.wait_for_transactions(4, 50ms));
  const auto lines = sim.trace_lines();
  ASSERT_EQ(lines.size(), 7u);  // line up, then RX and TX for each
  EXPECT_NE(lines[0].find("line up: " + sim.path()), std::string::npos);
  EXPECT_NE(lines[1].find("RX #1    $SP<CR>"), std::string::npos);
  EXPECT_NE(lines[4].find("TX #2    "), std::string::npos);
  EXPECT_NE(lines[4].find("(0 B, 0.0 ms) [silence@2]"), std::string::npos);
  EXPECT_NE(sim.trace_lines(true)[5].find("| 40 56 4C 56 0D"), std::string::npos);
  sim.clear_trace();
  EXPECT_TRUE(sim.trace().empty());
  EXPECT_FALSE(sim.wait_for_transactions(1, 10ms));
}

}  // namespace
}  // namespace prv2sim
