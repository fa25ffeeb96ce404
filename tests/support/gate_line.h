// A fake line with one open port and the line's work area, for the tests of the reply reader and
// the gate commands; and readers of the recorded calls that those tests assert on.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "driver/serial/wrappers.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace qel::test {

// The texts that the reply reader's paths log, for the tables of expected lines.
inline const std::string kRecvFailed = "QELPRV: RecvString() failed (Len=1 - Count=0)";
inline const std::string kCharacterFailed =
    "QELPRV: ReadReply() Failed to read a character from PLC (Returning Recovery Error)";

// A line whose port "COM1" is open under the fake platform. The port reads under 1000 ms after
// its open; the work area's reply timeout is reply_ticks, the process trailer timeout
// trailer_ticks (put back to its default afterwards). Calls and log lines start empty.
class GateLine {
 public:
  explicit GateLine(int32_t reply_ticks = 50, int32_t trailer_ticks = 10,
                    uint32_t post_pause_ms = 0) {
    line.AddDevice("COM1");
    PortSettings settings{};
    std::strcpy(settings.name, "COM1");
    settings.params = LineParameters{9600, 8, 0, 0};
    settings.handshake = kLineStartHandshake;
    port = OpenPortHandle(settings);
    work.reply_timeout = reply_ticks;
    work.port_handle = port;
    work.post_pause_ms = post_pause_ms;
    SetTrailerTimeout(trailer_ticks);
    initial_timeout_ms = line.ReadTimeoutMs(port);
    line.ClearCalls();
    ClearLog();
  }
  ~GateLine() { SetTrailerTimeout(kDefaultTrailerTimeout); }
  GateLine(const GateLine&) = delete;
  GateLine& operator=(const GateLine&) = delete;

  // The read timeout (ms) that each read-timeout change asked for, in order: one entry for every
  // change that read the port's timeouts successfully, also when the value was already in force
  // and nothing was written.
  std::vector<uint32_t> TimeoutRequests() const {
    std::vector<uint32_t> out;
    uint32_t current = initial_timeout_ms;
    const std::vector<Call>& calls = line.Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].op != Op::kGetTimeouts || !calls[i].ok) continue;
      if (i + 1 < calls.size() && calls[i + 1].op == Op::kSetTimeouts && calls[i + 1].ok) {
        current = calls[i + 1].timeouts.ReadTotalTimeoutConstant;
      }
      out.push_back(current);
    }
    return out;
  }

  // The read timeout (ms) in force at each platform read, in order.
  std::vector<uint32_t> ReadTimeouts() const {
    std::vector<uint32_t> out;
    uint32_t current = initial_timeout_ms;
    for (const Call& c : line.Calls()) {
      if (c.op == Op::kSetTimeouts && c.ok) current = c.timeouts.ReadTotalTimeoutConstant;
      if (c.op == Op::kRead) out.push_back(current);
    }
    return out;
  }

  // The requests written on the line, one entry per write.
  std::vector<std::string> Requests() const {
    std::vector<std::string> out;
    for (const Call& c : line.CallsOf(Op::kWrite)) out.push_back(c.data);
    return out;
  }

  // The read timeout (ms) on the port now.
  uint32_t TimeoutNow() const { return line.ReadTimeoutMs(port); }

  FakeLine line;
  LineWorkArea work{};
  Handle port = 0;
  uint32_t initial_timeout_ms = 0;
};

// A text with the protocol's control characters spelled out, for failure messages.
inline std::string Visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case 0x02:
        out += "<STX>";
        break;
      case 0x03:
        out += "<ETX>";
        break;
      case '\r':
        out += "<CR>";
        break;
      case '\0':
        out += "<NUL>";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          static const char kHex[] = "0123456789ABCDEF";
          out += "<";
          out += kHex[c >> 4];
          out += kHex[c & 15];
          out += ">";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

}  // namespace qel::test
