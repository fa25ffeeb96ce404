// The kernel's own terminal structures; this file must not see glibc's <termios.h>.
#include "driver/platform/posix_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>

namespace qel::platform::linux_tty {

bool SetSpeed(int fd, uint32_t baud) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

bool GetSpeed(int fd, uint32_t* baud) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  *baud = t.c_ospeed;
  return true;
}

static_assert(sizeof(serial_rs485) == sizeof(Rs485Saved));

Rs485 RtsWhileSending(int fd, bool* changed, Rs485Saved* before) {
  serial_rs485 conf{};
  *changed = false;
  if (::ioctl(fd, TIOCGRS485, &conf) != 0) return Rs485::kUnsupported;
  std::memcpy(before, &conf, sizeof conf);
  const auto wanted = [](const serial_rs485& c) {
    return (c.flags & SER_RS485_ENABLED) != 0 && (c.flags & SER_RS485_RTS_ON_SEND) != 0 &&
           (c.flags & SER_RS485_RTS_AFTER_SEND) == 0;
  };
  if (wanted(conf)) return Rs485::kOn;
  conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
  *changed = true;
  if (::ioctl(fd, TIOCSRS485, &conf) != 0) return Rs485::kFailed;
  // The device may quietly keep another mode: only what it reports back counts.
  serial_rs485 now{};
  if (::ioctl(fd, TIOCGRS485, &now) != 0 || !wanted(now)) return Rs485::kFailed;
  return Rs485::kOn;
}

void Rs485Restore(int fd, const Rs485Saved& before) {
  serial_rs485 conf{};
  std::memcpy(&conf, &before, sizeof conf);
  (void)::ioctl(fd, TIOCSRS485, &conf);
}

}  // namespace qel::platform::linux_tty
