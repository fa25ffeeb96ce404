// The gate definition check (command 3).
#pragma once

#include <cstdint>

#include "driver/host/records.h"

namespace qel {

// Accepts (0) a gate whose name begins with "$" or "@" and whose type is 3 or 6; refuses (1)
// every other. Fills the definition fields and leaves the upper-cased name in the work area.
int32_t GateDefine(DriverRequest* request);

// Byte-wise upper-casing: every byte of 0x61 or above is lowered by 0x20.
inline char UpperCaseByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return static_cast<char>(b >= 0x61 ? b - 0x20 : b);
}

}  // namespace qel
