#include "tools/qelhost/line.h"

#include <cstring>

namespace qelhost {

ValueArea ValueArea::FromFloat(float f) {
  ValueArea v;
  std::memcpy(v.bytes, &f, sizeof f);
  return v;
}

ValueArea ValueArea::FromWord(uint16_t w) {
  ValueArea v;
  v.bytes[2] = static_cast<unsigned char>(w & 0xFF);
  v.bytes[3] = static_cast<unsigned char>(w >> 8);
  return v;
}

float ValueArea::AsFloat() const {
  float f = 0;
  std::memcpy(&f, bytes, sizeof f);
  return f;
}

uint16_t ValueArea::AsWord() const {
  return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8));
}

int Line::Call(int32_t command, void* arg) {
  qel::DriverRequest request{};
  request.work = &work_;
  request.command = command;
  request.line = line_;
  request.arg = arg;
  return qel_main_(&request);
}

int Line::Start(const LineOptions& options) {
  line_ = options.line;
  qel::LineSetup setup{};
  std::strncpy(setup.port_name, options.port.c_str(), sizeof setup.port_name - 1);
  setup.in_use = options.port.empty() ? 0 : 1;
  setup.reply_timeout = options.reply_timeout;
  setup.params.baud = options.baud;
  setup.params.data_bits = options.data_bits;
  setup.params.stop_bits = options.stop_bits;
  setup.params.parity = options.parity;
  return Call(qel::kCmdLineStart, &setup);
}

Definition Line::Define(const std::string& name, int32_t type, int32_t value) {
  Definition d;
  d.record.name = name.c_str();
  d.record.value = value;
  d.record.type = type;
  d.result = Call(qel::kCmdGateDefine, &d.record);
  d.record.name = nullptr;  // the name's storage is the caller's
  d.work_area_name.assign(work_.gate_name, strnlen(work_.gate_name, sizeof work_.gate_name));
  return d;
}

int Line::Read(const std::string& name, int32_t type, ValueArea* value) {
  qel::GateTransfer transfer{};
  transfer.name = name.c_str();
  transfer.type = type;
  transfer.value = value->bytes;
  return Call(qel::kCmdSingleRead, &transfer);
}

int Line::Write(const std::string& name, int32_t type, const ValueArea& value) {
  ValueArea area = value;
  qel::GateTransfer transfer{};
  transfer.name = name.c_str();
  transfer.type = type;
  transfer.value = area.bytes;
  return Call(qel::kCmdSingleWrite, &transfer);
}

int Line::Stop() {
  return Call(qel::kCmdLineStop, nullptr);
}

int Line::Describe(qel::DriverInfo* info) {
  *info = qel::DriverInfo{};
  return Call(qel::kCmdDriverInfo, info);
}

const char* ResultName(int result) {
  switch (result) {
    case qel::kOk:
      return "ok";
    case qel::kRefused:
      return "refused";
    case qel::kFailed:
      return "failed";
    default:
      return "unknown";
  }
}

const char* TypeName(int32_t type) {
  switch (type) {
    case qel::kTypeFloat:
      return "float";
    case qel::kTypeWord:
      return "word";
    default:
      return "other";
  }
}

}  // namespace qelhost
