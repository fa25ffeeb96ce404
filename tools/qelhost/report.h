// How readings are shown: rows for people (one line each, or a table that redraws in the
// terminal), CSV and JSON lines for machines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/qelhost/clock.h"
#include "tools/qelhost/driver_log.h"

namespace qelhost {

enum class Format { Human, Csv, Json };

// One gate as the last read left it.
struct Reading {
  std::string gate;
  int32_t type = 0;
  int result = -1;                               // -1: not read yet
  std::optional<double> value;                   // the last value read (float or word)
  std::string value_text;                        // as shown; empty before the first value
  WallClock::time_point time{};                  // of the last read
  std::optional<WallClock::time_point> changed;  // when the value last changed
  uint64_t reads = 0;
  uint64_t failures = 0;  // reads that did not end with 0
  uint64_t cycle = 0;
};

// The shortest text that reads back as the same float; words in decimal.
std::string ValueText(int32_t type, double value);

std::string CsvHeader();
std::string CsvRow(const Reading& r);
std::string JsonRow(const Reading& r);
std::string PlainHeader();
std::string PlainRow(const Reading& r);

// The table of a poll, redrawn in place in a terminal.
class LiveTable : public LiveArea {
 public:
  void Show(const std::string& title, const std::vector<Reading>& readings);
  void Erase() override;
  void Redraw() override;
  // Leaves the last drawing on the screen and stops redrawing it.
  void Finish();

 private:
  std::vector<std::string> lines_;
  std::size_t drawn_ = 0;
};

}  // namespace qelhost
