// CPU cost of the driver's steps, with the line taken out: Google Benchmark on a line that
// answers at once.
//
// Two lines stand in for the port. FakeLine is the tests' scripted line (tests/support): it
// records every call with its arguments, so its own bookkeeping is part of each figure. The
// InstantLine here does nothing but hand over the answer's bytes, so its figures are the
// driver's own cost. Both answer every request the moment it is written, and neither ever
// sleeps: a pause or a timed-out read costs no time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "driver/gate/transfer.h"
#include "driver/gate/values.h"
#include "driver/host/records.h"
#include "driver/platform/platform.h"
#include "driver/protocol/reply.h"
#include "driver/protocol/response.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace {

using qel::platform::CommTimeouts;
using qel::platform::Dcb;
using qel::platform::Handle;

const std::string kGate = "$TEMP1";
const std::string kReadAnswer =
    "$TEMP1\r\x02"
    "0021.50\r\x03\r\n\x03";
const std::string kWriteAnswer =
    "$TEMP1=22.500000\r\x02"
    "0022.50\r\x03";  // no trailer

// The leanest port there is: one handle, one answer queued per write.
class InstantLine {
 public:
  InstantLine() {
    current_ = this;
    qel::platform::SetOverride(&kOps);
  }
  ~InstantLine() {
    qel::platform::SetOverride(nullptr);
    current_ = nullptr;
  }
  InstantLine(const InstantLine&) = delete;
  InstantLine& operator=(const InstantLine&) = delete;

  // What each write is answered with; empty: nothing.
  void AnswerEveryWrite(const std::string& answer) { answer_ = answer; }
  // Puts bytes on the input directly.
  void Put(const std::string& bytes) {
    pending_ = bytes.data();
    left_ = bytes.size();
  }

 private:
  static InstantLine* current_;
  static Handle Open(const char*) { return 1; }
  static bool GetState(Handle, Dcb*) { return true; }
  static bool SetState(Handle, const Dcb*) { return true; }
  static bool GetTimeouts(Handle, CommTimeouts* t) {
    *t = current_->timeouts_;
    return true;
  }
  static bool SetTimeouts(Handle, const CommTimeouts* t) {
    current_->timeouts_ = *t;
    return true;
  }
  static bool SetupQueues(Handle, uint32_t, uint32_t) { return true; }
  static bool Read(Handle, void* buf, uint32_t n, uint32_t* got) {
    InstantLine& l = *current_;
    const std::size_t take = n < l.left_ ? n : l.left_;
    std::memcpy(buf, l.pending_, take);
    l.pending_ += take;
    l.left_ -= take;
    *got = static_cast<uint32_t>(take);
    return true;
  }
  static bool Write(Handle, const void*, uint32_t n, uint32_t* written) {
    InstantLine& l = *current_;
    l.pending_ = l.answer_.data();
    l.left_ = l.answer_.size();
    *written = n;
    return true;
  }
  static bool Close(Handle) { return true; }
  static void Sleep(uint32_t) {}
  static bool Purge(Handle) { return true; }
  static constexpr qel::platform::Ops kOps{Open,        GetState, SetState, GetTimeouts,
                                           SetTimeouts, SetupQueues, Read, Write,
                                           Close,       Sleep,    Purge};

  CommTimeouts timeouts_{};
  std::string answer_;
  const char* pending_ = nullptr;
  std::size_t left_ = 0;
};
InstantLine* InstantLine::current_ = nullptr;

// A started line on whatever port the platform offers as "COM1".
struct Host {
  qel::LineWorkArea work{};
  qel::GateTransfer gate{};
  alignas(4) unsigned char value[8] = {};
  Host() {
    qel::LineSetup setup{};
    std::strcpy(setup.port_name, "COM1");
    setup.in_use = 1;
    setup.reply_timeout = 100;
    setup.params = qel::LineParameters{9600, 8, 0, 0};
    qel::DriverRequest start{&work, qel::kCmdLineStart, 1, 0, &setup};
    (void)QelMain(&start);
    gate.name = kGate.c_str();
    gate.type = qel::kTypeFloat;
    gate.value = value;
    qel::test::ClearLog();
  }
  int Command(int32_t code) {
    qel::DriverRequest r{&work, code, 1, 0, &gate};
    return QelMain(&r);
  }
};

void Require(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
}

// ------------------------------------------------------------------------------ SingleRead

void BM_SingleRead_InstantLine(benchmark::State& state) {
  InstantLine line;
  line.AnswerEveryWrite(kReadAnswer);
  Host host;
  Require(state, host.work.port_handle != 0, "line start failed");
  for (auto _ : state) {
    const int rc = host.Command(qel::kCmdSingleRead);
    benchmark::DoNotOptimize(rc);
    if (rc != qel::kOk) {
      state.SkipWithError("SingleRead did not succeed");
      break;
    }
  }
}
BENCHMARK(BM_SingleRead_InstantLine);

void BM_SingleRead_FakeLine(benchmark::State& state) {
  qel::test::FakeLine line;
  line.AddDevice("COM1");
  line.SetController(
      [](qel::test::FakeLine& l, Handle h, const std::string&) { l.Send(h, kReadAnswer); });
  Host host;
  Require(state, host.work.port_handle != 0, "line start failed");
  int64_t i = 0;
  for (auto _ : state) {
    const int rc = host.Command(qel::kCmdSingleRead);
    benchmark::DoNotOptimize(rc);
    if (rc != qel::kOk) {
      state.SkipWithError("SingleRead did not succeed");
      break;
    }
    if ((++i & 255) == 0) line.ClearCalls();  // the fake records every call
  }
}
BENCHMARK(BM_SingleRead_FakeLine);

// ----------------------------------------------------------------------------- SingleWrite
// The controller answers a write with its data block and no trailer, so the happy path of a
// write includes the trailer phase running out (three timed-out reads and two pauses, all
// instant here).

void BM_SingleWrite_InstantLine(benchmark::State& state) {
  InstantLine line;
  line.AnswerEveryWrite(kWriteAnswer);
  Host host;
  const float f = 22.5f;
  std::memcpy(host.value, &f, sizeof f);
  for (auto _ : state) {
    const int rc = host.Command(qel::kCmdSingleWrite);
    benchmark::DoNotOptimize(rc);
    if (rc != qel::kOk) {
      state.SkipWithError("SingleWrite did not succeed");
      break;
    }
    qel::test::ClearLog();  // the missing trailer is logged
  }
}
BENCHMARK(BM_SingleWrite_InstantLine);

void BM_SingleWrite_FakeLine(benchmark::State& state) {
  qel::test::FakeLine line;
  line.AddDevice("COM1");
  line.SetController(
      [](qel::test::FakeLine& l, Handle h, const std::string&) { l.Send(h, kWriteAnswer); });
  Host host;
  const float f = 22.5f;
  std::memcpy(host.value, &f, sizeof f);
  int64_t i = 0;
  for (auto _ : state) {
    const int rc = host.Command(qel::kCmdSingleWrite);
    benchmark::DoNotOptimize(rc);
    if (rc != qel::kOk) {
      state.SkipWithError("SingleWrite did not succeed");
      break;
    }
    qel::test::ClearLog();
    if ((++i & 255) == 0) line.ClearCalls();
  }
}
BENCHMARK(BM_SingleWrite_FakeLine);

// ------------------------------------------------------------------------------- ReadReply
// One whole answer (echo, block, trailer) read character by character; the figure per
// character is the time divided by the answer's length.

void BM_ReadReply(benchmark::State& state) {
  InstantLine line;
  Host host;
  qel::DriverRequest request{&host.work, qel::kCmdSingleRead, 1, 0, &host.gate};
  char reply[qel::kReplyBufferSize];
  uint16_t length = 0;
  for (auto _ : state) {
    line.Put(kReadAnswer);
    std::memset(reply, 0, sizeof reply);
    const uint8_t rc = qel::ReadReply(&request, reply, &length);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(reply);
    if (rc != qel::kReplyAccepted) {
      state.SkipWithError("ReadReply did not accept the answer");
      break;
    }
  }
  const auto chars = static_cast<int64_t>(kReadAnswer.size());
  state.counters["chars"] = static_cast<double>(chars);
  // Seconds of CPU per character (shown with an SI prefix: "10n" is 10 ns).
  state.counters["per_char"] =
      benchmark::Counter(static_cast<double>(chars), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * chars);
}
BENCHMARK(BM_ReadReply);

// ----------------------------------------------------------------------- CheckResponseData

void BM_CheckResponseData_Value(benchmark::State& state) {
  const char block[] = "0021.50\r";
  for (auto _ : state) {
    const uint16_t n = qel::CheckResponseData(block, sizeof block - 1, "$TEMP1", 1);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_CheckResponseData_Value);

void BM_CheckResponseData_ErrorReport(benchmark::State& state) {
  // Logs the report: the figure includes formatting it and the tests' log capture.
  const char block[] = "ERROR 13\r";
  int64_t i = 0;
  for (auto _ : state) {
    const uint16_t n = qel::CheckResponseData(block, sizeof block - 1, "$TEMP1", 1);
    benchmark::DoNotOptimize(n);
    if ((++i & 255) == 0) qel::test::ClearLog();
  }
  qel::test::ClearLog();
}
BENCHMARK(BM_CheckResponseData_ErrorReport);

// ------------------------------------------------------------------------ value conversion

void BM_ParseFloatValue(benchmark::State& state) {
  const char* text = "21.50";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    bool found = false;
    const float f = qel::ParseFloatValue(text, &found);
    benchmark::DoNotOptimize(f);
  }
}
BENCHMARK(BM_ParseFloatValue);

void BM_ParseWordValue(benchmark::State& state) {
  const char* text = "65535";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    bool found = false;
    const uint16_t w = qel::ParseWordValue(text, &found);
    benchmark::DoNotOptimize(w);
  }
}
BENCHMARK(BM_ParseWordValue);

void BM_StoreValue_Float(benchmark::State& state) {
  alignas(4) unsigned char value[8] = {};
  qel::GateTransfer gate{};
  gate.name = "$TEMP1";
  gate.type = qel::kTypeFloat;
  gate.value = value;
  const char* text = "21.50";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    qel::StoreValue(gate, text);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_StoreValue_Float);

void BM_FormatFloatWrite(benchmark::State& state) {
  char out[50];
  float f = 22.5f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f);
    const int n = qel::FormatFloatWrite(out, sizeof out, "$TEMP1", f);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FormatFloatWrite);

void BM_FormatWordWrite(benchmark::State& state) {
  char out[50];
  uint16_t w = 65535;
  for (auto _ : state) {
    benchmark::DoNotOptimize(w);
    const int n = qel::FormatWordWrite(out, sizeof out, "@FAN", w);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FormatWordWrite);

}  // namespace

BENCHMARK_MAIN();
