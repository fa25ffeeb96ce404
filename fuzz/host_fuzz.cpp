// The host: sequences of QelMain calls with arbitrary command codes and record bytes on the fake
// line: names of any length (those of 32 bytes or more with no NUL at all), types, timeouts,
// port names, missing records, a work area that lives across the calls.
//
// Invariants, for every call:
//   - the result is one the command may give, and codes without a handler are refused;
//   - no byte of the work area or of the argument record outside the fields the command writes
//     changes, and no byte around them; names and value areas of other commands stay as they are;
//   - a read writes its value area only when it returns 0;
//   - the call ends within the line time that its timeouts allow;
//   - the commands that answer without a log line log nothing.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "fuzz/harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel::fuzz {
namespace {

constexpr std::size_t kWorkSize = sizeof(LineWorkArea);

// A name of any length in an allocation of exactly its size. Below 32 bytes it ends with a NUL
// (the host's side of the contract); from 32 bytes on it may have none at all.
std::unique_ptr<Guarded> AnyName(FuzzedDataProvider& data) {
  const std::string text = data.ConsumeRandomLengthString(70);
  const bool terminated = text.size() < kGateNameFieldSize || data.ConsumeBool();
  auto name = std::make_unique<Guarded>(text.size() + (terminated ? 1 : 0));
  if (!text.empty()) std::memcpy(name->data(), text.data(), text.size());
  if (terminated) name->data()[text.size()] = 0;
  return name;
}

void PortName(FuzzedDataProvider& data, char (&field)[kPortNameSize]) {
  static const char* const kNames[] = {"COM1", "COM2", "NUL", "ttyS0", "com1", "", "COM1 "};
  std::memset(field, 0, sizeof field);
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
    case 1: {
      const char* n = kNames[data.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
      std::memcpy(field, n, std::strlen(n));
      break;
    }
    case 2:
      std::memset(field, 'C', sizeof field);
      break;  // no NUL inside the field
    default: {
      const std::vector<uint8_t> b = data.ConsumeBytes<uint8_t>(sizeof field);
      if (!b.empty()) std::memcpy(field, b.data(), b.size());
    }
  }
}

int32_t ReplyTimeout(FuzzedDataProvider& data) {
  switch (data.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return 0;
    case 1:
      return data.ConsumeIntegralInRange<int32_t>(1, 30);
    case 2:
      return data.ConsumeIntegralInRange<int32_t>(-5, 150);
    case 3:
      return data.ConsumeBool() ? INT32_MAX : INT32_MIN;
    default:
      return data.ConsumeIntegral<int32_t>();
  }
}

void Fill(FuzzedDataProvider& data, uint8_t* p, std::size_t n) {
  const std::vector<uint8_t> b = data.ConsumeBytes<uint8_t>(n);
  if (!b.empty()) std::memcpy(p, b.data(), b.size());
}

bool ResultAllowed(int32_t command, int result) {
  switch (command) {
    case kCmdLineStart:
    case kCmdLineFlush:
    case kCmdLineStop:
    case kCmdPortClose:
    case kCmdPortOpen:
    case kCmdPortUpdate:
      return result == 0 || result == 2;
    case kCmdGateDefine:
    case kCmdDriverInfo:
      return result == 0 || result == 1;
    case kCmdSingleRead:
    case kCmdSingleWrite:
      return result >= 0 && result <= 2;
    default:
      return result == 1;  // 4, 6, 10 and the codes without a handler
  }
}

// The work area bytes a command may change.
std::vector<Range> WorkFields(int32_t command) {
  const Range reply{offsetof(LineWorkArea, reply_timeout), 4};
  const Range handle{offsetof(LineWorkArea, port_handle), 4};
  const Range in_use{offsetof(LineWorkArea, in_use), 4};
  switch (command) {
    case kCmdLineStart:
      return {reply, handle, in_use, Range{offsetof(LineWorkArea, port), sizeof(PortSettings)},
              Range{offsetof(LineWorkArea, post_pause_ms), 4}};
    case kCmdGateDefine:
      return {Range{offsetof(LineWorkArea, gate_name), kGateNameFieldSize}};
    case kCmdLineStop:
    case kCmdPortClose:
      return {handle};
    case kCmdPortOpen:
      return {handle, in_use};
    case kCmdPortUpdate:
      return {reply, handle, Range{offsetof(LineWorkArea, port.name), kPortNameSize},
              Range{offsetof(LineWorkArea, port.params), sizeof(LineParameters)}};
    default:
      return {};
  }
}

bool OnlyChangedIn(const std::vector<uint8_t>& before, const uint8_t* after,
                   const std::vector<Range>& allowed) {
  for (std::size_t i = 0; i < before.size(); ++i) {
    bool may = false;
    for (const Range& r : allowed) may |= i >= r.first && i < r.first + r.count;
    if (!may && before[i] != after[i]) return false;
  }
  return true;
}

class HostSequence {
 public:
  explicit HostSequence(FuzzedDataProvider& data) : data_(data), work_(kWorkSize) {
    std::memset(work_.data(), 0, kWorkSize);
    if (data_.ConsumeIntegralInRange<int>(0, 15) == 0) Fill(data_, work_.data(), kWorkSize);
    line_.AddDevice("COM1");
    line_.AddDevice("COM2", test::DeviceOptions{.shared = true});
    line_.AddDevice("ttyS0", test::DeviceOptions{.refuse_settings = data_.ConsumeBool()});
    controller_ = std::make_unique<ScriptedController>(data_);
    controller_->Install(line_);
  }

  void Step() {
    int32_t command = data_.ConsumeIntegralInRange<int32_t>(0, 15);
    if (data_.ConsumeIntegralInRange<int>(0, 31) == 0) command = data_.ConsumeIntegral<int32_t>();
    const int32_t line_number = data_.ConsumeBool() ? 1 : data_.ConsumeIntegral<int32_t>();
    const bool no_work = data_.ConsumeIntegralInRange<int>(0, 15) == 0;
    const bool no_arg = data_.ConsumeIntegralInRange<int>(0, 15) == 0;

    // The argument record, with the names and value area it points to.
    std::size_t arg_size = 64;
    switch (command) {
      case kCmdLineStart:
        arg_size = sizeof(LineSetup);
        break;
      case kCmdGateDefine:
        arg_size = sizeof(GateDefinition);
        break;
      case kCmdSingleRead:
      case kCmdBlockRead:
      case kCmdSingleWrite:
      case kCmdBlockWrite:
        arg_size = sizeof(GateTransfer);
        break;
      case kCmdDriverInfo:
        arg_size = sizeof(DriverInfo);
        break;
      case kCmdPortUpdate:
        arg_size = sizeof(PortUpdateRecord);
        break;
      default:
        break;
    }
    Guarded arg(arg_size);
    Fill(data_, arg.data(), arg_size);
    std::unique_ptr<Guarded> name;
    Guarded value(4);
    Fill(data_, value.data(), 4);
    int32_t type = 0;
    switch (command) {
      case kCmdLineStart: {
        auto* s = reinterpret_cast<LineSetup*>(arg.data());
        PortName(data_, s->port_name);
        s->in_use = data_.ConsumeIntegralInRange<int>(0, 3) == 0 ? 0 : 1;
        s->reply_timeout = ReplyTimeout(data_);
        break;
      }
      case kCmdPortUpdate: {
        auto* u = reinterpret_cast<PortUpdateRecord*>(arg.data());
        PortName(data_, u->port_name);
        u->reply_timeout = ReplyTimeout(data_);
        break;
      }
      case kCmdGateDefine: {
        auto* d = reinterpret_cast<GateDefinition*>(arg.data());
        name = AnyName(data_);
        d->name = data_.ConsumeIntegralInRange<int>(0, 15) == 0
                      ? nullptr
                      : reinterpret_cast<const char*>(name->data());
        break;
      }
      case kCmdSingleRead:
      case kCmdBlockRead:
      case kCmdSingleWrite:
      case kCmdBlockWrite: {
        auto* g = reinterpret_cast<GateTransfer*>(arg.data());
        name = AnyName(data_);
        g->name = data_.ConsumeIntegralInRange<int>(0, 15) == 0
                      ? nullptr
                      : reinterpret_cast<const char*>(name->data());
        switch (data_.ConsumeIntegralInRange<int>(0, 2)) {
          case 0:
            g->type = kTypeFloat;
            break;
          case 1:
            g->type = kTypeWord;
            break;
          default:
            break;  // the type the bytes give
        }
        type = g->type;
        g->value = data_.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : value.data();
        break;
      }
      default:
        break;
    }

    DriverRequest request{no_work ? nullptr : reinterpret_cast<LineWorkArea*>(work_.data()),
                          command, line_number, data_.ConsumeIntegral<int32_t>(),
                          no_arg ? nullptr : arg.data()};
    const DriverRequest request_before = request;
    const std::vector<uint8_t> work_before = work_.Snapshot();
    const std::vector<uint8_t> arg_before = arg.Snapshot();
    const std::vector<uint8_t> value_before = value.Snapshot();
    const std::vector<uint8_t> name_before = name ? name->Snapshot() : std::vector<uint8_t>{};
    const LineTimeBound bound = BoundOf(*reinterpret_cast<const LineWorkArea*>(work_before.data()));
    const int64_t start = line_.Now();
    test::ClearLog();

    const int result = QelMain(&request);

    const int64_t elapsed = line_.Now() - start;
    QEL_FUZZ_CHECK(ResultAllowed(command, result), command, result);
    QEL_FUZZ_CHECK(elapsed <= bound.For(command), elapsed, bound.For(command));
    QEL_FUZZ_CHECK(std::memcmp(&request, &request_before, sizeof request) == 0);
    QEL_FUZZ_CHECK(work_.GuardsIntact() && arg.GuardsIntact() && value.GuardsIntact());
    QEL_FUZZ_CHECK(!name || (name->GuardsIntact() && name->Snapshot() == name_before));
    QEL_FUZZ_CHECK(OnlyChangedIn(work_before, work_.data(), WorkFields(command)), command);

    std::vector<Range> arg_fields;
    if (command == kCmdGateDefine) {
      arg_fields = {
          Range{offsetof(GateDefinition, zero1), 4}, Range{offsetof(GateDefinition, zero2), 4},
          Range{offsetof(GateDefinition, copy), 4}, Range{offsetof(GateDefinition, max), 4},
          Range{offsetof(GateDefinition, bits), 4}};
    } else if (command == kCmdDriverInfo) {
      arg_fields = {Range{offsetof(DriverInfo, code), 4},
                    Range{offsetof(DriverInfo, short_name), sizeof(void*)},
                    Range{offsetof(DriverInfo, banner), sizeof(void*)},
                    Range{offsetof(DriverInfo, work_area_size), 4},
                    Range{offsetof(DriverInfo, four), 4},
                    Range{offsetof(DriverInfo, defaults), sizeof(LineParameters)},
                    Range{offsetof(DriverInfo, three), 4}};
    }
    QEL_FUZZ_CHECK(OnlyChangedIn(arg_before, arg.data(), arg_fields), command);

    // The value area: only a read that returns 0 writes it, and only its type's bytes.
    if (command == kCmdSingleRead && result == 0 && type == kTypeFloat) {
      QEL_FUZZ_CHECK(OnlyChangedIn(value_before, value.data(), {Range{0, 4}}));
    } else if (command == kCmdSingleRead && result == 0 && type == kTypeWord) {
      QEL_FUZZ_CHECK(OnlyChangedIn(value_before, value.data(), {Range{2, 2}}));
    } else {
      QEL_FUZZ_CHECK(value.Snapshot() == value_before, command, result);
    }

    // Commands that answer without a log line.
    switch (command) {
      case kCmdGateDefine:
      case kCmdGateDefineAlt:
      case kCmdLineStop:
      case kCmdPortClose:
      case kCmdPortOpen:
      case kCmdDriverInfo:
      case kCmdPortUpdate:
        QEL_FUZZ_CHECK(test::LoggedLines().empty(), command);
        break;
      default:
        if (command < 0 || command > 15 || command == 0 || command == 8 || command == 9) {
          QEL_FUZZ_CHECK(test::LoggedLines().empty(), command);
        }
    }
  }

 private:
  FuzzedDataProvider& data_;
  test::FakeLine line_;
  Guarded work_;
  std::unique_ptr<ScriptedController> controller_;
};

}  // namespace
}  // namespace qel::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qel::fuzz::EnterScratchDirectory(argc, argv, "host");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  qel::fuzz::HostSequence sequence(data);
  for (int i = 0; i < 12 && data.remaining_bytes() > 0; ++i) sequence.Step();
  qel::test::ClearLog();  // what stays behind from one input would look like a leak
  return 0;
}
