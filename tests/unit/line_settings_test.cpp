// The line settings file: its name from the line number, its lines and pieces, the one key and
// its number rules, the log lines and the trailer timeout they leave behind.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "driver/host/entry.h"
#include "driver/host/records.h"
#include "driver/line/settings.h"
#include "driver/line/trailer_timeout.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_current_dir.h"

namespace qel {
namespace {

using Texts = std::vector<std::string>;

const char kNotFound[] = "QelPRV : Init File QELPRV.INT not found !";
const char kAssuming[] =
    "QelPRV: Check for MSG_TRAILER_TIMEOUT = in your int file. Assuming MSG_TRAILER_TIMEOUT = 100";

std::string Accepted(int value) {
  return "QelPRV: MSG_TRAILER_TIMEOUT = " + std::to_string(value);
}
std::string Low(int line) {
  return "QelPRV: Illegal line " + std::to_string(line) + " in Int File";
}
std::string Bad(int line) {
  return "QELPRV> Illegal line " + std::to_string(line) + " in Int File";
}

class LineSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearLog(); }

  // Reads the settings of `line` with TrailerTimeout set to something no file gives first, so
  // the reset to 10 shows.
  void Read(int32_t line) {
    SetTrailerTimeout(7777);
    test::ClearLog();
    const DriverRequest request{nullptr, kCmdLineStart, line, 0, nullptr};
    ReadLineSettings(&request);
  }

  test::ScopedCurrentDir dir_;
};

TEST_F(LineSettingsTest, FileContentsGiveTheirLogLinesAndTrailerTimeout) {
  struct Case {
    const char* what;
    std::optional<std::string> contents;  // nothing: no file at all
    Texts log;
    int32_t ticks;
  };
  const std::string long_key_line = [] {
    // 300 characters and LF; the second piece begins exactly at character 256.
    std::string s = "MSG_TRAILER_TIMEOUT = 250";
    s.resize(255, ' ');
    s += "MSG_TRAILER_TIMEOUT = 400";
    s.resize(300, 'y');
    return s + "\n";
  }();
  const Case cases[] = {
      {"no file", std::nullopt, {kNotFound}, 10},
      {"empty file", "", {}, 10},
      {"250", "MSG_TRAILER_TIMEOUT = 250\n", {Accepted(250)}, 25},
      {"250 without blanks", "MSG_TRAILER_TIMEOUT=250\n", {Accepted(250)}, 25},
      {"250 with a word after it", "MSG_TRAILER_TIMEOUT = 250 ms\n", {Accepted(250)}, 25},
      {"250 with tabs and a sign", "MSG_TRAILER_TIMEOUT\t=\t+250ms\n", {Accepted(250)}, 25},
      {"last line without LF", "MSG_TRAILER_TIMEOUT = 250", {Accepted(250)}, 25},
      {"remainder dropped", "MSG_TRAILER_TIMEOUT = 199\n", {Accepted(199)}, 19},
      {"hexadecimal", "MSG_TRAILER_TIMEOUT = 0x12C\n", {Accepted(300)}, 30},
      {"signed hexadecimal", "MSG_TRAILER_TIMEOUT = +0X12c\n", {Accepted(300)}, 30},
      {"octal", "MSG_TRAILER_TIMEOUT = 0144\n", {Accepted(100)}, 10},
      {"largest value", "MSG_TRAILER_TIMEOUT = 2147483647\n", {Accepted(INT32_MAX)}, 214748364},
      {"99 on line 3 after 500",
       "MSG_TRAILER_TIMEOUT = 500\n\nMSG_TRAILER_TIMEOUT = 99\n",
       {Accepted(500), Low(3), kAssuming},
       10},
      {"0",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = 0\n",
       {Accepted(300), Low(2), kAssuming},
       10},
      {"-5",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = -5\n",
       {Accepted(300), Low(2), kAssuming},
       10},
      {"smallest value", "MSG_TRAILER_TIMEOUT = -2147483648\n", {Low(1), kAssuming}, 10},
      // "0x" with no hex digit after it and "08" read as octal 0, as the C library reads them.
      {"0x alone",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = 0x\n",
       {Accepted(300), Low(2), kAssuming},
       10},
      {"08",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = 08\n",
       {Accepted(300), Low(2), kAssuming},
       10},
      {"lower-case key",
       "MSG_TRAILER_TIMEOUT = 300\nmsg_trailer_timeout = 250\n",
       {Accepted(300), Bad(2)},
       30},
      {"leading blank", " MSG_TRAILER_TIMEOUT = 250\n", {Bad(1)}, 10},
      {"comment", "; trailer timeout in ms\n", {Bad(1)}, 10},
      {"line of blanks", "  \t \n", {Bad(1)}, 10},
      {"key without number",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT =\n",
       {Accepted(300), Bad(2)},
       30},
      {"sign without digits", "MSG_TRAILER_TIMEOUT = - 5\n", {Bad(1)}, 10},
      {"empty lines are counted", "\n\nbad\n", {Bad(3)}, 10},
      {"300 characters: two pieces, split after 255",
       long_key_line,
       {Accepted(250), Accepted(400)},
       40},
      {"300 characters: pieces numbered",
       std::string(300, 'x') + "\nbad\n",
       {Bad(1), Bad(2), Bad(3)},
       10},
      {"255 characters: the LF alone is an empty piece",
       std::string(255, 'x') + "\nbad\n",
       {Bad(1), Bad(3)},
       10},
      {"254 characters and CR LF: one piece",
       std::string(254, 'x') + "\r\nbad\n",
       {Bad(1), Bad(2)},
       10},
      {"two key lines: 200 then 500",
       "MSG_TRAILER_TIMEOUT = 200\nMSG_TRAILER_TIMEOUT = 500\n",
       {Accepted(200), Accepted(500)},
       50},
      {"two key lines: 500 then 50",
       "MSG_TRAILER_TIMEOUT = 500\nMSG_TRAILER_TIMEOUT = 50\n",
       {Accepted(500), Low(2), kAssuming},
       10},
      {"CR LF", "MSG_TRAILER_TIMEOUT = 250\r\n\r\nbad\r\n", {Accepted(250), Bad(3)}, 25},
      {"CR without LF stays in the line", "\rMSG_TRAILER_TIMEOUT = 250\n", {Bad(1)}, 10},
      {"out of range",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = 2147483648\n",
       {Accepted(300), Bad(2)},
       30},
      {"out of range, hexadecimal",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = 0xFFFFFFFF\n",
       {Accepted(300), Bad(2)},
       30},
      {"out of range, negative",
       "MSG_TRAILER_TIMEOUT = 300\nMSG_TRAILER_TIMEOUT = -2147483649\n",
       {Accepted(300), Bad(2)},
       30},
      {"out of range, many digits",
       "MSG_TRAILER_TIMEOUT = 99999999999999999999999\n",
       {Bad(1)},
       10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.Remove("QELPRV01.INT");
    if (c.contents) dir_.Write("QELPRV01.INT", *c.contents);
    Read(1);
    EXPECT_EQ(test::LoggedTexts(), c.log);
    EXPECT_EQ(CurrentTrailerTimeout(), c.ticks);
    for (const test::LogLine& l : test::LoggedLines()) EXPECT_EQ(l.level, 32) << l.text;
  }
}

TEST_F(LineSettingsTest, FileNameComesFromTheLineNumber) {
  struct Case {
    int32_t line;
    const char* file;  // the file that the line reads, or nullptr when it reads none
  };
  const Case cases[] = {
      {1, "QELPRV01.INT"},        {12, "QELPRV12.INT"}, {123, "QELPRV123.INT"},
      {0, "QELPRV00.INT"},        {-5, "QELPRV-5.INT"}, {99999, "QELPRV99999.INT"},
      {-9999, "QELPRV-9999.INT"}, {100000, nullptr},    {-10000, nullptr},
      {INT32_MAX, nullptr},       {INT32_MIN, nullptr},
  };
  // Files that a one-digit name, or a name for an out-of-range number, whole or cut to 15
  // characters, would open.
  const char* const decoys[] = {"QELPRV1.INT",     "QELPRV100000.INT",      "QELPRV-10000.INT",
                                "QELPRV100000.IN", "QELPRV-10000.IN",       "QELPRV2147483647.INT",
                                "QELPRV214748364", "QELPRV-2147483648.INT", "QELPRV-21474836"};
  for (const char* decoy : decoys) dir_.Write(decoy, "MSG_TRAILER_TIMEOUT = 9990\n");
  int value = 1000;
  for (const Case& c : cases) {
    if (c.file != nullptr)
      dir_.Write(c.file, "MSG_TRAILER_TIMEOUT = " + std::to_string(value) + "\n");
    SCOPED_TRACE(c.line);
    Read(c.line);
    if (c.file != nullptr) {
      EXPECT_EQ(test::LoggedTexts(), Texts{Accepted(value)});
      EXPECT_EQ(CurrentTrailerTimeout(), value / 10);
    } else {
      EXPECT_EQ(test::LoggedTexts(), Texts{kNotFound});
      EXPECT_EQ(CurrentTrailerTimeout(), 10);
    }
    value += 10;
  }
}

TEST_F(LineSettingsTest, TheLineStartedLastDecidesForAllLines) {
  test::FakeLine fake;
  dir_.Write("QELPRV01.INT", "MSG_TRAILER_TIMEOUT = 250\n");
  dir_.Write("QELPRV02.INT", "MSG_TRAILER_TIMEOUT = 500\n");
  LineWorkArea work1{}, work2{}, work3{};
  LineSetup idle{};  // in-use flag 0: no port, only the settings file
  const auto start = [&](LineWorkArea* work, int32_t line) {
    DriverRequest request{work, kCmdLineStart, line, 0, &idle};
    EXPECT_EQ(QelMain(&request), kOk);
    return CurrentTrailerTimeout();
  };
  EXPECT_EQ(start(&work1, 1), 25);
  EXPECT_EQ(start(&work2, 2), 50);
  EXPECT_EQ(start(&work3, 3), 10);  // no file: back to 10
  EXPECT_EQ(start(&work1, 1), 25);
  EXPECT_TRUE(fake.Calls().empty());
}

// The number rules of "MSG_TRAILER_TIMEOUT = %i", checked against what the C library's sscanf
// reads from the same lines; values beyond 32 bits are no value at all.
TEST(MatchTrailerTimeoutLineTest, ReadsIntegersAsTheCLibraryDoes) {
  struct Case {
    const char* line;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"MSG_TRAILER_TIMEOUT = 250\n", 250},
      {"MSG_TRAILER_TIMEOUT=250", 250},
      {"MSG_TRAILER_TIMEOUT \r\v\f= \t250", 250},
      {"MSG_TRAILER_TIMEOUT = 250ms", 250},
      {"MSG_TRAILER_TIMEOUT = 1.5", 1},
      {"MSG_TRAILER_TIMEOUT = 1e3", 1},
      {"MSG_TRAILER_TIMEOUT = 0x12C", 300},
      {"MSG_TRAILER_TIMEOUT = +0x12C", 300},
      {"MSG_TRAILER_TIMEOUT = -0x12C", -300},
      {"MSG_TRAILER_TIMEOUT = 0X7fffffff", INT32_MAX},
      {"MSG_TRAILER_TIMEOUT = 0144", 100},
      {"MSG_TRAILER_TIMEOUT = 017777777777", INT32_MAX},
      {"MSG_TRAILER_TIMEOUT = -020000000000", INT32_MIN},
      {"MSG_TRAILER_TIMEOUT = 08", 0},
      {"MSG_TRAILER_TIMEOUT = 0009", 0},
      {"MSG_TRAILER_TIMEOUT = 0x", 0},
      {"MSG_TRAILER_TIMEOUT = 0xg", 0},
      {"MSG_TRAILER_TIMEOUT = -0x", 0},
      {"MSG_TRAILER_TIMEOUT = 0x-5", 0},
      {"MSG_TRAILER_TIMEOUT = 0b101", 0},
      {"MSG_TRAILER_TIMEOUT = -2147483648", INT32_MIN},
      {"MSG_TRAILER_TIMEOUT = 2147483648", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = -2147483649", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = 020000000000", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = 0x80000000", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = 4294967296", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = +", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = +-5", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = - 5", std::nullopt},
      {"MSG_TRAILER_TIMEOUT = ms", std::nullopt},
      {"MSG_TRAILER_TIMEOUT =", std::nullopt},
      {"MSG_TRAILER_TIMEOUT == 250", std::nullopt},
      {"MSG_TRAILER_TIMEOUT 250", std::nullopt},
      {"MSG_TRAILER_TIMEOUTS = 250", std::nullopt},
      {"MSG_TRAILER_TIMEOU = 250", std::nullopt},
      {"Msg_Trailer_Timeout = 250", std::nullopt},
      {"\tMSG_TRAILER_TIMEOUT = 250", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    int32_t value = -777;
    const bool matched = MatchTrailerTimeoutLine(c.line, &value);
    EXPECT_EQ(matched, c.value.has_value()) << c.line;
    if (matched && c.value) {
      EXPECT_EQ(value, *c.value) << c.line;
    }
  }
}

}  // namespace
}  // namespace qel
