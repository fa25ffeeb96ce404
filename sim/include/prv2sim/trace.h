// The trace of the line: every byte in both directions with its time, one event per request,
// per answer and per change of the line (opened, hung up).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prv2sim {

enum class Direction { Rx, Tx, Line };

struct TraceEvent {
  Direction direction = Direction::Rx;
  std::uint64_t transaction = 0;   // 1-based count of requests since the start; 0 for Line
  std::string bytes;               // Rx: the request as received (with its CR); Tx: as sent
  std::vector<double> byte_times;  // seconds since the start, one per byte of `bytes`
  double time = 0.0;               // seconds since the start: first byte, or the line change
  std::string note;                // Tx: the faults that fired; Line: what happened
};

// Printable bytes: <STX>, <ETX>, <CR>, <LF> by name, other control bytes, '<' and bytes above
// 0x7E as <0xNN>.
std::string render_bytes(std::string_view bytes);
// Two hex digits per byte, separated by blanks.
std::string render_hex(std::string_view bytes);
// Decodes the escapes \r \n \t \\ and \xNN (two hex digits); nothing for a bad escape.
std::optional<std::string> decode_escapes(std::string_view text);
// One line, without a newline:
//   "    1.234567 RX #3   $SP<CR>"
//   "    1.234890 TX #3   $SP<CR><STX>0021.00<CR><ETX><CR><LF><ETX>  (18 B, 0.1 ms) [delay@3]"
//   "    2.000000 --      hangup: line closed for 500 ms"
// With `hex`, " | 24 53 50 0D" follows the bytes.
std::string format_trace_line(const TraceEvent& event, bool hex);

}  // namespace prv2sim
