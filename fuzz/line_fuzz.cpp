// The line: an arbitrary controller byte stream with arbitrary arrival times, against gate reads
// and writes through QelMain on the fake line.
//
// Invariants, for every call:
//   - the result is 0, 1 or 2; the call ends within the line time its timeouts allow;
//   - nothing of the work area, the GateTransfer record or the name changes, and no byte
//     around the records;
//   - a read writes the value area only when it returns 0, and then only the bytes of its type,
//     with a value that a data block on the line carried; it returns 1 only when the line
//     brought a controller error report;
//   - a write never touches the value area, sends only its request text (the name, "=", the
//     value as "%u" or "%f" print it, CR), at most five times, and returns 0 only after a data
//     block came; a value whose text does not fit is refused with nothing sent;
//   - a read or write that does not end with 0 sends its failure line, and one that does sends
//     none.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/gate/values.h"
#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "fuzz/harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel::fuzz {
namespace {

using test::Call;
using test::FakeLine;
using test::Op;

constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';
constexpr char kCr = '\r';

// The answers that reached the reply reader in one command, one text per request sent: the
// single-character reads after each write (the drain reads 500 at a time).
std::vector<std::string> AnswerStreams(const std::vector<Call>& calls, std::size_t from) {
  std::vector<std::string> streams;
  for (std::size_t i = from; i < calls.size(); ++i) {
    const Call& c = calls[i];
    if (c.op == Op::kWrite) streams.emplace_back();
    if (c.op == Op::kRead && c.count == 1 && !streams.empty()) streams.back() += c.data;
  }
  return streams;
}

// The block texts that the driver could have taken a value from: three characters on from the
// start of an answer or from any STX in it, up to the first CR.
std::vector<std::string> BlockTexts(const std::vector<std::string>& streams) {
  std::vector<std::string> texts;
  for (const std::string& s : streams) {
    for (std::size_t p = 0; p < s.size(); ++p) {
      if (p != 0 && s[p] != kStx) continue;
      if (p + 3 > s.size()) continue;
      std::string t = s.substr(p + 3);
      const std::size_t cr = t.find(kCr);
      if (cr != std::string::npos) t.resize(cr);
      texts.push_back(t);
    }
  }
  return texts;
}

// True when some prefix of some block text converts to exactly the stored bytes.
bool CameFromTheLine(const std::vector<std::string>& texts, int32_t type, const uint8_t* value) {
  for (const std::string& t : texts) {
    for (std::size_t n = t.size() + 1; n-- > 0;) {
      const std::string prefix = t.substr(0, n);
      bool found = false;
      if (type == kTypeFloat) {
        const float f = ParseFloatValue(prefix.c_str(), &found);
        if (found && std::memcmp(&f, value, sizeof f) == 0) return true;
      } else {
        const uint16_t w = ParseWordValue(prefix.c_str(), &found);
        if (found && value[2] == (w & 0xFF) && value[3] == (w >> 8)) return true;
      }
    }
  }
  return false;
}

int CountLinesStartingWith(const std::string& start, const std::string& contains) {
  int n = 0;
  for (const std::string& line : test::LoggedTexts()) {
    if (line.rfind(start, 0) == 0 && line.find(contains) != std::string::npos) ++n;
  }
  return n;
}

void OneTransfer(FuzzedDataProvider& data, FakeLine& line, LineWorkArea& work, int line_number) {
  const bool read = data.ConsumeBool();
  const std::vector<char> name = GateName(data);
  int32_t type = kTypeFloat;
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      type = kTypeFloat;
      break;
    case 1:
      type = kTypeWord;
      break;
    case 2:
      type = static_cast<int32_t>(0x10000u * data.ConsumeIntegral<uint16_t>()) |
             (data.ConsumeBool() ? kTypeFloat : kTypeWord);
      break;
    default:
      type = data.ConsumeIntegral<int32_t>();
      break;
  }

  Guarded value(4);
  for (std::size_t i = 0; i < 4; ++i) value.data()[i] = data.ConsumeIntegral<uint8_t>();
  Guarded record(sizeof(GateTransfer));
  for (std::size_t i = 0; i < record.size(); ++i)
    record.data()[i] = data.ConsumeIntegral<uint8_t>();
  auto* gate = reinterpret_cast<GateTransfer*>(record.data());
  gate->name = name.data();
  gate->type = type;
  gate->value = value.data();

  DriverRequest request{&work, read ? kCmdSingleRead : kCmdSingleWrite, line_number, 0, gate};
  const DriverRequest request_before = request;
  const std::vector<uint8_t> record_before = record.Snapshot();
  const std::vector<uint8_t> value_before = value.Snapshot();
  const std::vector<char> name_before = name;
  const LineWorkArea work_before = work;
  const LineTimeBound bound = BoundOf(work);
  const std::size_t first_call = line.Calls().size();
  const int64_t start = line.Now();
  test::ClearLog();

  const int result = QelMain(&request);

  const int64_t elapsed = line.Now() - start;
  QEL_FUZZ_CHECK(result >= 0 && result <= 2, result);
  QEL_FUZZ_CHECK(elapsed <= bound.For(request.command), elapsed, bound.For(request.command));
  QEL_FUZZ_CHECK(std::memcmp(&request, &request_before, sizeof request) == 0);
  QEL_FUZZ_CHECK(std::memcmp(&work, &work_before, sizeof work) == 0);
  QEL_FUZZ_CHECK(record.Snapshot() == record_before);
  QEL_FUZZ_CHECK(record.GuardsIntact() && value.GuardsIntact());
  QEL_FUZZ_CHECK(name == name_before);

  const std::vector<Call>& calls = line.Calls();
  std::vector<std::string> sent;
  for (std::size_t i = first_call; i < calls.size(); ++i) {
    if (calls[i].op == Op::kWrite) sent.push_back(calls[i].data);
  }
  QEL_FUZZ_CHECK(sent.size() <= 5, static_cast<long long>(sent.size()));
  const std::vector<std::string> streams = AnswerStreams(calls, first_call);

  if (read) {
    for (const std::string& s : sent) QEL_FUZZ_CHECK(s == std::string(name.data()) + "\r");
    const bool stores = type == kTypeFloat || type == kTypeWord;
    if (result != 0 || !stores) {
      QEL_FUZZ_CHECK(value.Snapshot() == value_before, result);
    } else {
      QEL_FUZZ_CHECK(OnlyChanged(value_before, value.data(),
                                 {type == kTypeFloat ? Range{0, 4} : Range{2, 2}}));
      QEL_FUZZ_CHECK(CameFromTheLine(BlockTexts(streams), type, value.data()));
    }
    if (result == 1) {
      bool report = false;
      for (const std::string& t : BlockTexts(streams)) report |= t.rfind("ERROR", 0) == 0;
      QEL_FUZZ_CHECK(report);
    }
    const int failure_lines =
        CountLinesStartingWith("QELPRV: SingleRead() Tag ", ": Read failed. rc = ");
    QEL_FUZZ_CHECK(failure_lines == (result == 0 ? 0 : 1), failure_lines, result);
    if (result != 0) {
      QEL_FUZZ_CHECK(CountLinesStartingWith("QELPRV: SingleRead() Tag ",
                                            "rc = " + std::to_string(result) + " ") == 1);
    }
  } else {
    QEL_FUZZ_CHECK(value.Snapshot() == value_before);
    // The request text that the value gives, as the C library prints it.
    char expected[256] = {};
    int length = -1;
    const auto low = static_cast<uint16_t>(static_cast<uint32_t>(type) & 0xFFFFu);
    if (low == kTypeWord) {
      const unsigned word = value_before[2] | (value_before[3] << 8);
      length = std::snprintf(expected, sizeof expected, "%s=%u\r", name.data(), word);
    } else if (low == kTypeFloat) {
      float f = 0;
      std::memcpy(&f, value_before.data(), sizeof f);
      if (std::isfinite(f)) {
        length = std::snprintf(expected, sizeof expected, "%s=%f\r", name.data(),
                               static_cast<double>(f));
      }
    }
    if (length < 0 || length > 49) {
      QEL_FUZZ_CHECK(result == 1 && sent.empty(), result);
    } else {
      QEL_FUZZ_CHECK(!sent.empty());
      for (const std::string& s : sent) QEL_FUZZ_CHECK(s == expected);
      if (result == 0) {
        bool block = false;
        for (const std::string& s : streams) block |= s.find(kEtx) != std::string::npos;
        QEL_FUZZ_CHECK(block);
      }
      const int failure_lines = CountLinesStartingWith("QELPRV: Tag ", ": Write failed. rc = ");
      QEL_FUZZ_CHECK(failure_lines == (result == 0 ? 0 : 1), failure_lines, result);
    }
  }
}

}  // namespace
}  // namespace qel::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qel::fuzz::EnterScratchDirectory(argc, argv, "line");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using namespace qel;
  FuzzedDataProvider data(bytes, size);
  test::FakeLine line;
  line.AddDevice("COM1");

  LineWorkArea work{};
  LineSetup setup{};
  std::memcpy(setup.port_name, "COM1", 5);
  setup.in_use = 1;
  setup.reply_timeout = 100;
  setup.params = LineParameters{9600, 8, 0, 0};
  const int line_number = data.ConsumeIntegralInRange<int>(-3, 70000);
  DriverRequest start{&work, kCmdLineStart, line_number, 0, &setup};
  if (QelMain(&start) != kOk) fuzz::Fail("the line does not start");

  // The timeouts the host and the settings file may give, short ones most often.
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      work.reply_timeout = data.ConsumeIntegralInRange<int32_t>(0, 20);
      break;
    case 1:
      work.reply_timeout = data.ConsumeIntegralInRange<int32_t>(100, 1000);
      break;
    default:
      work.reply_timeout = data.ConsumeIntegral<int32_t>();
      break;
  }
  SetTrailerTimeout(data.ConsumeBool() ? data.ConsumeIntegralInRange<int32_t>(10, 100)
                                       : data.ConsumeIntegralInRange<int32_t>(10, INT32_MAX / 10));
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0) {
    work.post_pause_ms = data.ConsumeIntegralInRange<uint32_t>(0, 5000);
  }

  fuzz::ScriptedController controller(data);
  controller.Install(line);
  for (int i = 0; i < 6 && data.remaining_bytes() > 0; ++i) {
    fuzz::OneTransfer(data, line, work, line_number);
  }
  qel::test::ClearLog();  // what stays behind from one input would look like a leak
  return 0;
}
