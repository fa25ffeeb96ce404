// The POSIX back-end: serial ports through termios (Linux).
//
// Port names: "NUL" is /dev/null, a name starting with "/" is a path, any other name is taken
// under /dev/ ("ttyUSB0", "ttyS0", "pts/3").
//
// Exclusive use: a port is opened with O_NONBLOCK (so a missing carrier never blocks the open),
// then locked with flock(LOCK_EX | LOCK_NB), which holds against this driver's other lines, other
// programs that lock the same way and root alike, and marked with TIOCEXCL, which keeps every
// later open out except root's. TIOCEXCL stays on a pseudo-terminal's slave side after its last
// close while the master is held, so it is cleared again before closing.
//
// The descriptor stays non-blocking: reads wait in ppoll() under a monotonic deadline and writes
// wait in ppoll() until the device takes more. A hang-up or device error ends a read at once.
//
// Handles: a slot index (low 8 bits, 1..255) and the slot's generation (upper 24 bits, never 0
// or 0xFFFFFF), so a handle is never 0 or the invalid value, and a stale handle of a closed port
// never reaches the port that reuses its slot. Every call on a handle holds a lease on its slot;
// closing marks the slot, wakes a read or write that waits on it through the slot's eventfd,
// waits for the leases to end and only then closes the descriptor. A descriptor is thus never
// closed (and its number never reused) under another thread's call.
//
// Input: each port keeps a small buffer of bytes already taken from the device. A read hands
// those out first and refills the buffer with whatever is waiting in one system call, so the
// driver's one-byte reads cost no system call while an answer is arriving. Order and timeouts
// are those of the device's own input queue; closing throws the buffer away.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/platform/platform.h"
#include "driver/platform/posix_linux.h"

namespace qel::platform {

namespace {

constexpr uint32_t kSlots = 255;
constexpr uint32_t kMaxGeneration = 0xFFFFFE;
constexpr uint32_t kInputSize = 256;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kMaxWaitSliceNs = 20 * kNsPerMs;  // longest single poll of a read
constexpr int64_t kNsPerSecond = 1000000000;

struct Slot {
  std::mutex m;  // guards the members up to `input`
  std::condition_variable idle;
  uint32_t generation = 0;
  bool open = false;
  bool closing = false;
  int users = 0;
  int fd = -1;
  int wake = -1;     // eventfd, signalled when the port is being closed
  bool tty = false;  // a terminal (every device but the null device, once configured)
  bool rs485_changed = false;
  linux_tty::Rs485Saved rs485_before{};
  CommTimeouts timeouts{};
  Dcb dcb{};  // the settings last applied, for the members termios has no place for

  std::mutex io;  // guards the input buffer; one read at a time on a port
  unsigned char input[kInputSize];
  uint32_t head = 0;
  uint32_t tail = 0;
};

Slot g_slots[kSlots];

Slot* SlotOf(Handle h) {
  const uint32_t low = h & 0xFFu;
  return low == 0 ? nullptr : &g_slots[low - 1];
}

// A call's hold on an open port: while it lasts, the descriptor stays open.
class Lease {
 public:
  explicit Lease(Handle h) {
    Slot* s = SlotOf(h);
    if (s == nullptr) return;
    std::lock_guard<std::mutex> lock(s->m);
    if (!s->open || s->closing || s->generation != (h >> 8)) return;
    ++s->users;
    slot_ = s;
    fd = s->fd;
    wake = s->wake;
    tty = s->tty;
    timeouts = s->timeouts;
  }
  ~Lease() {
    if (slot_ == nullptr) return;
    std::lock_guard<std::mutex> lock(slot_->m);
    if (--slot_->users == 0 && slot_->closing) slot_->idle.notify_all();
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  explicit operator bool() const { return slot_ != nullptr; }
  Slot& slot() const { return *slot_; }

  int fd = -1;
  int wake = -1;
  bool tty = false;
  CommTimeouts timeouts{};

 private:
  Slot* slot_ = nullptr;
};

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

timespec Span(int64_t ns) {
  return timespec{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

// Gives up the locks and the descriptor of a port that is not (or no longer) in the table.
void Release(int fd, bool tty) {
  if (tty) (void)::ioctl(fd, TIOCNXCL);
  (void)::close(fd);
}

Handle Open(const char* name) {
  char path[128];
  const bool null_device = std::strcmp(name, "NUL") == 0;
  int length = 0;
  if (null_device) {
    length = std::snprintf(path, sizeof path, "/dev/null");
  } else if (name[0] == '/') {
    length = std::snprintf(path, sizeof path, "%s", name);
  } else {
    length = std::snprintf(path, sizeof path, "/dev/%s", name);
  }
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return kInvalidHandle;

  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidHandle;
  const bool tty = isatty(fd) == 1;
  // The null device is shared by everybody; every other device is ours alone.
  if (!null_device) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      (void)::close(fd);
      return kInvalidHandle;
    }
    if (tty && ::ioctl(fd, TIOCEXCL) != 0) {
      (void)::close(fd);
      return kInvalidHandle;
    }
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    Release(fd, tty);
    return kInvalidHandle;
  }
  for (uint32_t i = 0; i < kSlots; ++i) {
    Slot& s = g_slots[i];
    std::lock_guard<std::mutex> lock(s.m);
    if (s.open) continue;
    s.generation = s.generation >= kMaxGeneration ? 1 : s.generation + 1;
    s.open = true;
    s.closing = false;
    s.users = 0;
    s.fd = fd;
    s.wake = wake;
    s.tty = tty;
    s.rs485_changed = false;
    s.timeouts = CommTimeouts{0, 0, 0, 0, 0};
    s.dcb = Dcb{};
    s.dcb.fDtrControl = kDtrControlEnable;  // what opening a terminal does to the lines
    s.dcb.fRtsControl = kRtsControlEnable;
    return (s.generation << 8) | (i + 1);
  }
  (void)::close(wake);
  Release(fd, tty);
  return kInvalidHandle;
}

bool Close(Handle h) {
  Slot* s = SlotOf(h);
  if (s == nullptr) return false;
  int fd = -1;
  int wake = -1;
  bool tty = false;
  bool rs485_changed = false;
  linux_tty::Rs485Saved rs485_before{};
  {
    std::unique_lock<std::mutex> lock(s->m);
    if (!s->open || s->closing || s->generation != (h >> 8)) return false;
    s->closing = true;  // no new lease from now on
    const uint64_t one = 1;
    (void)::write(s->wake, &one, sizeof one);
    s->idle.wait(lock, [s] { return s->users == 0; });
    fd = s->fd;
    wake = s->wake;
    tty = s->tty;
    rs485_changed = s->rs485_changed;
    rs485_before = s->rs485_before;
  }
  {
    std::lock_guard<std::mutex> io(s->io);
    s->head = 0;
    s->tail = 0;
  }
  if (rs485_changed) linux_tty::Rs485Restore(fd, rs485_before);
  if (tty) (void)::ioctl(fd, TIOCNXCL);
  // Linux closes the descriptor even when close() reports EINTR.
  const bool ok = ::close(fd) == 0 || errno == EINTR;
  (void)::close(wake);
  {
    std::lock_guard<std::mutex> lock(s->m);
    s->fd = -1;
    s->wake = -1;
    s->closing = false;
    s->open = false;  // the slot may be reused now that the device is free
  }
  return ok;
}

bool HasModemLines(int fd) {
  int bits = 0;
  return ::ioctl(fd, TIOCMGET, &bits) == 0;
}

bool SetModemLine(int fd, int line, bool on) {
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

// The speed constants of termios that fit a 16-bit rate; B0 for any other rate.
speed_t StandardSpeed(uint32_t baud) {
  switch (baud) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    default:
      return B0;
  }
}

// The character format of termios for a Dcb, or false when termios has none for it (9 data
// bits, one and a half stop bits, an unknown parity).
bool Format(const Dcb& dcb, tcflag_t* cflag) {
  tcflag_t f = 0;
  switch (dcb.ByteSize) {
    case 5:
      f |= CS5;
      break;
    case 6:
      f |= CS6;
      break;
    case 7:
      f |= CS7;
      break;
    case 8:
      f |= CS8;
      break;
    default:
      return false;
  }
  switch (dcb.Parity) {
    case kNoParity:
      break;
    case kOddParity:
      f |= PARENB | PARODD;
      break;
    case kEvenParity:
      f |= PARENB;
      break;
    case kMarkParity:
      f |= PARENB | PARODD | CMSPAR;
      break;
    case kSpaceParity:
      f |= PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  switch (dcb.StopBits) {
    case kOneStopBit:
      break;
    case kTwoStopBits:
      f |= CSTOPB;
      break;
    default:
      return false;
  }
  *cflag = f;
  return true;
}

bool SpeedCloseTo(uint32_t actual, uint32_t wanted) {
  // A UART talks to its peer within a few percent; a device that rejects a rate falls back to
  // another one far from it.
  const uint32_t diff = actual > wanted ? actual - wanted : wanted - actual;
  return static_cast<uint64_t>(diff) * 50 <= wanted;
}

// Everything SetState does once the port's own settings have been saved. False on a refusal.
bool ApplyState(Lease& lease, const Dcb& dcb) {
  const int fd = lease.fd;
  tcflag_t format = 0;
  if (dcb.BaudRate == 0 || !Format(dcb, &format)) return false;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);  // no echo, no canonical input, no CR/LF translation, no signal characters
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | IMAXBEL);
  if (dcb.fOutX != 0) t.c_iflag |= IXON;
  if (dcb.fInX != 0) t.c_iflag |= IXOFF;
  if (dcb.fOutX != 0 || dcb.fInX != 0) {
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  // HUPCL off: closing the port leaves the modem lines as they are.
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  t.c_cflag |= CREAD | CLOCAL | format;
  const bool rts_handshake = dcb.fRtsControl == kRtsControlHandshake;
  if (rts_handshake) t.c_cflag |= CRTSCTS;
  // One byte satisfies a read: with O_NONBLOCK an empty queue then reads as EAGAIN, and a read of
  // 0 bytes means a hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  const speed_t standard = StandardSpeed(dcb.BaudRate);
  if (standard != B0) {
    cfsetispeed(&t, standard);
    cfsetospeed(&t, standard);
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  if (standard == B0 && !linux_tty::SetSpeed(fd, dcb.BaudRate)) return false;

  // tcsetattr() succeeds when any part of the settings was taken: only what the device reports
  // back counts. A line without modem-control lines (a pseudo-terminal) has no character format
  // of its own (the kernel keeps 8 data bits and no parity on it) and is taken as it is.
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  const bool modem = HasModemLines(fd);
  const tcflag_t format_bits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  if (modem && (now.c_cflag & format_bits) != (t.c_cflag & format_bits)) return false;
  if ((now.c_cflag & CRTSCTS) != (t.c_cflag & CRTSCTS)) return false;
  uint32_t speed = 0;
  if (!linux_tty::GetSpeed(fd, &speed) || !SpeedCloseTo(speed, dcb.BaudRate)) return false;
  if (!modem) return true;

  // DTR and RTS. Input flow control by DTR has no termios form: DTR is simply raised.
  if (!SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl != kDtrControlDisable)) return false;
  switch (dcb.fRtsControl) {
    case kRtsControlToggle: {
      bool changed = false;
      linux_tty::Rs485Saved before{};
      const linux_tty::Rs485 rs485 = linux_tty::RtsWhileSending(fd, &changed, &before);
      if (changed) {
        Slot& s = lease.slot();
        std::lock_guard<std::mutex> lock(s.m);
        if (!s.rs485_changed) s.rs485_before = before;  // the state found at the first change
        s.rs485_changed = true;
      }
      return rs485 == linux_tty::Rs485::kOn;
    }
    case kRtsControlHandshake:  // the device drives RTS under CRTSCTS; start with it raised
    case kRtsControlEnable:
      return SetModemLine(fd, TIOCM_RTS, true);
    default:
      return SetModemLine(fd, TIOCM_RTS, false);
  }
}

bool SetState(Handle h, const Dcb* dcb) {
  Lease lease(h);
  if (!lease || !lease.tty) return false;
  termios before{};
  if (tcgetattr(lease.fd, &before) != 0) return false;
  if (!ApplyState(lease, *dcb)) {
    // A refused setting leaves the port as it was found, as far as termios can say.
    (void)tcsetattr(lease.fd, TCSANOW, &before);
    return false;
  }
  Slot& s = lease.slot();
  std::lock_guard<std::mutex> lock(s.m);
  s.dcb = *dcb;
  return true;
}

bool GetState(Handle h, Dcb* dcb) {
  Lease lease(h);
  if (!lease || !lease.tty) return false;
  termios t{};
  if (tcgetattr(lease.fd, &t) != 0) return false;
  Dcb d{};
  {
    Slot& s = lease.slot();
    std::lock_guard<std::mutex> lock(s.m);
    d = s.dcb;
  }
  d.DCBlength = dcb->DCBlength;
  uint32_t speed = 0;
  d.BaudRate = linux_tty::GetSpeed(lease.fd, &speed) ? speed : 0;
  d.fBinary = 1;
  d.fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if ((t.c_cflag & PARENB) == 0) {
    d.Parity = kNoParity;
  } else if ((t.c_cflag & CMSPAR) != 0) {
    d.Parity = (t.c_cflag & PARODD) != 0 ? kMarkParity : kSpaceParity;
  } else {
    d.Parity = (t.c_cflag & PARODD) != 0 ? kOddParity : kEvenParity;
  }
  d.StopBits = (t.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
  const bool crtscts = (t.c_cflag & CRTSCTS) != 0;
  d.fOutxCtsFlow = crtscts ? 1 : 0;
  if (crtscts) {
    d.fRtsControl = kRtsControlHandshake;
  } else if (d.fRtsControl == kRtsControlHandshake) {
    d.fRtsControl = kRtsControlEnable;
  }
  d.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  *dcb = d;
  return true;
}

// The null device has no timeouts, as it has no line settings.
bool GetTimeouts(Handle h, CommTimeouts* t) {
  Slot* s = SlotOf(h);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> lock(s->m);
  if (!s->open || s->closing || s->generation != (h >> 8) || !s->tty) return false;
  *t = s->timeouts;
  return true;
}

bool SetTimeouts(Handle h, const CommTimeouts* t) {
  Slot* s = SlotOf(h);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> lock(s->m);
  if (!s->open || s->closing || s->generation != (h >> 8) || !s->tty) return false;
  s->timeouts = *t;
  return true;
}

// The kernel sizes a terminal's queues itself.
bool SetupQueues(Handle h, uint32_t, uint32_t) {
  return static_cast<bool>(Lease(h));
}

// Reads up to n bytes under the port's total read timeout (ReadTotalTimeoutConstant, taken as
// signed milliseconds; 0 or less returns at once with what is waiting).
bool Read(Handle h, void* buf, uint32_t n, uint32_t* got) {
  *got = 0;
  Lease lease(h);
  if (!lease) return false;
  Slot& s = lease.slot();
  std::lock_guard<std::mutex> io(s.io);
  auto* out = static_cast<unsigned char*>(buf);
  const auto total_ms = static_cast<int32_t>(lease.timeouts.ReadTotalTimeoutConstant);
  const int64_t deadline = total_ms > 0 ? NowNs() + total_ms * kNsPerMs : 0;
  for (;;) {
    // First what an earlier read took from the device.
    const uint32_t take = std::min(n - *got, s.tail - s.head);
    std::memcpy(out + *got, s.input + s.head, take);
    s.head += take;
    *got += take;
    if (s.head == s.tail) s.head = s.tail = 0;
    if (*got == n) return true;

    int64_t left = 0;
    if (total_ms > 0) left = std::max<int64_t>(deadline - NowNs(), 0);
    pollfd fds[2] = {{lease.fd, POLLIN, 0}, {lease.wake, POLLIN, 0}};
    // The kernel lets a poll wake up to a thousandth of its timeout late (1 ms on a one-second
    // read), so a long wait is made of short ones, each with little slack.
    const timespec span = Span(std::min(left, kMaxWaitSliceNs));
    const int ready = ::ppoll(fds, 2, &span, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return *got > 0;
    }
    if (ready == 0) {
      if (left > kMaxWaitSliceNs) continue;  // a slice ended, the timeout has not
      return true;                           // the timeout ran out
    }
    if (fds[1].revents != 0) return false;  // the port is being closed
    if ((fds[0].revents & POLLNVAL) != 0) return false;

    // Readable, or a hang-up or error that the read shows. Whatever is waiting comes in one call:
    // into the caller's buffer when it wants at least a buffer's worth, else into ours.
    const uint32_t want = n - *got;
    const bool direct = want >= kInputSize;
    const ssize_t r = ::read(lease.fd, direct ? out + *got : s.input, direct ? want : kInputSize);
    if (r > 0) {
      if (direct) {
        *got += static_cast<uint32_t>(r);
      } else {
        s.tail = static_cast<uint32_t>(r);
      }
      continue;
    }
    if (r == 0 && !lease.tty) return true;  // the null device: nothing ever comes
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN && (fds[0].revents & (POLLHUP | POLLERR)) == 0) continue;
    // A hang-up (readable, yet 0 bytes or EIO) or a device error: no byte will come, so the read
    // ends now instead of polling a dead descriptor until its timeout. Bytes already read are
    // handed over; the next read fails.
    return *got > 0;
  }
}

// Writes all n bytes, waiting as long as the device takes them.
bool Write(Handle h, const void* buf, uint32_t n, uint32_t* written) {
  *written = 0;
  Lease lease(h);
  if (!lease) return false;
  const auto* bytes = static_cast<const unsigned char*>(buf);
  while (*written < n) {
    const ssize_t w = ::write(lease.fd, bytes + *written, n - *written);
    if (w > 0) {
      *written += static_cast<uint32_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) return false;
    pollfd fds[2] = {{lease.fd, POLLOUT, 0}, {lease.wake, POLLIN, 0}};
    if (::ppoll(fds, 2, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;  // the port is being closed
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
  }
  return true;
}

void Pause(uint32_t ms) {
  // A pause of 0 gives up the rest of the time slice, as Sleep(0) does, without the timer
  // slack of a real sleep (about 100 us on every transaction).
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  const int64_t end = static_cast<int64_t>(until.tv_sec) * kNsPerSecond + until.tv_nsec +
                      static_cast<int64_t>(ms) * kNsPerMs;
  until = Span(end);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

// Throws away what has arrived: the device's input queue and what an earlier read took from it.
bool PurgeInput(Handle h) {
  Lease lease(h);
  if (!lease) return false;
  Slot& s = lease.slot();
  std::lock_guard<std::mutex> io(s.io);
  s.head = s.tail = 0;
  if (!lease.tty) return true;
  return tcflush(lease.fd, TCIFLUSH) == 0;
}

constexpr Ops kPosix{Open,        GetState, SetState, GetTimeouts, SetTimeouts,
                     SetupQueues, Read,     Write,    Close,       Pause, PurgeInput};

}  // namespace

const Ops& Native() {
  return kPosix;
}

}  // namespace qel::platform
