// The POSIX back-end: termios serial ports.
//
// Port names: "NUL" is /dev/null, a name starting with "/" is a path, any other name is taken
// under /dev/ ("ttyUSB0", "ttyS0", "pts/3"). Ports are opened for exclusive use with both
// TIOCEXCL and flock(), since root ignores TIOCEXCL.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/platform/platform.h"

namespace qel::platform {

namespace {

// Handles are 1-based indices into this table; a slot keeps the descriptor and the port's
// timeouts, which termios has no place for.
constexpr uint32_t kMaxPorts = 256;

struct Port {
  int fd = -1;
  bool in_use = false;
  CommTimeouts timeouts{};
  Dcb dcb{};
};

std::mutex g_table_mutex;
Port g_ports[kMaxPorts];

// Returns the descriptor of an open handle, or -1.
int Descriptor(Handle h, CommTimeouts* timeouts = nullptr) {
  if (h == 0 || h > kMaxPorts) return -1;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  const Port& p = g_ports[h - 1];
  if (!p.in_use) return -1;
  if (timeouts != nullptr) *timeouts = p.timeouts;
  return p.fd;
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Handle Open(const char* name) {
  char path[64];
  if (std::strcmp(name, "NUL") == 0) {
    std::snprintf(path, sizeof path, "/dev/null");
  } else if (name[0] == '/') {
    std::snprintf(path, sizeof path, "%s", name);
  } else {
    std::snprintf(path, sizeof path, "/dev/%s", name);
  }
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidHandle;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return kInvalidHandle;
  }
  if (isatty(fd)) {
    if (::ioctl(fd, TIOCEXCL) != 0) {
      ::close(fd);
      return kInvalidHandle;
    }
  }
  std::lock_guard<std::mutex> lock(g_table_mutex);
  for (uint32_t i = 0; i < kMaxPorts; ++i) {
    if (!g_ports[i].in_use) {
      g_ports[i] = Port{fd, true, CommTimeouts{0, 0, 0, 0, 0}, Dcb{}};
      return i + 1;
    }
  }
  ::close(fd);
  return kInvalidHandle;
}

bool GetState(Handle h, Dcb* dcb) {
  const int fd = Descriptor(h);
  if (fd < 0) return false;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  const uint32_t length = dcb->DCBlength;
  *dcb = g_ports[h - 1].dcb;
  dcb->DCBlength = length;
  return true;
}

speed_t SpeedConstant(uint32_t baud, bool* ok) {
  *ok = true;
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: *ok = false; return B0;
  }
}

bool SetState(Handle h, const Dcb* dcb) {
  const int fd = Descriptor(h);
  if (fd < 0) return false;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cflag &= ~static_cast<tcflag_t>(HUPCL | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  switch (dcb->ByteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return false;
  }
  switch (dcb->Parity) {
    case kNoParity: break;
    case kOddParity: t.c_cflag |= PARENB | PARODD; break;
    case kEvenParity: t.c_cflag |= PARENB; break;
    case kMarkParity: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case kSpaceParity: t.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
  }
  switch (dcb->StopBits) {
    case kOneStopBit: break;
    case kTwoStopBits: t.c_cflag |= CSTOPB; break;
    default: return false;
  }
  if (dcb->fRtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
  bool ok = false;
  const speed_t speed = SpeedConstant(dcb->BaudRate, &ok);
  if (!ok) return false;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_ports[h - 1].dcb = *dcb;
  return true;
}

bool GetTimeouts(Handle h, CommTimeouts* t) {
  const int fd = Descriptor(h);
  if (fd < 0) return false;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  *t = g_ports[h - 1].timeouts;
  return true;
}

bool SetTimeouts(Handle h, const CommTimeouts* t) {
  const int fd = Descriptor(h);
  if (fd < 0) return false;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_ports[h - 1].timeouts = *t;
  return true;
}

bool SetupQueues(Handle h, uint32_t, uint32_t) { return Descriptor(h) >= 0; }

bool Read(Handle h, void* buf, uint32_t n, uint32_t* got) {
  *got = 0;
  CommTimeouts timeouts{};
  const int fd = Descriptor(h, &timeouts);
  if (fd < 0) return false;
  if (n == 0) return true;
  const auto total = static_cast<int32_t>(timeouts.ReadTotalTimeoutConstant);
  const int64_t deadline = NowMs() + (total > 0 ? total : 0);
  auto* bytes = static_cast<unsigned char*>(buf);
  for (;;) {
    const ssize_t r = ::read(fd, bytes + *got, n - *got);
    if (r > 0) {
      *got += static_cast<uint32_t>(r);
      if (*got == n) return true;
      continue;
    }
    if (r == 0) return *got > 0;  // end of file: a hang-up
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return *got > 0;
    const int64_t left = deadline - NowMs();
    if (left <= 0) return true;
    pollfd p{fd, POLLIN, 0};
    const int pr = ::poll(&p, 1, static_cast<int>(left));
    if (pr < 0 && errno != EINTR) return false;
    if (pr > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) return *got > 0;
    if (pr > 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0) return *got > 0;
  }
}

bool Write(Handle h, const void* buf, uint32_t n, uint32_t* written) {
  *written = 0;
  const int fd = Descriptor(h);
  if (fd < 0) return false;
  const auto* bytes = static_cast<const unsigned char*>(buf);
  while (*written < n) {
    const ssize_t w = ::write(fd, bytes + *written, n - *written);
    if (w > 0) {
      *written += static_cast<uint32_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool Close(Handle h) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    if (h == 0 || h > kMaxPorts || !g_ports[h - 1].in_use) return false;
    fd = g_ports[h - 1].fd;
    g_ports[h - 1] = Port{};
  }
  return ::close(fd) == 0;
}

void Pause(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

constexpr Ops kPosix{Open,        GetState, SetState, GetTimeouts, SetTimeouts,
                     SetupQueues, Read,     Write,    Close,       Pause};

}  // namespace

const Ops& Native() { return kPosix; }

}  // namespace qel::platform
