// What the fuzz targets share: a controller scripted from the fuzz input on the fake line, the
// worst-case line time that a command's timeouts allow, and guarded host records.
//
// A harness that finds an invariant broken prints what it saw and calls abort(), which libFuzzer
// reports as a crash and keeps the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "tests/support/fake_platform.h"

namespace qel::fuzz {

[[noreturn]] inline void Fail(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "invariant broken: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

#define QEL_FUZZ_CHECK(cond, ...)                                     \
  do {                                                                \
    if (!(cond)) ::qel::fuzz::Fail(#cond __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)

// The read timeout that a value in ticks gives on the port: the serial library multiplies by 10
// in 32 bits and the port takes the total as a signed count of milliseconds; 0 or less means no
// wait at all.
inline int64_t EffectiveMs(int32_t ticks) {
  const auto ms = static_cast<int32_t>(static_cast<uint32_t>(ticks) * 10u);
  return ms > 0 ? ms : 0;
}

// The most line time (virtual milliseconds) that one command may take, from the reply timeout
// of its work area and the trailer timeout. One character costs at most three reads and two
// pauses of 50 ms; one answer at most 99 characters; a drain at most 500 reads that each bring
// a byte, and one that brings none.
struct LineTimeBound {
  int64_t reply_ms;
  int64_t trailer_ms;
  uint32_t post_pause_ms;

  int64_t Character() const {
    const int64_t t = reply_ms > trailer_ms ? reply_ms : trailer_ms;
    return 3 * t + 2 * 50;
  }
  int64_t Answer() const { return 99 * Character(); }
  int64_t Drain() const { return 501 * trailer_ms; }
  int64_t Read() const { return 5 * Answer() + 4 * (50 + Drain()) + post_pause_ms; }
  int64_t Write() const { return 5 * Answer() + post_pause_ms; }

  int64_t For(int32_t command) const {
    switch (command) {
      case kCmdSingleRead:
        return Read();
      case kCmdSingleWrite:
        return Write();
      case kCmdLineFlush:
        return Drain();
      default:
        return 0;  // no other command reads the line or pauses
    }
  }
};

inline LineTimeBound BoundOf(const LineWorkArea& work) {
  return LineTimeBound{EffectiveMs(work.reply_timeout), EffectiveMs(CurrentTrailerTimeout()),
                       work.post_pause_ms};
}

// Answers every request with a piece of the fuzz input: a few bytes, each arriving after a delay
// taken from the input, so the driver meets every interleaving of bytes and timeouts. Delays are
// mostly short and sometimes beyond any timeout.
class ScriptedController {
 public:
  explicit ScriptedController(FuzzedDataProvider& data) : data_(data) {}

  void Install(test::FakeLine& line) {
    line.SetController(
        [this](test::FakeLine& l, platform::Handle h, const std::string&) { Answer(l, h); });
  }

 private:
  void Answer(test::FakeLine& line, platform::Handle h) {
    if (data_.remaining_bytes() == 0) return;
    const auto pieces = data_.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < pieces && data_.remaining_bytes() > 0; ++i) {
      const int64_t delay = Delay();
      const int64_t gap = data_.ConsumeIntegralInRange<int64_t>(0, 3) == 0 ? Delay() : 0;
      const std::string bytes = data_.ConsumeRandomLengthString(120);
      line.Send(h, bytes, delay, gap);
    }
  }

  int64_t Delay() {
    switch (data_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        return 0;
      case 1:
        return data_.ConsumeIntegralInRange<int64_t>(0, 50);
      case 2:
        return data_.ConsumeIntegralInRange<int64_t>(0, 3000);
      default:
        return data_.ConsumeIntegralInRange<int64_t>(0, 100000000);
    }
  }

  FuzzedDataProvider& data_;
};

// A block of memory with guard bytes before and after the part the host hands over, to see
// that the driver writes nothing outside it.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 16;
  static constexpr uint8_t kPattern = 0xC5;

  explicit Guarded(std::size_t size) : size_(size), bytes_(size + 2 * kGuard, kPattern) {}
  uint8_t* data() { return bytes_.data() + kGuard; }
  std::size_t size() const { return size_; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes_[i] != kPattern || bytes_[kGuard + size_ + i] != kPattern) return false;
    }
    return true;
  }
  std::vector<uint8_t> Snapshot() const {
    return std::vector<uint8_t>(bytes_.begin() + kGuard, bytes_.begin() + kGuard + size_);
  }

 private:
  std::size_t size_;
  std::vector<uint8_t> bytes_;
};

// True when bytes outside [first, first + count) are the same in both snapshots; the ranges in
// `allowed` may differ.
struct Range {
  std::size_t first;
  std::size_t count;
};
inline bool OnlyChanged(const std::vector<uint8_t>& before, const uint8_t* after,
                        std::initializer_list<Range> allowed) {
  for (std::size_t i = 0; i < before.size(); ++i) {
    bool may_change = false;
    for (const Range& r : allowed) {
      if (i >= r.first && i < r.first + r.count) may_change = true;
    }
    if (!may_change && before[i] != after[i]) return false;
  }
  return true;
}

// A gate name from the input: mostly like the controller's, sometimes any bytes, at most 31
// characters, in an allocation of exactly its size with the NUL.
inline std::vector<char> GateName(FuzzedDataProvider& data) {
  static const char* const kNames[] = {
      "$SP", "@FAN", "$OAT", "@VLV", "", "$", "$ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"};
  std::string name;
  if (data.ConsumeBool()) {
    name = kNames[data.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
  } else {
    name = data.ConsumeRandomLengthString(31);
  }
  if (name.size() > kMaxGateName) name.resize(kMaxGateName);
  std::vector<char> out(name.begin(), name.end());
  out.push_back('\0');
  return out;
}

// Moves the process into a new empty directory (settings files are looked for in the current
// one), first making the paths on the command line absolute so that libFuzzer still finds its
// corpus and artifact paths. libFuzzer may not change argv[0]: start a target by its absolute
// path when it is to start itself again (-merge=1, -jobs).
inline void EnterScratchDirectory(int* argc, char*** argv, const char* tag) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) std::abort();
  static std::vector<std::string> kept;
  kept.reserve(static_cast<std::size_t>(*argc));
  for (int i = 1; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    for (const char* option : {"-artifact_prefix=", "-exact_artifact_path="}) {
      const std::string o = option;
      if (arg.rfind(o, 0) == 0 && arg.size() > o.size() && arg[o.size()] != '/') {
        arg = o + cwd + "/" + arg.substr(o.size());
      }
    }
    if (!arg.empty() && arg[0] != '-' && arg[0] != '/') arg = std::string(cwd) + "/" + arg;
    kept.push_back(arg);
    (*argv)[i] = kept.back().data();
  }
  static std::string dir;
  dir = std::string("/tmp/qel-fuzz-") + tag + "-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) std::abort();
  std::atexit([] { (void)rmdir(dir.c_str()); });  // empty again unless a run was cut short
}

}  // namespace qel::fuzz
