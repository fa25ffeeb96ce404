// Fault soak over a real pseudo-terminal: a host loop of gate reads and writes through the built
// module against the simulator, which injects every kind of line fault it knows.
//
//   qel_soak [--seconds S] [--transactions N] [--seed N] [--faults LIST] [--reply-ticks T]
//            [--bound-ms MS]
//
// The loop runs in a child process, so a crash is counted instead of ending the run unseen. It
// counts results by code, values stored, values stored that differ from the simulator's truth,
// writes confirmed that the simulator did not store, calls that outlived their bound (a
// watchdog thread), crashes and descriptors leaked. A byte changed or dropped inside a value
// cannot be seen by this protocol, which carries no checksum: a wrong value after a call whose
// answers had such a fault is counted apart, by the fault's kind. Any other wrong value fails
// the run. After a hang-up the host closes and reopens the port, as a host does when the
// adapter is back.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "prv2sim/fixture.h"
#include "tests/soak/host.h"

namespace qel::soak {
namespace {

using Clock = std::chrono::steady_clock;
using prv2sim::FaultKind;

// Every kind of fault, each on about 2 % of the answers (hang-ups on 0.5 %). The delays stay
// within the reply timeout; answers that come after the driver gave up on them, and over-long
// answers, have their own runs (see CMakeLists.txt).
constexpr const char* kDefaultFaults =
    "silence:p=0.02,drop:p=0.02,corrupt:p=0.02,delay:ms=120:p=0.02,gap:ms=2:p=0.01,"
    "echo:p=0.02,notrailer:p=0.02,noise:p=0.02,error:p=0.02,hangup:ms=200:after=2:p=0.005";

struct Options {
  double seconds = 30;
  uint64_t transactions = 0;  // 0: as many as the time allows
  uint64_t seed = 1;
  std::string faults = kDefaultFaults;
  int32_t reply_ticks = 5;
  int64_t bound_ms = 10000;
};

struct Gate {
  const char* name;
  bool word;
};
constexpr Gate kGates[] = {{"$SP", false}, {"$T1", false}, {"@FAN", true}, {"@VLV", true}};

std::vector<prv2sim::GateDef> SoakGates() {
  std::vector<prv2sim::GateDef> gates;
  for (const Gate& g : kGates) {
    prv2sim::GateDef d;
    d.name = g.name;
    d.type = g.word ? prv2sim::GateType::Word : prv2sim::GateType::Float;
    d.value = g.word ? 35 : 21.25;
    gates.push_back(d);
  }
  return gates;
}

// What the child reports, one "key value" per line.
struct Report {
  std::map<std::string, uint64_t> n;
  void Add(const std::string& key, uint64_t v = 1) { n[key] += v; }
  std::string Text() const {
    std::ostringstream out;
    for (const auto& [k, v] : n) out << k << ' ' << v << '\n';
    return out.str();
  }
};

std::string KindName(FaultKind k) {
  return std::string(prv2sim::to_string(k));
}

// The soak itself, in the child.
int RunSoak(const Options& o, int report_fd) {
  Report report;
  prv2sim::EngineOptions eo;
  eo.gates = SoakGates();
  eo.controller.trailer_after_write = true;
  eo.link = FreeLinkName("qsk");
  eo.seed = o.seed;
  prv2sim::InProcessSimulator sim(eo);
  Module& module = Module::Get();
  module.KeepLines(false);

  const int fds_before = OpenDescriptors();
  Line line(1);
  if (line.Start(eo.link) != 0 || line.Close() != 0 || line.Update(eo.link, o.reply_ticks) != 0) {
    std::fprintf(stderr, "the line does not start on %s\n", eo.link.c_str());
    return 2;
  }
  sim.set_faults(o.faults);

  // The watchdog: counts calls that run past the bound and ends a call that hangs.
  std::atomic<int64_t> call_started{0};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> outlived{0};
  std::thread watchdog([&] {
    int64_t flagged = 0;
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const int64_t started = call_started.load();
      if (started == 0) continue;
      const int64_t now = Clock::now().time_since_epoch().count();
      const int64_t ms = (now - started) / 1000000;
      if (ms > o.bound_ms && flagged != started) {
        flagged = started;
        outlived.fetch_add(1);
      }
      if (ms > 6 * o.bound_ms) {
        std::fprintf(stderr, "a call has not returned after %lld ms\n", static_cast<long long>(ms));
        _exit(3);
      }
    }
  });

  std::mt19937_64 rng(o.seed);
  const auto deadline = Clock::now() + std::chrono::duration<double>(o.seconds);
  std::array<uint64_t, prv2sim::kFaultKindCount> previous_faults{};
  int64_t longest_ms = 0;
  uint64_t calls = 0;
  for (; (o.transactions == 0 || calls < o.transactions) &&
         (o.transactions != 0 || Clock::now() < deadline);
       ++calls) {
    const Gate& gate = kGates[rng() % std::size(kGates)];
    const bool is_write = rng() % 5 < 2;
    const prv2sim::Counters before = sim.counters();
    const uint64_t generation = sim.line_generation();

    uint8_t area[4];
    std::memcpy(area, "\xA5\x5A\xC3\x3C", 4);
    float written_float = 0;
    uint16_t written_word = 0;
    if (is_write && gate.word) {
      written_word = static_cast<uint16_t>(rng());
      std::memcpy(area + 2, &written_word, 2);
    } else if (is_write) {
      written_float = static_cast<float>(static_cast<int>(rng() % 4001) - 2000) * 0.25f;
      std::memcpy(area, &written_float, 4);
    }
    uint8_t area_before[4];
    std::memcpy(area_before, area, 4);

    const auto t0 = Clock::now();
    call_started.store(t0.time_since_epoch().count());
    const int rc = line.Transfer(is_write ? kCmdSingleWrite : kCmdSingleRead, gate.name,
                                 gate.word ? kTypeWord : kTypeFloat, area);
    call_started.store(0);
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    if (ms > longest_ms) longest_ms = ms;

    const prv2sim::Counters after = sim.counters();
    std::array<uint64_t, prv2sim::kFaultKindCount> faults{};
    for (std::size_t k = 0; k < faults.size(); ++k)
      faults[k] = after.injected[k] - before.injected[k];
    auto fired = [&](FaultKind k) {
      const auto i = static_cast<std::size_t>(k);
      return faults[i] + previous_faults[i] > 0;  // a late answer belongs to the call before
    };
    auto undetectable = [&]() -> const char* {
      if (fired(FaultKind::Corrupt)) return "undetectable.corrupt";
      if (fired(FaultKind::Drop)) return "undetectable.drop";
      return nullptr;
    };
    previous_faults = faults;

    report.Add(std::string(is_write ? "write" : "read") + ".rc" + std::to_string(rc));
    const auto truth = sim.gate(gate.name);
    if (!is_write && rc == 0) {
      report.Add("values.stored");
      bool right = false;
      if (gate.word) {
        uint16_t w = 0;
        std::memcpy(&w, area + 2, 2);
        right = std::memcmp(area, area_before, 2) == 0 && truth &&
                w == static_cast<uint16_t>(std::lround(truth->value));
      } else {
        float f = 0;
        std::memcpy(&f, area, 4);
        right = truth && f == static_cast<float>(truth->value);
      }
      if (!right) {
        const char* kind = undetectable();
        report.Add(kind != nullptr ? std::string(kind) + ".read" : "wrong.values");
        if (report.n[kind != nullptr ? std::string(kind) + ".read" : "wrong.values"] <= 3) {
          float f = 0;
          uint16_t w = 0;
          std::memcpy(&f, area, 4);
          std::memcpy(&w, area + 2, 2);
          std::fprintf(stderr, "%s: %s at call %llu: stored %g / %u, truth %g (%s)\n",
                       kind != nullptr ? kind : "WRONG VALUE", gate.name,
                       static_cast<unsigned long long>(calls), static_cast<double>(f),
                       static_cast<unsigned>(w), truth ? truth->value : -1.0,
                       truth ? truth->last_payload.c_str() : "");
          const auto lines = sim.trace_lines();
          for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) {
            std::fprintf(stderr, "  %s\n", lines[i].c_str());
          }
        }
      }
    } else if (std::memcmp(area, area_before, 4) != 0) {
      report.Add("wrong.value_area_written");
    }
    if (is_write && rc == 0) {
      report.Add("writes.confirmed");
      const bool stored =
          truth && (gate.word ? static_cast<uint16_t>(std::lround(truth->value)) == written_word
                              : static_cast<float>(truth->value) == written_float);
      if (!stored) {
        const char* kind = undetectable();
        report.Add(kind != nullptr ? std::string(kind) + ".write" : "wrong.confirmations");
      }
    }

    // After a hang-up: wait for the device, then close and reopen the port.
    if (sim.line_generation() != generation || after.lines_opened != before.lines_opened) {
      report.Add("hangups.recovered");
      (void)sim.wait_for_line(generation, std::chrono::seconds(5));
      (void)line.Close();
      const auto until = Clock::now() + std::chrono::seconds(5);
      while (line.Open() != 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  done.store(true);
  watchdog.join();
  (void)line.Close();

  // The simulator may be between two lines after a late hang-up: let it settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int fds_after = OpenDescriptors();
  const prv2sim::Counters c = sim.counters();
  report.Add("calls", calls);
  report.Add("sim.transactions", c.transactions);
  for (std::size_t k = 0; k < prv2sim::kFaultKindCount; ++k) {
    report.Add("injected." + KindName(static_cast<FaultKind>(k)), c.injected[k]);
  }
  report.Add("calls.outlived_bound", outlived.load());
  report.Add("calls.longest_ms", static_cast<uint64_t>(longest_ms));
  report.Add("descriptors.leaked",
             fds_after > fds_before ? static_cast<uint64_t>(fds_after - fds_before) : 0);
  report.Add("log.lines", module.LineCount());
  const std::string text = report.Text();
  if (write(report_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 2;
  sim.stop();
  return 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--seconds")
      o->seconds = std::stod(v);
    else if (a == "--transactions")
      o->transactions = std::stoull(v);
    else if (a == "--seed")
      o->seed = std::stoull(v);
    else if (a == "--faults")
      o->faults = v;
    else if (a == "--reply-ticks")
      o->reply_ticks = std::stoi(v);
    else if (a == "--bound-ms")
      o->bound_ms = std::stoll(v);
    else
      return false;
  }
  return true;
}

}  // namespace
}  // namespace qel::soak

int main(int argc, char** argv) {
  using namespace qel::soak;
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: qel_soak [--seconds S] [--transactions N] [--seed N] [--faults LIST] "
                 "[--reply-ticks T] [--bound-ms MS]\n");
    return 2;
  }
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 2;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    _exit(RunSoak(o, pipe_fds[1]));
  }
  close(pipe_fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);

  std::map<std::string, uint64_t> n;
  std::istringstream in(text);
  for (std::string key; in >> key;) in >> n[key];
  n["crashes"] = WIFSIGNALED(status) ? 1 : 0;
  n["hangs"] = WIFEXITED(status) && WEXITSTATUS(status) == 3 ? 1 : 0;
  for (const auto& [k, v] : n)
    std::printf("%-32s %llu\n", k.c_str(), static_cast<unsigned long long>(v));

  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (const char* key : {"wrong.values", "wrong.confirmations", "wrong.value_area_written",
                          "calls.outlived_bound", "descriptors.leaked", "crashes", "hangs"}) {
    if (n[key] != 0) {
      std::printf("FAIL: %s = %llu\n", key, static_cast<unsigned long long>(n[key]));
      ok = false;
    }
  }
  if (n["calls"] == 0) ok = false;
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
