#include "tools/qelhost/report.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "tools/qelhost/line.h"

namespace qelhost {

namespace {

std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (byte < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", byte);
      out += esc;
    } else {
      out.push_back(ch);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (const char ch : s) {
    if (ch == '"') out.push_back('"');
    out.push_back(ch);
  }
  return out + "\"";
}

std::string ResultText(const Reading& r) {
  return r.result < 0 ? "-" : ResultName(r.result);
}

std::string Changed(const Reading& r) {
  return r.changed ? TimeOfDay(*r.changed) : "-";
}

std::string Pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// Cells padded to their column's width and one blank; the last cell as it is.
std::string Row(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i + 1 == cells.size()) {
      line += cells[i];
    } else {
      line += Pad(cells[i], i < widths.size() ? widths[i] : 8) + " ";
    }
  }
  return line;
}

const std::vector<std::size_t> kPlainWidths = {12, 5, 12, 5, 7, 12, 12};
const std::vector<std::size_t> kTableWidths = {12, 12, 5, 7, 12};

}  // namespace

std::string ValueText(int32_t type, double value) {
  if (type == qel::kTypeWord) return std::to_string(static_cast<unsigned>(value));
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<float>(value));
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

std::string CsvHeader() {
  return "time,cycle,gate,type,result,rc,value,last_change,failures";
}

std::string CsvRow(const Reading& r) {
  return IsoUtc(r.time) + "," + std::to_string(r.cycle) + "," + CsvField(r.gate) + "," +
         TypeName(r.type) + "," + ResultText(r) + "," + std::to_string(r.result) + "," +
         r.value_text + "," + (r.changed ? IsoUtc(*r.changed) : "") + "," +
         std::to_string(r.failures);
}

std::string JsonRow(const Reading& r) {
  const bool number = r.value && std::isfinite(*r.value);
  return "{\"time\":" + Quoted(IsoUtc(r.time)) + ",\"cycle\":" + std::to_string(r.cycle) +
         ",\"gate\":" + Quoted(r.gate) + ",\"type\":" + Quoted(TypeName(r.type)) +
         ",\"type_code\":" + std::to_string(r.type) + ",\"result\":" + Quoted(ResultText(r)) +
         ",\"rc\":" + std::to_string(r.result) +
         ",\"value\":" + (number ? r.value_text : std::string("null")) +
         ",\"last_change\":" + (r.changed ? Quoted(IsoUtc(*r.changed)) : std::string("null")) +
         ",\"failures\":" + std::to_string(r.failures) + "}";
}

std::string PlainHeader() {
  return Row({"TIME", "CYCLE", "GATE", "TYPE", "RESULT", "VALUE", "LAST CHANGE", "FAILURES"},
             kPlainWidths);
}

std::string PlainRow(const Reading& r) {
  return Row({TimeOfDay(r.time), std::to_string(r.cycle), r.gate, TypeName(r.type), ResultText(r),
              r.value_text.empty() ? "-" : r.value_text, Changed(r), std::to_string(r.failures)},
             kPlainWidths);
}

void LiveTable::Show(const std::string& title, const std::vector<Reading>& readings) {
  Erase();
  lines_.clear();
  lines_.push_back(title);
  lines_.push_back(
      Row({"GATE", "VALUE", "TYPE", "RESULT", "LAST CHANGE", "FAILURES"}, kTableWidths));
  for (const Reading& r : readings) {
    lines_.push_back(Row({r.gate, r.value_text.empty() ? "-" : r.value_text, TypeName(r.type),
                          ResultText(r), Changed(r), std::to_string(r.failures)},
                         kTableWidths));
  }
  Redraw();
}

void LiveTable::Erase() {
  if (drawn_ == 0) return;
  // To the start of the table's first line, then clear to the end of the screen.
  std::printf("\x1b[%zuF\x1b[J", drawn_);
  std::fflush(stdout);
  drawn_ = 0;
}

void LiveTable::Redraw() {
  for (const std::string& line : lines_) {
    std::fputs(line.c_str(), stdout);
    std::fputs("\x1b[K\n", stdout);
  }
  drawn_ = lines_.size();
  std::fflush(stdout);
}

void LiveTable::Finish() {
  drawn_ = 0;
}

}  // namespace qelhost
