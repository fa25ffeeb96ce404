// Value texts on the line: the float and word readers against the C library's own readers, and
// the float write text against printf's "%f", over many values.
#include "driver/gate/values.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace qel {
namespace {

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

float FromBits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// What "%f" makes of a float widened to double, in the request text of gate "".
std::string PrintfRequest(float f) {
  char text[80];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(f));
  return std::string("=") + text + "\r";
}

std::string FormattedRequest(float f) {
  char out[80];
  const int n = FormatFloatWrite(out, sizeof out, "", f);
  return n < 0 ? std::string("<refused>") : std::string(out, static_cast<std::size_t>(n));
}

TEST(FloatWriteTest, MatchesPrintfOverRandomBitPatterns) {
  std::mt19937 random(20240601u);
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const float f = FromBits(static_cast<uint32_t>(random()));
    if (!std::isfinite(f)) continue;
    ASSERT_EQ(FormattedRequest(f), PrintfRequest(f)) << "bits 0x" << std::hex << Bits(f);
    ++compared;
  }
  EXPECT_GT(compared, 19000);
}

TEST(FloatWriteTest, MatchesPrintfOnTiesAndOrdinaryValues) {
  // m / 128 with m odd ends in a 5 at the seventh decimal: printf rounds such ties to even.
  for (int m = 1; m < 6000; m += 2) {
    const float f = static_cast<float>(m) / 128.0f;
    ASSERT_EQ(FormattedRequest(f), PrintfRequest(f)) << m << "/128";
    ASSERT_EQ(FormattedRequest(-f), PrintfRequest(-f)) << "-" << m << "/128";
  }
  for (int k = -100000; k <= 100000; k += 41) {
    const float f = static_cast<float>(k) / 100.0f;
    ASSERT_EQ(FormattedRequest(f), PrintfRequest(f)) << k << "/100";
  }
  for (float f : {0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                  std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                  -std::numeric_limits<float>::max(), 5e-7f, 4.9999997e-7f}) {
    EXPECT_EQ(FormattedRequest(f), PrintfRequest(f)) << "bits 0x" << std::hex << Bits(f);
  }
}

TEST(FloatWriteTest, RefusesWhatCannotBeSent) {
  char out[50];
  EXPECT_EQ(FormatFloatWrite(out, sizeof out, "$T", std::numeric_limits<float>::infinity()), -1);
  EXPECT_EQ(FormatFloatWrite(out, sizeof out, "$T", std::numeric_limits<float>::quiet_NaN()), -1);
  // 49 characters fit the 50-byte buffer, 50 do not.
  const std::string name31 = "$" + std::string(30, 'n');
  EXPECT_EQ(FormatFloatWrite(out, sizeof out, name31.c_str(), 1e8f), 49);
  EXPECT_EQ(std::string(out), name31 + "=100000000.000000\r");
  EXPECT_EQ(FormatFloatWrite(out, sizeof out, name31.c_str(), -1e8f), -1);
  EXPECT_EQ(FormatFloatWrite(out, 0, "$T", 1.0f), -1);
  EXPECT_EQ(FormatWordWrite(out, sizeof out, name31.c_str(), 65535), 38);
  EXPECT_EQ(std::string(out), name31 + "=65535\r");
}

// The reference: strtod in the "C" locale, rounded to single precision.
float ReferenceFloat(const char* text, bool* found) {
  char* end = nullptr;
  const double d = std::strtod(text, &end);
  *found = end != text;
  if (std::fabs(d) > std::numeric_limits<float>::max() && std::isfinite(d)) {
    // Beyond the largest float: rounds to it up to the halfway point, to infinity from there.
    const double halfway = static_cast<double>(std::numeric_limits<float>::max()) + 0x1p103;
    const float big = std::fabs(d) < halfway ? std::numeric_limits<float>::max()
                                             : std::numeric_limits<float>::infinity();
    return d < 0 ? -big : big;
  }
  return static_cast<float>(d);
}

void ExpectSameAsStrtod(const std::string& text) {
  bool found = false;
  bool reference_found = false;
  const float got = ParseFloatValue(text.c_str(), &found);
  const float want = ReferenceFloat(text.c_str(), &reference_found);
  ASSERT_EQ(found, reference_found) << "'" << text << "'";
  ASSERT_EQ(Bits(got), Bits(found ? want : 0.0f)) << "'" << text << "' " << got << " " << want;
}

TEST(FloatReadTest, MatchesStrtodOnPrintedValues) {
  std::mt19937 random(7u);
  char text[96];
  for (int i = 0; i < 8000; ++i) {
    const float f = FromBits(static_cast<uint32_t>(random()));
    if (!std::isfinite(f)) continue;
    const double d = static_cast<double>(f);
    std::snprintf(text, sizeof text, "%.9g", d);
    ExpectSameAsStrtod(text);
    std::snprintf(text, sizeof text, "%.17e", d);
    ExpectSameAsStrtod(text);
    std::snprintf(text, sizeof text, "%.2f", d);
    ExpectSameAsStrtod(text);
  }
}

TEST(FloatReadTest, MatchesStrtodOnRandomTexts) {
  std::mt19937 random(11u);
  const char alphabet[] = " +-.eE0123456789ab\t";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k) text += alphabet[random() % (sizeof alphabet - 1)];
    ExpectSameAsStrtod(text);
  }
  for (const char* text :
       {"1e400", "-1e400", "1e-400", "-1e-400", "3.4028235e38", "3.40282357e38", "3.4028236e38",
        "1.4e-45", "7e-46", "0x1A", "inf", "nan", ".5", "5.", "1e+", "1e-x", "  \n\v\f\r-0"}) {
    bool found = false;
    const float got = ParseFloatValue(text, &found);
    if (std::strcmp(text, "inf") == 0 || std::strcmp(text, "nan") == 0) {
      // Only decimal numbers are values on this line.
      EXPECT_FALSE(found) << text;
      EXPECT_EQ(Bits(got), 0u) << text;
    } else if (std::strcmp(text, "0x1A") == 0) {
      EXPECT_EQ(got, 0.0f);  // the "0" before the x
      EXPECT_TRUE(found);
    } else {
      ExpectSameAsStrtod(text);
    }
  }
}

TEST(WordReadTest, MatchesStrtollModulo65536) {
  std::mt19937 random(3u);
  const char alphabet[] = " +-0123456789.x";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int length = static_cast<int>(random() % 14);
    for (int k = 0; k < length; ++k) text += alphabet[random() % (sizeof alphabet - 1)];
    char* end = nullptr;
    const long long reference = std::strtoll(text.c_str(), &end, 10);
    // strtoll with base 10 reads "0x" as 0 followed by other text, as wanted here.
    bool found = false;
    const uint16_t got = ParseWordValue(text.c_str(), &found);
    ASSERT_EQ(found, end != text.c_str()) << "'" << text << "'";
    ASSERT_EQ(got, static_cast<uint16_t>(static_cast<unsigned long long>(reference) & 0xFFFFu))
        << "'" << text << "'";
  }
  bool found = false;
  EXPECT_EQ(ParseWordValue("99999999999999999999", &found), 65535);  // the value mod 65536
  EXPECT_TRUE(found);
}

TEST(ValuesTest, IndependentOfTheProcessLocale) {
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German"};
  const char* chosen = nullptr;
  for (const char* n : names) {
    if (std::setlocale(LC_NUMERIC, n) != nullptr) {
      chosen = n;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma on this machine";
  bool found = false;
  const float f = ParseFloatValue("21.5", &found);
  char out[50];
  const int n = FormatFloatWrite(out, sizeof out, "$T", -2.5f);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(f, 21.5f) << chosen;
  EXPECT_EQ(std::string(out, n > 0 ? static_cast<std::size_t>(n) : 0), "$T=-2.500000\r");
}

}  // namespace
}  // namespace qel
