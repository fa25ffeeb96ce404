#include "saptor/saptor.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

std::mutex g_mutex;
SaptorSink g_sink = nullptr;
void* g_context = nullptr;

void WriteLine(int level, const char* message) {
  using std::chrono::system_clock;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03d [%d] %s\n", stamp, static_cast<int>(millis), level, message);
  std::fflush(stderr);
}

}  // namespace

extern "C" SAPTOR_API int err(int level, const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  std::vsnprintf(message, sizeof message, format, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  va_end(args);

  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sink != nullptr) {
    g_sink(g_context, level, message);
  } else {
    WriteLine(level, message);
  }
  return 0;
}

extern "C" SAPTOR_API void SaptorSetSink(SaptorSink sink, void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sink = sink;
  g_context = context;
}
