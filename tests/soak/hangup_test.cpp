// Hang-up and return, over a real pseudo-terminal through the built module: the controller side
// disappears in the middle of a transaction, again and again (the USB adapter pulled out). Every
// call meanwhile returns 2 promptly and without spinning (its CPU time stays far below its wall
// time), no descriptor leaks, and once the device is back the line works again after PortClose
// and PortOpen. Also here: answers that come late, which the line must not take for the answers
// of later requests.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "prv2sim/fixture.h"
#include "tests/soak/host.h"

namespace qel::soak {
namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timed {
  int rc;
  double wall;
  double cpu;
};
template <class F>
Timed Time(F&& call) {
  const double cpu0 = ThreadCpuSeconds();
  const auto t0 = Clock::now();
  const int rc = call();
  return Timed{rc, std::chrono::duration<double>(Clock::now() - t0).count(),
               ThreadCpuSeconds() - cpu0};
}

std::vector<prv2sim::GateDef> Gates() {
  prv2sim::GateDef sp;
  sp.name = "$SP";
  sp.value = 21.25;
  prv2sim::GateDef t1;
  t1.name = "$T1";
  t1.value = 5.5;
  prv2sim::GateDef fan;
  fan.name = "@FAN";
  fan.type = prv2sim::GateType::Word;
  fan.value = 7;
  return {sp, t1, fan};
}

prv2sim::EngineOptions Options(const char* link_prefix) {
  prv2sim::EngineOptions o;
  o.gates = Gates();
  o.controller.trailer_after_write = true;
  o.link = FreeLinkName(link_prefix);
  return o;
}

// Five hang-ups at different points of the answer (before the echo, inside it, inside the data
// block, before the trailer), on reads and writes.
TEST(HangUp, EveryCallFailsPromptlyAndTheLineComesBack) {
  const int fds_at_start = OpenDescriptors();
  {
    prv2sim::InProcessSimulator sim(Options("qhu"));
    const std::string port = sim.port();
    const int fds_without_port = OpenDescriptors();
    Line line(3);
    ASSERT_EQ(line.Start(port), 0);
    ASSERT_EQ(line.Close(), 0);
    ASSERT_EQ(line.Update(port, 20), 0);  // 200 ms reply timeout: failures come fast
    const int fds_open = OpenDescriptors();
    double longest_wall = 0, most_cpu = 0;
    auto note = [&](const Timed& t) {
      longest_wall = std::max(longest_wall, t.wall);
      most_cpu = std::max(most_cpu, t.cpu);
    };

    struct Round {
      bool write;
      int after;  // bytes of the answer that go out before the line drops
    };
    for (const Round r : {Round{false, 0}, Round{false, 3}, Round{true, 2}, Round{false, 8},
                          Round{false, 12}, Round{true, 0}}) {
      SCOPED_TRACE(std::string(r.write ? "write" : "read") + " after " + std::to_string(r.after));
      float value = 0;
      ASSERT_EQ(line.ReadFloat("$SP", &value), 0);
      EXPECT_EQ(value, 21.25f);

      const uint64_t generation = sim.line_generation();
      sim.set_faults("hangup:ms=400:after=" + std::to_string(r.after) + "@1");
      const Timed failed = Time(
          [&] { return r.write ? line.WriteFloat("$SP", 21.25f) : line.ReadFloat("$SP", &value); });
      EXPECT_EQ(failed.rc, 2);
      EXPECT_LT(failed.wall, 5.0);
      EXPECT_LT(failed.cpu, failed.wall / 4 + 0.02) << "the call spins";
      note(failed);

      // While the device is away: every call returns 2 at once, and keeps nothing open.
      for (int i = 0; i < 3; ++i) {
        const Timed again = Time([&] { return line.ReadFloat("$T1", &value); });
        EXPECT_EQ(again.rc, 2);
        EXPECT_LT(again.wall, 5.0);
        EXPECT_LT(again.cpu, again.wall / 4 + 0.02) << "the call spins";
        note(again);
      }
      EXPECT_EQ(line.Flush(), 0);

      // The device is back: close and reopen the port by its name.
      ASSERT_TRUE(sim.wait_for_line(generation, std::chrono::seconds(5)));
      sim.set_faults("");
      EXPECT_EQ(line.Close(), 0);
      EXPECT_EQ(OpenDescriptors(), fds_without_port) << "the old port's descriptors are closed";
      ASSERT_EQ(line.Open(), 0);
      EXPECT_EQ(OpenDescriptors(), fds_open);
      value = 0;
      EXPECT_EQ(line.ReadFloat("$T1", &value), 0);
      EXPECT_EQ(value, 5.5f);
      uint16_t word = 0;
      EXPECT_EQ(line.WriteWord("@FAN", 4242), 0);
      EXPECT_EQ(line.ReadWord("@FAN", &word), 0);
      EXPECT_EQ(word, 4242);
    }
    EXPECT_EQ(line.Close(), 0);
    std::printf("failing calls: longest %.3f s wall, most %.3f s CPU\n", longest_wall, most_cpu);
  }
  EXPECT_EQ(OpenDescriptors(), fds_at_start);
}

// A read on a port whose device is gone, and on a handle of a port closed meanwhile, fails with
// 2 at once; closing it then succeeds and frees the descriptor.
TEST(HangUp, DeviceGoneForGood) {
  const int fds_at_start = OpenDescriptors();
  Line line(4);
  {
    prv2sim::InProcessSimulator sim(Options("qhg"));
    ASSERT_EQ(line.Start(sim.port()), 0);
    float value = 0;
    ASSERT_EQ(line.ReadFloat("$SP", &value), 0);
    sim.stop();  // the controller side closes and does not come back
  }
  float value = 0;
  const Timed t = Time([&] { return line.ReadFloat("$SP", &value); });
  EXPECT_EQ(t.rc, 2);
  EXPECT_LT(t.wall, 5.0);
  EXPECT_LT(t.cpu, t.wall / 4 + 0.02);
  EXPECT_EQ(line.WriteFloat("$SP", 1.0f), 2);
  EXPECT_EQ(line.Close(), 0);
  EXPECT_NE(line.Open(), 0);  // the link is gone with the simulator
  EXPECT_EQ(OpenDescriptors(), fds_at_start);
}

// A character that comes 300 ms after the request is waited for under the line's 1 s reply
// timeout: one request, one answer. (The POSIX back-end once took the 0 bytes that a raw tty
// read returns while nothing waits for a hang-up, so the three tries of a character spanned only
// their two 50 ms pauses and the request went out again.)
TEST(LateByte, AnAnswerWithinTheReplyTimeoutIsWaitedFor) {
  prv2sim::InProcessSimulator sim(Options("qlb"));
  Line line(5);
  ASSERT_EQ(line.Start(sim.port(), 100), 0);  // 1 s
  sim.set_faults("delay:ms=300@1");
  float value = 0;
  EXPECT_EQ(line.ReadFloat("$SP", &value), 0);
  EXPECT_EQ(value, 21.25f);
  EXPECT_EQ(sim.counters().transactions, 1u) << "the request was sent again";
  EXPECT_EQ(line.Close(), 0);
}

// An answer that comes after the driver gave up on it must not pass for the answer to the next
// request: a gate read and write throw away what has arrived before they send. (Before that, a
// read of $T1 stored $SP's value from the answer left on the line.)
TEST(LateAnswer, IsNotTakenForTheAnswerOfTheNextRequest) {
  prv2sim::InProcessSimulator sim(Options("qla"));
  Line line(6);
  const std::string port = sim.port();
  ASSERT_EQ(line.Start(port), 0);
  ASSERT_EQ(line.Close(), 0);
  ASSERT_EQ(line.Update(port, 5), 0);  // 50 ms
  // Each try of a character waits 50 ms: the first attempt gives up after 250 ms, the second
  // sends again at about 400 ms. The first answer comes at 500 ms, inside the second attempt,
  // which takes it; the answer to the second request follows it and stays on the line.
  sim.set_faults("delay:ms=500@1");
  float value = 0;
  EXPECT_EQ(line.ReadFloat("$SP", &value), 0);
  EXPECT_EQ(value, 21.25f);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // every answer is in by now
  value = 0;
  const int rc = line.ReadFloat("$T1", &value);
  if (rc == 0) {
    EXPECT_EQ(value, 5.5f) << "stored the value of another gate";
  }
  value = 0;
  EXPECT_EQ(line.ReadFloat("$T1", &value), 0);
  EXPECT_EQ(value, 5.5f);
  EXPECT_EQ(line.Close(), 0);
}

}  // namespace
}  // namespace qel::soak
