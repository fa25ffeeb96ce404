#include "tools/qelhost/terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qelhost {

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

bool PrepareTerminal(bool redraw) {
#if defined(_WIN32)
  SetConsoleOutputCP(CP_UTF8);
  if (!redraw) return true;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return SetConsoleMode(out, mode | kVirtualTerminal) != 0;
#else
  (void)redraw;
  return true;
#endif
}

}  // namespace qelhost
