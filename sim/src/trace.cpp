#include "prv2sim/trace.h"

#include <charconv>
#include <cstdio>

namespace prv2sim {

std::string render_bytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case 0x02:
        out += "<STX>";
        break;
      case 0x03:
        out += "<ETX>";
        break;
      case 0x0D:
        out += "<CR>";
        break;
      case 0x0A:
        out += "<LF>";
        break;
      default:
        if (c < 0x20 || c > 0x7E || c == '<') {
          char buf[8];
          std::snprintf(buf, sizeof buf, "<0x%02X>", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string render_hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char ch : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(ch));
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

std::optional<std::string> decode_escapes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      case 'x': {
        unsigned v = 0;
        const auto hex = text.substr(i + 1, 2);
        auto [ptr, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), v, 16);
        if (hex.size() != 2 || ec != std::errc() || ptr != hex.data() + 2) return std::nullopt;
        out += static_cast<char>(v);
        i += 2;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::string format_trace_line(const TraceEvent& e, bool hex) {
  char head[64];
  if (e.direction == Direction::Line) {
    std::snprintf(head, sizeof head, "%12.6f --      ", e.time);
    return head + e.note;
  }
  std::snprintf(head, sizeof head, "%12.6f %s #%-4llu ", e.time,
                e.direction == Direction::Rx ? "RX" : "TX",
                static_cast<unsigned long long>(e.transaction));
  std::string line = head;
  line += render_bytes(e.bytes);
  if (hex) {
    line += " | ";
    line += render_hex(e.bytes);
  }
  if (e.direction == Direction::Tx) {
    const double span =
        e.byte_times.size() > 1 ? (e.byte_times.back() - e.byte_times.front()) * 1000.0 : 0.0;
    char tail[64];
    std::snprintf(tail, sizeof tail, "  (%zu B, %.1f ms)", e.bytes.size(), span);
    line += tail;
  }
  if (!e.note.empty()) line += " [" + e.note + "]";
  return line;
}

}  // namespace prv2sim
