// Linux terminal interfaces that glibc's <termios.h> does not offer: any line speed (the
// termios2 interface with BOTHER) and the RS-485 mode of a UART. They live in their own file
// because the kernel's terminal header clashes with glibc's.
#pragma once

#include <cstdint>

namespace qel::platform::linux_tty {

// Sets both line speeds to any rate in bit/s. False when the device will not take the call.
bool SetSpeed(int fd, uint32_t baud);

// The output speed in force, in bit/s, whatever way it was set.
bool GetSpeed(int fd, uint32_t* baud);

enum class Rs485 { kOn, kUnsupported, kFailed };

// The device's RS-485 settings as found, to be put back later.
struct Rs485Saved {
  uint32_t words[8];
};

// Switches the device to RS-485 mode with RTS raised only while bytes are sent. *changed tells
// whether anything was changed (then *before holds what to put back); a device already in that
// mode is left as it is.
Rs485 RtsWhileSending(int fd, bool* changed, Rs485Saved* before);

// Puts back the RS-485 settings found before.
void Rs485Restore(int fd, const Rs485Saved& before);

}  // namespace qel::platform::linux_tty
