#include "bench/pty_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qelbench {

namespace {

constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';

void SleepUntil(int64_t at_ns) {
  timespec ts{static_cast<time_t>(at_ns / 1000000000), static_cast<long>(at_ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

}  // namespace

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string PtyController::ReadAnswer(const std::string& name, const std::string& value) {
  std::string a = name + "\r";
  a += kStx;
  a += "00" + value + "\r";
  a += kEtx;
  a += "\r\n";
  a += kEtx;
  return a;
}

std::size_t PtyController::ReadTransactionBytes(const std::string& name, const std::string& value) {
  return name.size() + 1 + ReadAnswer(name, value).size();
}

PtyController::PtyController(Answer mode, uint32_t baud, std::string value)
    : mode_(mode), baud_(baud), value_(std::move(value)) {
  char name[64] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  path_ = name;
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_, TCSANOW, &t);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (mode_ == Answer::kSilent) return;
  if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  thread_ = std::thread([this] { Serve(); });
}

PtyController::~PtyController() {
  if (thread_.joinable()) {
    const char c = 'q';
    (void)!::write(stop_[1], &c, 1);
    thread_.join();
  }
  for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string PtyController::port_name() const {
  return path_.rfind("/dev/", 0) == 0 ? path_.substr(5) : path_;
}

void PtyController::Serve() {
  // The controller models the wire: its wake-ups should be as exact as the kernel allows.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::string pending;
  int64_t t0 = 0;
  char buf[512];
  for (;;) {
    pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    const int r = ::poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    if ((p[0].revents & POLLIN) == 0) {
      if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // Nobody holds the slave side for a moment: wait rather than spin.
        if (::poll(&p[1], 1, 1) > 0) return;
      }
      continue;
    }
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    if (pending.empty()) t0 = NowNs();
    pending.append(buf, static_cast<std::size_t>(n));
    for (;;) {
      const std::size_t cr = pending.find('\r');
      if (cr == std::string::npos) break;
      const std::string request = pending.substr(0, cr + 1);
      pending.erase(0, cr + 1);
      Reply(request, t0);
      t0 = NowNs();
    }
  }
}

void PtyController::Reply(const std::string& request, int64_t t0_ns) {
  std::string answer = request;
  const std::size_t eq = request.find('=');
  answer += kStx;
  if (eq == std::string::npos) {
    answer += "00" + value_ + "\r";
    answer += kEtx;
    answer += "\r\n";
    answer += kEtx;
  } else {
    answer += "00" + request.substr(eq + 1, request.size() - eq - 2) + "\r";
    answer += kEtx;
  }
  if (mode_ == Answer::kInstant) {
    WriteAll(master_, answer.data(), answer.size());
  } else {
    const int64_t byte_ns = 10'000'000'000LL / baud_;
    int64_t at = t0_ns + static_cast<int64_t>(request.size()) * byte_ns;
    for (char c : answer) {
      at += byte_ns;
      SleepUntil(at);
      WriteAll(master_, &c, 1);
    }
  }
  bytes_sent_.fetch_add(answer.size(), std::memory_order_relaxed);
  answered_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qelbench
