// Captures the driver's log lines in the test process: this file defines err() itself.
#pragma once

#include <string>
#include <vector>

namespace qel::test {

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// All lines logged since the last Clear(), in order.
std::vector<LogLine> LoggedLines();
std::vector<std::string> LoggedTexts();
void ClearLog();

}  // namespace qel::test
