#include "prv2sim/line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace prv2sim {

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

speed_t speed_of(unsigned baud) {
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
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      throw std::invalid_argument("baud rate not supported: " + std::to_string(baud));
  }
}

}  // namespace

std::optional<CharFormat> parse_char_format(std::string_view text) {
  if (text.size() < 3) return std::nullopt;
  CharFormat f;
  if (text[0] < '5' || text[0] > '8') return std::nullopt;
  f.data_bits = text[0] - '0';
  const char p = text[1];
  switch (p) {
    case 'N':
    case 'n':
      f.parity = 'N';
      break;
    case 'E':
    case 'e':
      f.parity = 'E';
      break;
    case 'O':
    case 'o':
      f.parity = 'O';
      break;
    case 'M':
    case 'm':
      f.parity = 'M';
      break;
    case 'S':
    case 's':
      f.parity = 'S';
      break;
    default:
      return std::nullopt;
  }
  const std::string_view stop = text.substr(2);
  if (stop == "1")
    f.stop_bits = 1.0;
  else if (stop == "1.5")
    f.stop_bits = 1.5;
  else if (stop == "2")
    f.stop_bits = 2.0;
  else
    return std::nullopt;
  return f;
}

void set_raw_mode(int fd, unsigned baud, const CharFormat& format) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) throw_errno("tcgetattr");
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  switch (format.data_bits) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  if (format.parity != 'N') t.c_cflag |= PARENB;
  if (format.parity == 'O' || format.parity == 'M') t.c_cflag |= PARODD;
  if (format.parity == 'M' || format.parity == 'S') t.c_cflag |= CMSPAR;
  if (format.stop_bits > 1.0) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (baud != 0) {
    const speed_t s = speed_of(baud);
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) throw_errno("tcsetattr");
}

LineEnd LineEnd::open_pty() {
  LineEnd line;
  line.fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd_ < 0) throw_errno("posix_openpt");
  if (grantpt(line.fd_) != 0) throw_errno("grantpt");
  if (unlockpt(line.fd_) != 0) throw_errno("unlockpt");
  char name[128];
  if (ptsname_r(line.fd_, name, sizeof name) != 0) throw_errno("ptsname_r");
  line.path_ = name;
  line.pty_ = true;
  // Raw mode is set on the slave side; it stays after the slave is closed, while the master
  // is open. Keeping no slave descriptor open lets the driver's close and reopen behave as on
  // a real port.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) throw_errno(std::string("open ") + name);
  try {
    set_raw_mode(slave, 0, CharFormat{});
  } catch (...) {
    ::close(slave);
    throw;
  }
  ::close(slave);
  return line;
}

LineEnd LineEnd::open_device(const std::string& path, unsigned baud, const CharFormat& format) {
  LineEnd line;
  line.fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd_ < 0) throw_errno("open " + path);
  line.path_ = path;
  set_raw_mode(line.fd_, baud, format);
  tcflush(line.fd_, TCIOFLUSH);
  return line;
}

LineEnd::LineEnd(LineEnd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pty_(other.pty_), path_(std::move(other.path_)) {}

LineEnd& LineEnd::operator=(LineEnd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    pty_ = other.pty_;
    path_ = std::move(other.path_);
  }
  return *this;
}

LineEnd::~LineEnd() {
  close();
}

void LineEnd::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void SymLink::point_to(const std::string& target) {
  if (link_.empty()) return;
  struct stat st {};
  if (lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    throw_errno("refusing to replace " + link_ + ", which is not a symbolic link");
  }
  const std::string tmp = link_ + ".prv2sim-" + std::to_string(getpid());
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0) throw_errno("symlink " + tmp);
  if (::rename(tmp.c_str(), link_.c_str()) != 0) {
    const int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    throw_errno("rename " + tmp + " to " + link_);
  }
  target_ = target;
}

void SymLink::remove() {
  if (link_.empty() || target_.empty()) return;
  char buf[4096];
  const ssize_t n = ::readlink(link_.c_str(), buf, sizeof buf - 1);
  if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_) ::unlink(link_.c_str());
  target_.clear();
}

}  // namespace prv2sim
