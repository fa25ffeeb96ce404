// The driver's side of the line in tests: a serial port opened with plain POSIX calls.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace prv2sim::test_support {

class Port {
 public:
  explicit Port(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~Port() {
    if (fd_ >= 0) ::close(fd_);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  void send(const std::string& text) const {
    ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Reads until `etx_count` ETX bytes have come, the line hangs up or `timeout` passes.
  std::string receive(int etx_count, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    std::string got;
    hung_up_ = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int seen = 0;
    while (seen < etx_count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[256];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        hung_up_ = true;
        break;
      }
      for (ssize_t i = 0; i < n; ++i) seen += buf[i] == '\x03';
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  // Whether the last receive() ended on a hang-up (EIO or end of file).
  bool hung_up() const { return hung_up_; }

  std::string ask(const std::string& request, int etx_count = 2,
                  std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    send(request);
    return receive(etx_count, timeout);
  }

 private:
  int fd_;
  bool hung_up_ = false;
};

inline double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace prv2sim::test_support
