// Wall-clock texts: the time of day of the log lines and the table, and the full UTC time of the
// machine-readable outputs.
#pragma once

#include <chrono>
#include <string>

namespace qelhost {

using WallClock = std::chrono::system_clock;

// Local time of day: "14:03:07.125".
std::string TimeOfDay(WallClock::time_point t);
// UTC date and time: "2026-12-11T13:03:07.125Z".
std::string IsoUtc(WallClock::time_point t);

}  // namespace qelhost
