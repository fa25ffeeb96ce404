// The response check and the controller error texts.
#include "driver/protocol/response.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/gate_line.h"

namespace qel {
namespace {

using test::LogLine;
using test::Visible;

const std::string S = "\x02";
const std::string E = "\x03";

// The response check.
struct CheckCase {
  std::string text;
  uint16_t max;
  uint16_t result;
  const char* logged;  // the copy in the message, or nullptr for no message
};

TEST(CheckResponseDataTest, Texts) {
  const std::string stx_block = S + "00ERROR 13\r" + E;
  const CheckCase cases[] = {
      {"ERROR 13\r", 9, 13, "ERROR 13"},
      {"ERROR 13\rmore", 13, 13, "ERROR 13"},
      {"ERROR13", 7, 13, "ERROR13"},
      {"ERROR", 5, 0, "ERROR"},
      {"ERROR 0", 7, 0, "ERROR 0"},
      {"ERRORabc", 8, 0, "ERRORabc"},
      {"ERROR \t+7", 9, 7, "ERROR \t+7"},
      {"Error 13", 8, 0, nullptr},
      {" ERROR 13", 9, 0, nullptr},
      {"\rERROR 13", 9, 0, nullptr},
      {"ERROR 13", 0, 0, nullptr},
      {"ERROR 13", 4, 0, nullptr},
      {"ERROR 123", 7, 1, "ERROR 1"},
      {"ERROR 13", 200, 13, "ERROR 13"},
      {"ERROR -1", 8, 65535, "ERROR -1"},
      {"ERROR 65536", 11, 0, "ERROR 65536"},
      {"ERROR 4294967309", 16, 13, "ERROR 4294967309"},  // 2^32 + 13: the low 16 bits, no clamp
      {stx_block, static_cast<uint16_t>(stx_block.size()), 0, nullptr},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(Visible(c.text) + " max " + std::to_string(c.max));
    test::ClearLog();
    EXPECT_EQ(CheckResponseData(c.text.c_str(), c.max, "$G", 7), c.result);
    const std::vector<LogLine> log = test::LoggedLines();
    if (c.logged == nullptr) {
      EXPECT_TRUE(log.empty());
    } else {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0], (LogLine{32, std::string("QELPRV7: CheckResponseData() Error: Tag $G, ") +
                                         c.logged}));
    }
  }
}

TEST(CheckResponseDataTest, ShowsTheLineNumberUnsignedAndNeverCopiesMoreThanItHolds) {
  test::ClearLog();
  EXPECT_EQ(CheckResponseData("ERROR 41", 8, "@F", 65535), 41);
  const std::string long_text = "ERROR 9" + std::string(150, ' ');
  EXPECT_EQ(CheckResponseData(long_text.c_str(), 200, "@F", 0), 9);
  const std::vector<LogLine> log = test::LoggedLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].text, "QELPRV65535: CheckResponseData() Error: Tag @F, ERROR 41");
  EXPECT_EQ(log[1].text, "QELPRV0: CheckResponseData() Error: Tag @F, " + long_text.substr(0, 99));
}

TEST(ControllerErrorTextTest, EveryRowAndTheDefault) {
  const std::pair<int, const char*> rows[] = {
      {-1, "QELPRV: Illegal header in PLC Response"},
      {13, "Invalid Gate Name"},
      {26, "Illegal Value"},
      {41, "Variable does not exist"},
      {82, "Read Only / Write Only gate"},
      {84, "Nonexistent process image point"},
      {86, "Module Trouble"},
      {87, "I/O Module Not Connected"},
      {89, "Illegal Parameter Name"},
      {0, "ERROR 0"},
      {1, "ERROR 1"},
      {14, "ERROR 14"},
      {88, "ERROR 88"},
      {90, "ERROR 90"},
      {-2, "ERROR -2"},
      {65535, "ERROR 65535"},
      {-2147483647 - 1, "ERROR -2147483648"},
  };
  for (const auto& [number, text] : rows) {
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ControllerErrorText(number, out, sizeof out), out);
    EXPECT_STREQ(out, text) << number;
  }
}

TEST(ControllerErrorTextTest, StaysInsideTheCallersBuffer) {
  char out[8];
  std::memset(out, '#', sizeof out);
  ControllerErrorText(13, out, 6);
  EXPECT_STREQ(out, "Inval");
  EXPECT_EQ(out[6], '#');
  ControllerErrorText(-100000, out, 6);
  EXPECT_STREQ(out, "ERROR");
  std::memset(out, '#', sizeof out);
  ControllerErrorText(13, out, 0);
  EXPECT_EQ(out[0], '#');
}

TEST(ControllerErrorTextTest, ReportedNumbersAreSixteenBitsTwosComplement) {
  EXPECT_EQ(ControllerErrorNumber(0xFFFF), -1);
  EXPECT_EQ(ControllerErrorNumber(13), 13);
  EXPECT_EQ(ControllerErrorNumber(0x8000), -32768);
}

}  // namespace
}  // namespace qel
