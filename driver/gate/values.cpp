#include "driver/gate/values.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace qel {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Rounds a double to the nearest float, overflowing to infinity as IEEE-754 does, without the
// undefined conversion of an out-of-range value.
float RoundToFloat(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between FLT_MAX and the next value the format would have (2^128).
  constexpr double kOverflow = kMax + 0x1p103;
  if (std::fabs(d) < kOverflow) {
    if (std::fabs(d) > kMax)
      return d < 0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
    return static_cast<float>(d);
  }
  return d < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
}

}  // namespace

float ParseFloatValue(const char* text, bool* found) {
  *found = false;
  const char* p = text;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // The extent of the number: digits, an optional point with digits, an optional exponent that
  // counts only when a digit follows it.
  const char* start = p;
  int digits = 0;
  int leading_position = 0;  // decimal position of the first non-zero digit, for range errors
  bool seen_nonzero = false;
  bool after_point = false;
  int integer_digits = 0;
  int zeros_after_point = 0;
  for (;; ++p) {
    if (IsDigit(*p)) {
      ++digits;
      if (!after_point) {
        if (seen_nonzero || *p != '0') ++integer_digits;
      } else if (!seen_nonzero && *p == '0') {
        ++zeros_after_point;
      }
      if (*p != '0') seen_nonzero = true;
    } else if (*p == '.' && !after_point) {
      after_point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return 0.0f;
  const char* end = p;
  long exponent = 0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    bool exp_negative = false;
    if (*q == '+' || *q == '-') {
      exp_negative = *q == '-';
      ++q;
    }
    if (IsDigit(*q)) {
      for (; IsDigit(*q); ++q) {
        if (exponent < 100000) exponent = exponent * 10 + (*q - '0');
      }
      if (exp_negative) exponent = -exponent;
      end = q;
    }
  }
  *found = true;
  leading_position = integer_digits > 0 ? integer_digits : -zeros_after_point;

  double d = 0.0;
  const auto [ptr, ec] = std::from_chars(start, end, d, std::chars_format::general);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Beyond the range of a double: overflow gives infinity, underflow zero.
    d = (leading_position + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc{}) {
    d = 0.0;
  }
  return RoundToFloat(negative ? -d : d);
}

uint16_t ParseWordValue(const char* text, bool* found) {
  const char* p = text;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  *found = IsDigit(*p);
  uint32_t value = 0;  // wraps on purpose: only the value modulo 65536 is kept
  for (; IsDigit(*p); ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<uint16_t>(value & 0xFFFFu);
}

namespace {

// Appends name, "=", the value text and CR; -1 when it does not fit.
int Compose(char* out, std::size_t size, const char* name, const char* value, std::size_t n) {
  const std::size_t name_length = std::strlen(name);
  const std::size_t total = name_length + 1 + n + 1;
  if (size == 0 || total > size - 1) return -1;
  std::memcpy(out, name, name_length);
  out[name_length] = '=';
  std::memcpy(out + name_length + 1, value, n);
  out[total - 1] = '\r';
  out[total] = '\0';
  return static_cast<int>(total);
}

}  // namespace

int FormatFloatWrite(char* out, std::size_t size, const char* name, float value) {
  if (!std::isfinite(value)) return -1;
  // Fixed notation with six decimals, as "%f" prints it; at most 39 + 1 + 6 characters.
  char text[64];
  const auto [ptr, ec] = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                       std::chars_format::fixed, 6);
  if (ec != std::errc{}) return -1;
  return Compose(out, size, name, text, static_cast<std::size_t>(ptr - text));
}

int FormatWordWrite(char* out, std::size_t size, const char* name, uint16_t value) {
  char text[8];
  const auto [ptr, ec] = std::to_chars(text, text + sizeof text, static_cast<unsigned>(value));
  if (ec != std::errc{}) return -1;
  return Compose(out, size, name, text, static_cast<std::size_t>(ptr - text));
}

}  // namespace qel
