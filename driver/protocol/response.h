// Recognising a controller's error report in a reply text, and the controller's error texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

inline constexpr std::size_t kResponseCopySize = 100;  // 99 characters and the terminator

// Looks at text up to its first CR or its end, at most max_length characters. When it begins with
// "ERROR", logs it with the gate name and the line number and returns the number that follows,
// reduced to 16 bits (0 when there are no digits). Any other text gives 0 without a message.
uint16_t CheckResponseData(const char* text, uint16_t max_length, const char* gate_name,
                           uint16_t line);

// Writes the text for a controller error number into out (always terminated); the default is
// "ERROR <number>". Returns out.
const char* ControllerErrorText(int number, char* out, std::size_t size);

// The error number of a report as CheckResponseData returns it, as the table knows it (-1 for
// the 16-bit pattern 0xFFFF).
inline int ControllerErrorNumber(uint16_t reported) {
  return static_cast<int16_t>(reported);
}

}  // namespace qel
