// Values on the line travel as decimal text; these convert them to and from the host's value
// area. Every conversion is independent of the process's locale.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

// Reads a decimal floating-point number as strtod would in the "C" locale (blanks, sign, digits
// with an optional point, optional exponent; stops at the first other character), converted to
// double and rounded to single precision. *found tells whether the text held a number; without
// one the value is 0.
float ParseFloatValue(const char* text, bool* found);

// Reads a decimal integer (blanks, optional sign, digits) and returns its value modulo 65536
// (a negative value gives its 16-bit two's-complement pattern). *found: whether a digit came.
uint16_t ParseWordValue(const char* text, bool* found);

// Formats the request text "name=value\r" into out: a float widened to double in fixed notation
// with six decimals, a word in decimal. Returns the length, or -1 when it does not fit size - 1
// characters or the float is not finite.
int FormatFloatWrite(char* out, std::size_t size, const char* name, float value);
int FormatWordWrite(char* out, std::size_t size, const char* name, uint16_t value);

}  // namespace qel
