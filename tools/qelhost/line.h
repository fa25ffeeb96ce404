// One communication line as a host drives it: a zeroed work area that lives as long as the
// line, the host's records for each command, and the results that QelMain gives back.
#pragma once

#include <cstdint>
#include <string>

#include "driver/host/records.h"

namespace qelhost {

// What the host gives the line start-up.
struct LineOptions {
  std::string port;  // empty: the line is started without a port (in-use flag 0)
  uint16_t baud = 9600;
  uint16_t data_bits = 8;
  uint16_t stop_bits = 0;       // code: 0 one, 1 one and a half, 2 two
  uint16_t parity = 0;          // code: 0 none, 1 odd, 2 even, 3 mark, 4 space
  int32_t reply_timeout = 100;  // ticks of 10 ms
  int32_t line = 1;
};

// A gate's value area: four bytes, a float in bytes 0..3 or a word in bytes 2..3.
struct ValueArea {
  alignas(4) unsigned char bytes[4] = {};

  static ValueArea FromFloat(float f);
  static ValueArea FromWord(uint16_t w);
  float AsFloat() const;
  uint16_t AsWord() const;
};

// The result of a definition check, with the record as the driver left it.
struct Definition {
  int result = 0;
  qel::GateDefinition record{};
  std::string work_area_name;  // the gate-name field of the work area afterwards
};

class Line {
 public:
  explicit Line(QelMainFn qel_main) : qel_main_(qel_main) {}

  // Command 1: the line start-up with a LineSetup made from the options.
  int Start(const LineOptions& options);
  // Command 3.
  Definition Define(const std::string& name, int32_t type, int32_t value);
  // Commands 5 and 7.
  int Read(const std::string& name, int32_t type, ValueArea* value);
  int Write(const std::string& name, int32_t type, const ValueArea& value);
  // Command 11.
  int Stop();
  // Command 14. Needs no started line.
  int Describe(qel::DriverInfo* info);

  bool port_open() const { return work_.port_handle != 0; }
  const qel::LineWorkArea& work_area() const { return work_; }

 private:
  int Call(int32_t command, void* arg);

  QelMainFn qel_main_;
  qel::LineWorkArea work_{};
  int32_t line_ = 1;
};

const char* ResultName(int result);  // "ok", "refused", "failed"
const char* TypeName(int32_t type);  // "float", "word", "type N" for others

}  // namespace qelhost
