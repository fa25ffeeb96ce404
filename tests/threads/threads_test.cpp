// Many lines at once, through the built module: 16 lines on 16 threads, each on its own pty and
// simulator, reading and writing for a bounded time; and a storm of port opens and closes on
// many threads, on ports of their own and on one port that they all want. Run under
// ThreadSanitizer in CI (the tsan preset): no report, no lost handle, every line's values right.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "prv2sim/fixture.h"
#include "tests/soak/host.h"

namespace qel::soak {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLines = 16;

std::vector<prv2sim::GateDef> LineGates(int line) {
  prv2sim::GateDef sp;
  sp.name = "$SP";
  sp.value = 10.0 + line;
  prv2sim::GateDef fan;
  fan.name = "@FAN";
  fan.type = prv2sim::GateType::Word;
  fan.value = 100 + line;
  return {sp, fan};
}

struct LineResult {
  int calls = 0;
  int failures = 0;
  int wrong = 0;
  std::string first_problem;
};

TEST(ManyLines, SixteenLinesOnSixteenThreads) {
  Module::Get().KeepLines(false);
  const int fds_before = OpenDescriptors();
  std::vector<std::unique_ptr<prv2sim::InProcessSimulator>> sims;
  for (int i = 0; i < kLines; ++i) {
    prv2sim::EngineOptions o;
    o.gates = LineGates(i);
    o.controller.trailer_after_write = true;
    sims.push_back(std::make_unique<prv2sim::InProcessSimulator>(o));
  }

  std::vector<LineResult> results(kLines);
  std::atomic<bool> go{false};
  const auto run_for = std::chrono::seconds(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < kLines; ++i) {
    threads.emplace_back([&, i] {
      LineResult& r = results[i];
      prv2sim::InProcessSimulator& sim = *sims[i];
      Line line(i + 1);
      while (!go.load()) std::this_thread::yield();
      if (line.Start(PortName(sim.path())) != 0) {
        r.first_problem = "the line does not start on " + sim.path();
        r.failures = 1;
        return;
      }
      const auto until = Clock::now() + run_for;
      for (int n = 0; Clock::now() < until; ++n) {
        // Values that belong to this line alone, so a crossed line shows.
        const auto word = static_cast<uint16_t>(1000 * i + n % 1000);
        const float f = static_cast<float>(i) + 0.25f * static_cast<float>(n % 100);
        uint16_t got_word = 0;
        float got_float = 0;
        int rc = line.WriteWord("@FAN", word);
        rc |= line.ReadWord("@FAN", &got_word);
        rc |= line.WriteFloat("$SP", f);
        rc |= line.ReadFloat("$SP", &got_float);
        r.calls += 4;
        if (rc != 0) {
          ++r.failures;
          if (r.first_problem.empty())
            r.first_problem = "a call failed at round " + std::to_string(n);
          continue;
        }
        const auto truth_word = sim.gate("@FAN");
        const auto truth_float = sim.gate("$SP");
        if (got_word != word || got_float != f || !truth_word || !truth_float ||
            truth_word->value != word || static_cast<float>(truth_float->value) != f) {
          ++r.wrong;
          if (r.first_problem.empty()) {
            r.first_problem = "round " + std::to_string(n) + ": wrote " + std::to_string(word) +
                              "/" + std::to_string(f) + ", read " + std::to_string(got_word) + "/" +
                              std::to_string(got_float);
          }
        }
      }
      if (line.Close() != 0) r.first_problem = "the port does not close";
    });
  }
  go.store(true);
  for (std::thread& t : threads) t.join();

  int calls = 0;
  for (int i = 0; i < kLines; ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    EXPECT_EQ(results[i].failures, 0) << results[i].first_problem;
    EXPECT_EQ(results[i].wrong, 0) << results[i].first_problem;
    EXPECT_GT(results[i].calls, 0);
    calls += results[i].calls;
  }
  sims.clear();
  EXPECT_EQ(OpenDescriptors(), fds_before);
  std::printf(
      "16 lines: %d calls in %lld s\n", calls,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(run_for).count()));
}

// Pseudo-terminals held open on their controller side, so their slave side can be opened.
class Ptys {
 public:
  explicit Ptys(int n) {
    for (int i = 0; i < n; ++i) {
      int master = -1, slave = -1;
      char name[64];
      if (openpty(&master, &slave, name, nullptr, nullptr) != 0) std::abort();
      close(slave);
      masters_.push_back(master);
      names_.push_back(PortName(name));
    }
  }
  ~Ptys() {
    for (int fd : masters_) close(fd);
  }
  const std::string& name(int i) const { return names_[static_cast<std::size_t>(i)]; }

 private:
  std::vector<int> masters_;
  std::vector<std::string> names_;
};

// 16 threads, each opening and closing two ports of its own and fighting over one shared port,
// 300 rounds: every open of an own port succeeds with a handle no other open port has; the
// shared port is never held twice; afterwards nothing is open and the handle table has room.
TEST(ManyLines, OpenCloseStorm) {
  constexpr int kThreads = 16;
  constexpr int kRounds = 300;
  Module::Get().KeepLines(false);
  Ptys ptys(2 * kThreads + 1);
  const std::string shared = ptys.name(2 * kThreads);
  const int fds_before = OpenDescriptors();

  std::mutex mutex;
  std::set<uint32_t> open_handles;
  std::atomic<int> shared_holders{0};
  std::atomic<int> shared_opens{0};
  std::atomic<int> problems{0};
  std::string first_problem;
  auto problem = [&](const std::string& what) {
    if (problems.fetch_add(1) == 0) {
      std::lock_guard<std::mutex> lock(mutex);
      first_problem = what;
    }
  };
  auto opened = [&](uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex);
    if (handle == 0 || !open_handles.insert(handle).second) {
      problems.fetch_add(1);
      if (first_problem.empty())
        first_problem = "handle " + std::to_string(handle) + " given twice";
    }
  };
  auto closing = [&](uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex);
    open_handles.erase(handle);
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Line own[2] = {Line(100 + 2 * t), Line(101 + 2 * t)};
      Line contender(200 + t);
      for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < 2; ++k) {
          Line& line = own[k];
          const std::string& name = ptys.name(2 * t + k);
          const int rc = round == 0 ? line.Update(name, 10) : line.Open();
          if (rc != 0) {
            problem("open of " + name + " failed in round " + std::to_string(round));
            continue;
          }
          opened(line.work().port_handle);
        }
        if (contender.Update(shared, 10) == 0) {
          opened(contender.work().port_handle);
          ++shared_opens;
          if (shared_holders.fetch_add(1) != 0) problem("the shared port is held twice");
          std::this_thread::yield();
          shared_holders.fetch_sub(1);
          closing(contender.work().port_handle);
          if (contender.Close() != 0) problem("the shared port does not close");
        }
        for (Line& line : own) {
          if (line.work().port_handle == 0) continue;
          closing(line.work().port_handle);
          if (line.Close() != 0) problem("close failed");
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(problems.load(), 0) << first_problem;
  EXPECT_TRUE(open_handles.empty());
  EXPECT_GT(shared_opens.load(), 0);
  EXPECT_EQ(OpenDescriptors(), fds_before) << "descriptors leaked";

  // Room in the handle table: all 33 ports open at once, then closed.
  std::vector<Line> lines(2 * kThreads + 1);
  for (int i = 0; i < 2 * kThreads + 1; ++i) {
    EXPECT_EQ(lines[static_cast<std::size_t>(i)].Update(ptys.name(i), 10), 0) << ptys.name(i);
  }
  for (Line& line : lines) EXPECT_EQ(line.Close(), 0);
  EXPECT_EQ(OpenDescriptors(), fds_before);
}

}  // namespace
}  // namespace qel::soak
