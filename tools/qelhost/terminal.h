// What qelhost needs to know of its terminal.
#pragma once

#include <cstdio>

namespace qelhost {

// True when the stream is a terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);
// Prepares standard output for UTF-8 text and, when `redraw` is asked for, for the escape
// sequences that move the cursor. False when the terminal cannot redraw.
bool PrepareTerminal(bool redraw);

}  // namespace qelhost
