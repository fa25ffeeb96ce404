#include "tools/qelhost/clock.h"

#include <cstdio>
#include <ctime>

namespace qelhost {

namespace {

struct Split {
  std::tm tm{};
  int millis = 0;
};

Split SplitTime(WallClock::time_point t, bool local) {
  Split s;
  const std::time_t seconds = WallClock::to_time_t(t);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  s.millis = static_cast<int>(ms < 0 ? ms + 1000 : ms);
#if defined(_WIN32)
  if (local) {
    localtime_s(&s.tm, &seconds);
  } else {
    gmtime_s(&s.tm, &seconds);
  }
#else
  if (local) {
    localtime_r(&seconds, &s.tm);
  } else {
    gmtime_r(&seconds, &s.tm);
  }
#endif
  return s;
}

}  // namespace

std::string TimeOfDay(WallClock::time_point t) {
  const Split s = SplitTime(t, true);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", s.tm.tm_hour, s.tm.tm_min, s.tm.tm_sec,
                s.millis);
  return text;
}

std::string IsoUtc(WallClock::time_point t) {
  const Split s = SplitTime(t, false);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", s.tm.tm_year + 1900,
                s.tm.tm_mon + 1, s.tm.tm_mday, s.tm.tm_hour, s.tm.tm_min, s.tm.tm_sec, s.millis);
  return text;
}

}  // namespace qelhost
