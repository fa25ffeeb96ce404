// The serial library on the POSIX back-end, against real pseudo-terminals: the test holds the
// master side and plays the controller.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "driver/platform/platform.h"
#include "driver/serial/serial.h"
#include "driver/serial/wrappers.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

using platform::Handle;
using Clock = std::chrono::steady_clock;

constexpr LineParameters k9600_8N1{9600, 8, 0, 0};

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64_t ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// A pseudo-terminal whose master side the test holds.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
      return;
    }
    char name[64];
    if (ptsname_r(master_, name, sizeof name) == 0) path_ = name;
    // A descriptor of the test's own on the slave side, which only looks at its input queue.
    probe_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~Pty() {
    HangUp();
    if (probe_ >= 0) ::close(probe_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  std::string name() const { return path_.substr(5); }  // "pts/N", taken under /dev/

  void Send(const std::string& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the port sent, collected until n bytes came or the line stayed quiet for quiet_ms.
  std::string Receive(size_t n, int quiet_ms = 1000) const {
    std::string out;
    while (out.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, quiet_ms) <= 0) break;
      char buf[256];
      const ssize_t r = ::read(master_, buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // Waits until at least n bytes sent from the master wait in the slave's input queue.
  void WaitQueued(int n) const {
    for (int i = 0; i < 400; ++i) {
      int queued = 0;
      if (::ioctl(probe_, FIONREAD, &queued) == 0 && queued >= n) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "bytes did not arrive";
  }
  void HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int probe_ = -1;
  std::string path_;
};

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetOverride(nullptr);
    test::ClearLog();
    SetTrailerTimeout(kDefaultTrailerTimeout);
  }

  Handle Open(const std::string& name, const LineParameters& params = k9600_8N1,
              uint16_t flags = 8) {
    Handle h = 0;
    EXPECT_EQ(SerOpen(name.c_str(), params, flags, &h), kSerOk) << name;
    EXPECT_NE(h, 0u);
    return h;
  }

  Pty pty_;
};

TEST_F(SerialPtyTest, RawBytesPassBothWaysWithoutEcho) {
  // A second descriptor on the slave shows the terminal's settings.
  const int probe = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  const Handle h = Open(pty_.path());

  termios t{};
  ASSERT_EQ(tcgetattr(probe, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & HUPCL, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  ::close(probe);

  // Line ends, control characters, NUL and 8-bit bytes arrive as sent.
  const std::string in(
      "\x02"
      "AB\r\n\x03\x04\x11\x13\x1a\x7f\x00\xff",
      13);
  pty_.Send(in);
  char buf[32] = {};
  uint32_t received = 0;
  ASSERT_EQ(SerRead(h, buf, static_cast<uint16_t>(in.size()), &received), kSerOk);
  EXPECT_EQ(std::string(buf, received), in);

  const std::string out("TI1\r\n\x03\x11", 7);
  uint32_t written = 0;
  ASSERT_EQ(SerWrite(h, out.data(), static_cast<uint32_t>(out.size()), &written), kSerOk);
  EXPECT_EQ(written, out.size());
  EXPECT_EQ(pty_.Receive(out.size() + 20, 100), out);  // and no echo of what came in

  platform::Dcb d{};
  d.DCBlength = 28;
  ASSERT_TRUE(platform::Native().get_comm_state(h, &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.StopBits, platform::kOneStopBit);
  EXPECT_EQ(d.Parity, platform::kNoParity);
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(SerClose(h), kSerOk);
}

// Names are taken under /dev/ unless they are paths; the line wrapper's 11 characters suffice.
TEST_F(SerialPtyTest, ShortNamesAreTakenUnderDev) {
  PortSettings settings{};
  ASSERT_LT(pty_.name().size(), kPortNameSize);
  std::memcpy(settings.name, pty_.name().c_str(), pty_.name().size() + 1);
  settings.params = k9600_8N1;
  settings.handshake = 8;
  const Handle h = OpenPortHandle(settings);
  ASSERT_NE(h, 0u);
  pty_.Send("Q");
  char c = 0;
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerOk);
  EXPECT_EQ(c, 'Q');
  EXPECT_EQ(SerClose(h), kSerOk);
}

// What a pseudo-terminal keeps of each setting, and the settings termios cannot express, which
// are refused with the device closed and free again.
TEST_F(SerialPtyTest, LineSettingsAreAppliedOrRefused) {
  struct Case {
    const char* what;
    LineParameters params;
    uint16_t flags;
    int32_t code;
    tcflag_t set;    // c_cflag bits that must be on
    uint32_t speed;  // the rate the port reports
  };
  const Case cases[] = {
      {"arbitrary rate", {12345, 8, 0, 0}, 8, kSerOk, 0, 12345},
      {"lowest rate", {1, 8, 0, 0}, 8, kSerOk, 0, 1},
      {"highest rate", {65535, 8, 0, 0}, 8, kSerOk, 0, 65535},
      {"standard rate", {57600, 8, 0, 0}, 8, kSerOk, 0, 57600},
      {"two stop bits", {9600, 8, 2, 0}, 8, kSerOk, CSTOPB, 9600},
      {"mark parity", {9600, 8, 0, 3}, 8, kSerOk, PARODD | CMSPAR, 9600},
      {"space parity", {9600, 8, 0, 4}, 8, kSerOk, CMSPAR, 9600},
      {"7 data bits", {9600, 7, 0, 2}, 8, kSerOk, 0, 9600},  // a pty keeps 8, no parity
      {"5 data bits", {9600, 5, 0, 1}, 8, kSerOk, PARODD, 9600},
      {"RTS handshake", {9600, 8, 0, 0}, 0x3000, kSerOk, CRTSCTS, 9600},
      // A pty has no modem-control lines: DTR, RTS and RTS toggle are not refused.
      {"DTR and RTS on", {9600, 8, 0, 0}, 0x0303, kSerOk, 0, 9600},
      {"RTS toggle", {9600, 8, 0, 0}, 0x2000, kSerOk, 0, 9600},
      {"DTR handshake", {9600, 8, 0, 0}, 0x8000, kSerOk, 0, 9600},
      {"one and a half stop bits", {9600, 8, 1, 0}, 8, kSerRefused, 0, 0},
      {"9 data bits", {9600, 9, 0, 0}, 8, kSerRefused, 0, 0},
      {"4 data bits", {9600, 4, 0, 0}, 8, kSerRefused, 0, 0},
      {"unknown parity", {9600, 8, 0, 5}, 8, kSerRefused, 0, 0},
      {"baud 0", {0, 8, 0, 0}, 8, kSerRefused, 0, 0},
  };
  const int probe = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  const int fds = OpenDescriptors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Handle h = 0;
    ASSERT_EQ(SerOpen(pty_.path().c_str(), c.params, c.flags, &h), c.code);
    if (c.code == kSerOk) {
      termios t{};
      ASSERT_EQ(tcgetattr(probe, &t), 0);
      EXPECT_EQ(t.c_cflag & c.set, c.set);
      EXPECT_EQ(t.c_cflag & (CSTOPB | CMSPAR | PARODD | CRTSCTS) & ~c.set, 0u);
      platform::Dcb d{};
      ASSERT_TRUE(platform::Native().get_comm_state(h, &d));
      EXPECT_EQ(d.BaudRate, c.speed);
      EXPECT_EQ(SerClose(h), kSerOk);
    } else {
      // Closed again and free: nothing left open, and the next open works.
      EXPECT_EQ(OpenDescriptors(), fds);
      EXPECT_EQ(SerClose(Open(pty_.path())), kSerOk);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
  }
  ::close(probe);
}

// Runs fn in a child process (as the user "nobody" when asked) and returns its exit status.
template <typename Fn>
int InChild(bool as_nobody, Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(100);
    }
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

int OpenCode(const std::string& path) {
  Handle h = 0;
  const int32_t rc = SerOpen(path.c_str(), k9600_8N1, 8, &h);
  if (rc == kSerOk) SerClose(h);
  return rc;
}

// Nobody else opens a port while it is open, also not root, who is not held back by TIOCEXCL.
TEST_F(SerialPtyTest, OpenIsExclusive) {
  const Handle h = Open(pty_.path());
  EXPECT_EQ(OpenCode(pty_.path()), kSerOpenFailed);  // this process, another line
  EXPECT_EQ(OpenCode(pty_.name()), kSerOpenFailed);  // the same device under its short name
  EXPECT_EQ(InChild(false, [&] { return OpenCode(pty_.path()); }), kSerOpenFailed);
  // A program that locks the port the way serial tools do keeps the driver out.
  EXPECT_EQ(SerClose(h), kSerOk);
  const int other = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenCode(pty_.path()), kSerOpenFailed);
  ::close(other);
  EXPECT_EQ(OpenCode(pty_.path()), kSerOk);
}

// An ordinary user is kept out by the exclusive flag, and can open the port again and again: the
// flag stays on a pty's slave while its master is held, so closing must clear it.
TEST_F(SerialPtyTest, OrdinaryUserIsKeptOutAndCanReopen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_EQ(chmod(pty_.path().c_str(), 0666), 0);
  const Handle h = Open(pty_.path());
  EXPECT_EQ(InChild(true, [&] { return OpenCode(pty_.path()); }), kSerOpenFailed);
  EXPECT_EQ(SerClose(h), kSerOk);
  EXPECT_EQ(InChild(true,
                    [&] {
                      for (int i = 0; i < 3; ++i) {
                        const int rc = OpenCode(pty_.path());
                        if (rc != kSerOk) return 10 + rc;
                      }
                      return 0;
                    }),
            0);
  EXPECT_EQ(OpenCode(pty_.path()), kSerOk);
}

TEST_F(SerialPtyTest, DevicesWithoutLineSettingsGiveFourAndAreClosed) {
  char file[] = "/tmp/qel_serial_XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  const int fds = OpenDescriptors();
  EXPECT_EQ(OpenCode(file), kSerNoLineSettings);
  EXPECT_EQ(OpenCode("zero"), kSerNoLineSettings);  // /dev/zero
  EXPECT_EQ(OpenCode("/dev/zero"), kSerNoLineSettings);
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);  // the lock went with the descriptor
  ::close(fd);
  unlink(file);
  EXPECT_EQ(OpenCode("/nonexistent/port"), kSerOpenFailed);
  EXPECT_EQ(OpenCode("ttyQEL99"), kSerOpenFailed);
}

TEST_F(SerialPtyTest, NullDeviceTakesWritesAndBringsNothingAtOnce) {
  const Handle a = Open("NUL");
  const Handle b = Open("NUL");  // shared by all
  EXPECT_EQ(SerSetReadTimeout(a, 100), 0);
  uint32_t written = 0;
  EXPECT_EQ(SerWrite(a, "ABC\r", 4, &written), kSerOk);
  EXPECT_EQ(written, 4u);
  char c = 0;
  const auto start = Clock::now();
  EXPECT_EQ(SerRead(a, &c, 1, nullptr), kSerIoFailed);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(SerClose(a), kSerOk);
  EXPECT_EQ(SerClose(b), kSerOk);
}

TEST_F(SerialPtyTest, ReadWaitsItsTimeoutAndNotMuchLonger) {
  const Handle h = Open(pty_.path());
  EXPECT_EQ(SerSetReadTimeout(h, 20), 100);
  char buf[4] = {};
  uint32_t received = 9;
  auto start = Clock::now();
  EXPECT_EQ(SerRead(h, buf, 1, &received), kSerIoFailed);
  int64_t took = MsSince(start);
  EXPECT_GE(took, 200);
  EXPECT_LT(took, 600);
  EXPECT_EQ(received, 0u);

  // A byte that comes during the wait ends it.
  EXPECT_EQ(SerSetReadTimeout(h, 300), 20);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_.Send("z");
  });
  start = Clock::now();
  EXPECT_EQ(SerRead(h, buf, 1, &received), kSerOk);
  took = MsSince(start);
  sender.join();
  EXPECT_EQ(buf[0], 'z');
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(SerClose(h), kSerOk);
}

// A total timeout of 0 or less returns at once with what has arrived.
TEST_F(SerialPtyTest, ZeroOrNegativeTimeoutNeverWaits) {
  const Handle h = Open(pty_.path());
  for (int32_t ticks : {0, -1, -100000}) {
    SCOPED_TRACE(ticks);
    SerSetReadTimeout(h, ticks);
    char buf[4] = {};
    uint32_t received = 0;
    auto start = Clock::now();
    EXPECT_EQ(SerRead(h, buf, 1, &received), kSerIoFailed);
    EXPECT_LT(MsSince(start), 250);
    pty_.Send("ab");
    pty_.WaitQueued(2);
    start = Clock::now();
    EXPECT_EQ(SerRead(h, buf, 4, &received), kSerIoFailed);
    EXPECT_LT(MsSince(start), 250);
    EXPECT_EQ(std::string(buf, received), "ab");
  }
  EXPECT_EQ(SerClose(h), kSerOk);
}

// The driver reads one byte at a time: a burst comes out whole and in order, and a drain throws
// away everything that had arrived.
TEST_F(SerialPtyTest, OneByteReadsKeepOrderAndDrainEmptiesTheLine) {
  const Handle h = Open(pty_.path());
  std::string burst;
  for (int i = 0; i < 700; ++i) burst += static_cast<char>('A' + i % 26);
  pty_.Send(burst);
  std::string got;
  char c = 0;
  while (got.size() < burst.size() && SerRead(h, &c, 1, nullptr) == kSerOk) got += c;
  EXPECT_EQ(got, burst);

  LineWorkArea work{};
  work.port_handle = h;
  work.reply_timeout = 30;
  pty_.Send("left over");
  pty_.WaitQueued(9);
  ASSERT_EQ(SerRead(h, &c, 1, nullptr), kSerOk);  // one taken, the rest waiting
  EXPECT_EQ(c, 'l');
  const auto start = Clock::now();
  DrainInput(&work);
  EXPECT_GE(MsSince(start), 100);  // a quiet trailer timeout ends it
  EXPECT_EQ(SerSetReadTimeout(h, 5), 30);
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_EQ(SerClose(h), kSerOk);
}

// A hang-up (the other side closed, as an unplugged adapter does) ends a read at once instead of
// polling a dead line until the timeout.
TEST_F(SerialPtyTest, HangUpFailsAtOnceWithoutSpinning) {
  const Handle h = Open(pty_.path());
  EXPECT_EQ(SerSetReadTimeout(h, 300), 100);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_.HangUp();
  });
  char c = 0;
  const int64_t cpu = ThreadCpuMs();
  auto start = Clock::now();
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_LT(MsSince(start), 1500);
  closer.join();

  start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_LT(ThreadCpuMs() - cpu, 200);
  EXPECT_EQ(SerWrite(h, "x", 1, nullptr), kSerIoFailed);
  LineWorkArea work{};
  work.port_handle = h;
  DriverRequest request{&work, 5, 1, 0, nullptr};
  EXPECT_EQ(RecvString(&request, &c, 1), 0);
  EXPECT_EQ(SerClose(h), kSerOk);
}

// Closing a port while another thread waits in a read on it ends that read; the descriptor is
// closed only after it.
TEST_F(SerialPtyTest, CloseWhileAnotherThreadReads) {
  const Handle h = Open(pty_.path());
  SerSetReadTimeout(h, 500);
  std::atomic<int64_t> took{-1};
  std::atomic<int32_t> rc{-1};
  std::thread reader([&] {
    char c = 0;
    const auto start = Clock::now();
    rc = SerRead(h, &c, 1, nullptr);
    took = MsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(SerClose(h), kSerOk);
  reader.join();
  EXPECT_EQ(rc.load(), kSerIoFailed);
  EXPECT_LT(took.load(), 2000);
  // The old handle is dead; the device is free.
  char c = 0;
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_EQ(SerClose(h), kSerIoFailed);
  const Handle again = Open(pty_.path());
  EXPECT_NE(again, h);
  EXPECT_EQ(SerRead(h, &c, 1, nullptr), kSerIoFailed);
  EXPECT_EQ(SerClose(h), kSerIoFailed);
  EXPECT_EQ(SerClose(again), kSerOk);
}

// Many lines open, use and close ports on their own threads, while others compete for one port:
// at most one of them holds it at any time.
TEST_F(SerialPtyTest, ManyThreadsOpenUseAndClose) {
  constexpr int kOwnLines = 6;
  constexpr int kCompetitors = 4;
  constexpr int kRounds = 40;
  const int fds = OpenDescriptors();
  std::vector<Pty> ptys(kOwnLines);
  std::atomic<int> failures{0};
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kOwnLines; ++i) {
    threads.emplace_back([&, i] {
      for (int r = 0; r < kRounds; ++r) {
        Handle h = 0;
        if (SerOpen(ptys[i].path().c_str(), k9600_8N1, 8, &h) != kSerOk || h == 0) {
          ++failures;
          continue;
        }
        SerSetReadTimeout(h, 100);
        const std::string text = "L" + std::to_string(i) + "R" + std::to_string(r) + "\r";
        uint32_t written = 0;
        if (SerWrite(h, text.data(), static_cast<uint32_t>(text.size()), &written) != kSerOk) {
          ++failures;
        }
        if (ptys[i].Receive(text.size()) != text) ++failures;
        ptys[i].Send(text);
        char buf[32] = {};
        uint32_t received = 0;
        if (SerRead(h, buf, static_cast<uint16_t>(text.size()), &received) != kSerOk ||
            std::string(buf, received) != text) {
          ++failures;
        }
        if (SerClose(h) != kSerOk) ++failures;
      }
    });
  }
  for (int i = 0; i < kCompetitors; ++i) {
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        Handle h = 0;
        if (SerOpen(pty_.path().c_str(), k9600_8N1, 8, &h) != kSerOk) continue;
        if (++holders > 1) ++overlaps;
        ++wins;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        --holders;
        if (SerClose(h) != kSerOk) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(wins.load(), 0);
  ptys.clear();
  EXPECT_EQ(OpenDescriptors(), fds);
}

}  // namespace
}  // namespace qel
