#include <gtest/gtest.h>

#include "prv2sim/trace.h"

namespace prv2sim {
namespace {

TEST(TraceTest, RendersControlBytesByName) {
  EXPECT_EQ(render_bytes("$SP\r\x02"
                         "0021.00\r\x03\r\n\x03"),
            "$SP<CR><STX>0021.00<CR><ETX><CR><LF><ETX>");
  EXPECT_EQ(render_bytes(std::string("\x00\x15<\x7F\xFF a", 7)),
            "<0x00><0x15><0x3C><0x7F><0xFF> a");
  EXPECT_EQ(render_hex("$\r\x02\xFF"), "24 0D 02 FF");
}

TEST(TraceTest, OneLinePerEvent) {
  TraceEvent rx{.direction = Direction::Rx, .transaction = 3, .bytes = "$SP\r", .time = 1.5};
  EXPECT_EQ(format_trace_line(rx, false), "    1.500000 RX #3    $SP<CR>");
  EXPECT_EQ(format_trace_line(rx, true), "    1.500000 RX #3    $SP<CR> | 24 53 50 0D");

  TraceEvent tx{.direction = Direction::Tx,
                .transaction = 3,
                .bytes =
                    "\x02"
                    "00\r\x03",
                .byte_times = {2.0, 2.0, 2.0, 2.0, 2.0125},
                .time = 2.0,
                .note = "delay:ms=200@3"};
  EXPECT_EQ(format_trace_line(tx, false),
            "    2.000000 TX #3    <STX>00<CR><ETX>  (5 B, 12.5 ms) [delay:ms=200@3]");

  TraceEvent line{.direction = Direction::Line, .time = 0.25, .note = "line up: /dev/pts/4"};
  EXPECT_EQ(format_trace_line(line, true), "    0.250000 --      line up: /dev/pts/4");
}

TEST(TraceTest, DecodesEscapes) {
  EXPECT_EQ(decode_escapes("a\\r\\n\\t\\\\\\x2C\\x03"), "a\r\n\t\\,\x03");
  for (const char* bad : {"\\", "\\q", "\\x", "\\x4", "\\xZZ"}) {
    EXPECT_EQ(decode_escapes(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace prv2sim
