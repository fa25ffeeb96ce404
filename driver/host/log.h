// The host's log service: err(level, format, ...) of the host runtime library.
//
// On Windows it is imported from SAPTOR.DLL. On Linux it binds to the stand-in library's versioned
// err@SAPTOR_1, never to the C library's err(3), which would end the process.
#pragma once

#if defined(__MINGW32__)
#define QEL_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QEL_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

extern "C" int err(int level, const char* format, ...) QEL_PRINTF_FORMAT(2, 3);

namespace qel {
inline constexpr int kLogNotice = 32;   // notices and every failure report
inline constexpr int kLogWarning = 8;   // the two warnings about a reply's content
}  // namespace qel
