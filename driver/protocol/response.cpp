#include "driver/protocol/response.h"

#include <cstdio>
#include <cstring>

#include "driver/host/log.h"

namespace qel {

namespace {

constexpr char kCr = '\r';

struct ErrorRow {
  int number;
  const char* text;
};

constexpr ErrorRow kErrorTexts[] = {
    {-1, "QELPRV: Illegal header in PLC Response"},
    {13, "Invalid Gate Name"},
    {26, "Illegal Value"},
    {41, "Variable does not exist"},
    {82, "Read Only / Write Only gate"},
    {84, "Nonexistent process image point"},
    {86, "Module Trouble"},
    {87, "I/O Module Not Connected"},
    {89, "Illegal Parameter Name"},
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

uint16_t CheckResponseData(const char* text, uint16_t max_length, const char* gate_name,
                           uint16_t line) {
  char copy[kResponseCopySize] = {};
  // The copy ends at the first CR or at the text's end, and holds at most max_length characters
  // (never more than it has room for with its terminator).
  const std::size_t limit = max_length < kResponseCopySize - 1 ? max_length : kResponseCopySize - 1;
  for (std::size_t i = 0; i < limit; ++i) {
    copy[i] = text[i];
    if (text[i] == kCr) {
      copy[i] = '\0';
      break;
    }
    if (text[i] == '\0') break;
  }

  if (std::strncmp(copy, "ERROR", 5) != 0) return 0;

  // The number after "ERROR": blanks skipped, an optional sign, decimal digits. Only its low 16
  // bits are kept, so the arithmetic wraps on purpose.
  const char* p = copy + 5;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t number = 0;
  for (; *p >= '0' && *p <= '9'; ++p) number = number * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) number = 0u - number;

  err(kLogNotice, "QELPRV%d: CheckResponseData() Error: Tag %s, %s", static_cast<int>(line),
      gate_name, copy);
  return static_cast<uint16_t>(number & 0xFFFFu);
}

const char* ControllerErrorText(int number, char* out, std::size_t size) {
  if (size == 0) return out;
  for (const ErrorRow& row : kErrorTexts) {
    if (row.number == number) {
      std::snprintf(out, size, "%s", row.text);
      return out;
    }
  }
  std::snprintf(out, size, "ERROR %d", number);
  return out;
}

}  // namespace qel
