#include "tests/support/log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex;
std::vector<qel::test::LogLine> g_lines;
}  // namespace

#if defined(__MINGW32__)
#define QEL_TEST_FORMAT __attribute__((format(gnu_printf, 2, 3)))
#else
#define QEL_TEST_FORMAT __attribute__((format(printf, 2, 3)))
#endif

// Formatted with the same printf rules as the host library's err.
extern "C" int err(int level, const char* format, ...) QEL_TEST_FORMAT;
extern "C" int err(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back({level, text});
  return 0;
}

namespace qel::test {

std::vector<LogLine> LoggedLines() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}

std::vector<std::string> LoggedTexts() {
  std::vector<std::string> texts;
  for (const LogLine& l : LoggedLines()) texts.push_back(l.text);
  return texts;
}

void ClearLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

}  // namespace qel::test
