// A host as small as a real one: it loads the built module with dlopen, resolves QelMain, and
// reaches the driver only through it, with the host records of driver/host/records.h. The
// driver's log lines arrive through the stand-in log library's SaptorSetSink, which the module
// brought into the process.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "driver/host/records.h"

namespace qel::e2e {

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};
void PrintTo(const LogLine& line, std::ostream* os);

// The module, loaded once per process. Module() fails the test (and returns nullptr) when it
// does not load, or when QelMain or the log library is missing.
class LoadedModule {
 public:
  static LoadedModule* Get();

  QelMainFn qel_main() const { return qel_main_; }
  // Every line logged since the last ClearLog(), in order.
  std::vector<LogLine> Log() const;
  void ClearLog();

 private:
  LoadedModule() = default;
  bool Load();
  QelMainFn qel_main_ = nullptr;
};

// A gate's value area as the host keeps it: 4 bytes, a float in 0..3 or a word in 2..3.
struct ValueArea {
  unsigned char bytes[4] = {};

  static ValueArea Float(float f) {
    ValueArea v;
    std::memcpy(v.bytes, &f, sizeof f);
    return v;
  }
  // Bytes 0 and 1 get a pattern that a word transfer must leave alone.
  static ValueArea Word(uint16_t w) {
    ValueArea v;
    v.bytes[0] = 0xA5;
    v.bytes[1] = 0x5A;
    v.bytes[2] = static_cast<unsigned char>(w & 0xFF);
    v.bytes[3] = static_cast<unsigned char>(w >> 8);
    return v;
  }
  float AsFloat() const {
    float f = 0;
    std::memcpy(&f, bytes, sizeof f);
    return f;
  }
  uint16_t AsWord() const { return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8)); }
  bool operator==(const ValueArea&) const = default;
};

// One communication line of the host: its work area and the commands on it.
class HostLine {
 public:
  explicit HostLine(QelMainFn qel_main, int32_t line = 1) : qel_main_(qel_main), line_(line) {}

  int Call(int32_t command, void* arg);
  // LineStart with the line in use, 9600 baud, 8 data bits, one stop bit, no parity.
  int Start(const std::string& port, int32_t reply_ticks);
  int Define(const char* name, int32_t type, GateDefinition* definition = nullptr);
  int Read(const char* name, int32_t type, ValueArea* value);
  int Write(const char* name, int32_t type, ValueArea value);
  // PortUpdate: a port name and 9600 8N1; reply_ticks 0 keeps the line's reply timeout.
  int Update(const std::string& port, int32_t reply_ticks);
  int Close() { return Call(kCmdPortClose, nullptr); }
  int Open() { return Call(kCmdPortOpen, nullptr); }
  int Stop() { return Call(kCmdLineStop, nullptr); }

  LineWorkArea work{};

 private:
  QelMainFn qel_main_;
  int32_t line_;
};

}  // namespace qel::e2e
