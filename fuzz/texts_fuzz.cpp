// The texts: the response check, the value conversions and the write request formatting with
// arbitrary texts, lengths, types and float bit patterns, each against the C library.
//
//   CheckResponseData   an "ERROR" report's number modulo 65536 (strtol on short numbers); 0
//                       for every other text; nothing read past the text's NUL or the length
//   ParseFloatValue     strtod in the "C" locale, rounded to single precision (hexadecimal
//                       numbers, "inf" and "nan" are no numbers to the driver: not compared)
//   ParseWordValue      strtoll modulo 65536
//   FormatFloatWrite    snprintf "%s=%f\r" when it fits, else -1; -1 for inf and NaN
//   FormatWordWrite     snprintf "%s=%u\r"
//   StoreValue          only the bytes of the type; CopyToCR never past its count or a CR
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "driver/gate/transfer.h"
#include "driver/gate/values.h"
#include "driver/protocol/response.h"
#include "fuzz/harness.h"
#include "tests/support/log_capture.h"

namespace qel::fuzz {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The rounding of a double to the nearest float, overflow to infinity included.
float ToFloat(double d) {
  constexpr double kHalfwayToOverflow = 0x1.ffffffp127;  // FLT_MAX + half its last step
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (std::fabs(d) >= kHalfwayToOverflow) {
    return d < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  }
  if (std::fabs(d) > std::numeric_limits<float>::max()) {
    return d < 0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
  }
  return static_cast<float>(d);
}

void CheckResponse(FuzzedDataProvider& data) {
  const auto max_length = data.ConsumeIntegral<uint16_t>();
  const auto line = data.ConsumeIntegral<uint16_t>();
  std::string body = data.ConsumeRandomLengthString(200);
  if (data.ConsumeBool()) body = "ERROR" + body;
  // The text in an allocation of exactly its size: a read past its NUL is a finding.
  std::vector<char> text(body.begin(), body.end());
  text.push_back('\0');
  test::ClearLog();
  const uint16_t got = CheckResponseData(text.data(), max_length, "$G", line);

  // The examined part: up to the NUL, the first CR, max_length and 99 characters.
  std::string examined(text.data());
  if (examined.size() > max_length) examined.resize(max_length);
  if (examined.size() > 99) examined.resize(99);
  const std::size_t cr = examined.find('\r');
  if (cr != std::string::npos) examined.resize(cr);
  if (examined.rfind("ERROR", 0) != 0) {
    QEL_FUZZ_CHECK(got == 0, got);
    QEL_FUZZ_CHECK(test::LoggedLines().empty());
    return;
  }
  QEL_FUZZ_CHECK(test::LoggedLines().size() == 1);
  const std::string message =
      "QELPRV" + std::to_string(line) + ": CheckResponseData() Error: Tag $G, " + examined;
  QEL_FUZZ_CHECK(test::LoggedTexts()[0] == message);
  // The number: short ones through strtol, longer ones modulo 65536 digit by digit.
  const char* p = examined.c_str() + 5;
  while (IsBlank(*p)) ++p;
  std::size_t digits = 0;
  const char* d = p + ((*p == '+' || *p == '-') ? 1 : 0);
  while (d[digits] >= '0' && d[digits] <= '9') ++digits;
  if (digits == 0) {
    QEL_FUZZ_CHECK(got == 0, got);
  } else if (digits <= 15) {
    const long long v = std::strtoll(p, nullptr, 10);
    QEL_FUZZ_CHECK(got == static_cast<uint16_t>(static_cast<unsigned long long>(v) & 0xFFFFu), got,
                   v);
  }
}

void CheckFloatParse(FuzzedDataProvider& data) {
  const std::string s = data.ConsumeRandomLengthString(400);
  bool found = false;
  const float got = ParseFloatValue(s.c_str(), &found);
  const char* p = s.c_str();
  while (IsBlank(*p)) ++p;
  const char* q = p + ((*p == '+' || *p == '-') ? 1 : 0);
  // Forms that strtod reads and the driver does not: hexadecimal, inf, nan.
  if (*q == 'i' || *q == 'I' || *q == 'n' || *q == 'N') return;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) return;
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  const bool c_found = end != s.c_str();
  QEL_FUZZ_CHECK(found == c_found);
  const float want = c_found ? ToFloat(d) : 0.0f;
  QEL_FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
}

void CheckWordParse(FuzzedDataProvider& data) {
  const std::string s = data.ConsumeRandomLengthString(60);
  bool found = false;
  const uint16_t got = ParseWordValue(s.c_str(), &found);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  QEL_FUZZ_CHECK(found == (end != s.c_str()));
  if (errno == 0) {
    QEL_FUZZ_CHECK(got == static_cast<uint16_t>(static_cast<unsigned long long>(v) & 0xFFFFu), got,
                   v);
  }
}

void CheckFormat(FuzzedDataProvider& data) {
  std::string name = data.ConsumeRandomLengthString(40);
  name = name.c_str();
  const auto size =
      data.ConsumeBool() ? std::size_t{50} : data.ConsumeIntegralInRange<std::size_t>(0, 120);
  float f = 0;
  const auto bits = data.ConsumeIntegral<uint32_t>();
  std::memcpy(&f, &bits, sizeof f);
  const auto word = data.ConsumeIntegral<uint16_t>();

  // The output in an allocation of exactly `size` bytes.
  std::vector<char> out(size, '\x7F');
  const int n = FormatFloatWrite(out.data(), size, name.c_str(), f);
  char want[512];
  const int w = std::snprintf(want, sizeof want, "%s=%f\r", name.c_str(), static_cast<double>(f));
  if (!std::isfinite(f) || size == 0 || static_cast<std::size_t>(w) > size - 1) {
    QEL_FUZZ_CHECK(n == -1, n, w);
  } else {
    QEL_FUZZ_CHECK(n == w, n, w);
    QEL_FUZZ_CHECK(std::memcmp(out.data(), want, static_cast<std::size_t>(w) + 1) == 0);
  }

  std::vector<char> out2(size, '\x7F');
  const int m = FormatWordWrite(out2.data(), size, name.c_str(), word);
  const int v =
      std::snprintf(want, sizeof want, "%s=%u\r", name.c_str(), static_cast<unsigned>(word));
  if (size == 0 || static_cast<std::size_t>(v) > size - 1) {
    QEL_FUZZ_CHECK(m == -1, m, v);
  } else {
    QEL_FUZZ_CHECK(m == v, m, v);
    QEL_FUZZ_CHECK(std::memcmp(out2.data(), want, static_cast<std::size_t>(v) + 1) == 0);
  }
}

void CheckStore(FuzzedDataProvider& data) {
  const auto type = data.ConsumeBool() ? (data.ConsumeBool() ? kTypeFloat : kTypeWord)
                                       : data.ConsumeIntegral<int32_t>();
  const auto count = data.ConsumeIntegralInRange<uint16_t>(0, 99);
  std::string source = data.ConsumeRandomLengthString(99);
  // CopyToCR reads at most `count` characters, and stops at a CR.
  std::vector<char> src(source.begin(), source.end());
  if (src.size() < count) src.resize(count, 'x');
  std::vector<char> text(100, '\0');
  CopyToCR(src.data(), count, text.data());
  for (std::size_t i = 0; i < count; ++i) {
    if (src[i] == '\r') {
      QEL_FUZZ_CHECK(text[i] == '\0');
      for (std::size_t j = i + 1; j < text.size(); ++j) QEL_FUZZ_CHECK(text[j] == '\0');
      break;
    }
    QEL_FUZZ_CHECK(text[i] == src[i]);
  }

  Guarded value(4);
  for (std::size_t i = 0; i < 4; ++i) value.data()[i] = data.ConsumeIntegral<uint8_t>();
  const std::vector<uint8_t> before = value.Snapshot();
  GateTransfer gate{};
  gate.name = "$G";
  gate.type = type;
  gate.value = value.data();
  StoreValue(gate, text.data());
  QEL_FUZZ_CHECK(value.GuardsIntact());
  bool found = false;
  if (type == kTypeFloat) {
    const float f = ParseFloatValue(text.data(), &found);
    QEL_FUZZ_CHECK(std::memcmp(value.data(), &f, sizeof f) == 0);
  } else if (type == kTypeWord) {
    const uint16_t w = ParseWordValue(text.data(), &found);
    QEL_FUZZ_CHECK(OnlyChanged(before, value.data(), {Range{2, 2}}));
    QEL_FUZZ_CHECK(value.data()[2] == (w & 0xFF) && value.data()[3] == (w >> 8));
  } else {
    QEL_FUZZ_CHECK(value.Snapshot() == before);
  }
}

}  // namespace
}  // namespace qel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  switch (data.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      qel::fuzz::CheckResponse(data);
      break;
    case 1:
      qel::fuzz::CheckFloatParse(data);
      break;
    case 2:
      qel::fuzz::CheckWordParse(data);
      break;
    case 3:
      qel::fuzz::CheckFormat(data);
      break;
    default:
      qel::fuzz::CheckStore(data);
      break;
  }
  qel::test::ClearLog();
  return 0;
}
