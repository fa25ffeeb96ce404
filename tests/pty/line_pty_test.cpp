// The line commands on real pseudo-terminals with the POSIX back-end: the port that a start-up
// opens, a port update that moves the line, and a close and open that apply new parameters.
// The line settings are read back through the pty's master side, which reports the slave's.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "driver/host/entry.h"
#include "driver/host/records.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_current_dir.h"

namespace qel {
namespace {

// A pseudo-terminal whose slave side the driver opens by its name under /dev ("pts/N").
class Pty {
 public:
  Pty() {
    int slave = -1;
    char path[64] = {};
    if (::openpty(&master_, &slave, path, nullptr, nullptr) != 0) return;
    ::close(slave);  // the driver's open is the only one
    path_ = path;
    if (path_.rfind("/dev/", 0) == 0) name_ = path_.substr(5);
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !name_.empty() && name_.size() <= 11; }
  const std::string& name() const { return name_; }

  speed_t Speed() const {
    termios t{};
    if (::tcgetattr(master_, &t) != 0) return 0;
    return ::cfgetospeed(&t);
  }
  tcflag_t Cflag() const {
    termios t{};
    if (::tcgetattr(master_, &t) != 0) return 0;
    return t.c_cflag;
  }
  // True when someone holds the slave side: the driver locks every port it opens.
  bool HeldByDriver() const {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
  }

 private:
  int master_ = -1;
  std::string path_;
  std::string name_;
};

LineSetup MakeSetup(const std::string& name, LineParameters params) {
  LineSetup s{};
  std::memcpy(s.port_name, name.c_str(), name.size() + 1);
  s.in_use = 1;
  s.reply_timeout = 300;
  s.params = params;
  return s;
}

PortUpdateRecord MakeUpdate(const std::string& name, LineParameters params) {
  PortUpdateRecord u{};
  std::memcpy(u.port_name, name.c_str(), name.size() + 1);
  u.params = params;
  return u;
}

class LinePtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(first_.ok());
    ASSERT_TRUE(second_.ok());
    test::ClearLog();
  }
  void TearDown() override {
    if (work_.port_handle != 0) Run(kCmdPortClose);
  }
  int32_t Run(int32_t code, void* arg = nullptr) {
    DriverRequest request{&work_, code, 1, 0, arg};
    return QelMain(&request);
  }

  test::ScopedCurrentDir dir_;  // no settings file
  Pty first_, second_;
  LineWorkArea work_{};
};

TEST_F(LinePtyTest, StartOpensAndConfiguresThePty) {
  LineSetup setup = MakeSetup(first_.name(), {19200, 7, 2, 2});
  ASSERT_EQ(Run(kCmdLineStart, &setup), kOk);
  EXPECT_NE(work_.port_handle, 0u);
  EXPECT_EQ(test::LoggedTexts().back(), "QELPRV: Landis&Stafea Driver loaded successfully.");
  EXPECT_TRUE(first_.HeldByDriver());
  EXPECT_EQ(first_.Speed(), static_cast<speed_t>(B19200));
  // A pty keeps the speed and the stop bits it is given; it always reports 8 bits, no parity.
  EXPECT_TRUE(first_.Cflag() & CSTOPB);

  // A second start-up on the open line: the port is exclusive, so the open fails and the line
  // keeps its port.
  const uint32_t handle = work_.port_handle;
  test::ClearLog();
  setup = MakeSetup(first_.name(), {9600, 8, 0, 0});
  EXPECT_EQ(Run(kCmdLineStart, &setup), kFailed);
  EXPECT_EQ(test::LoggedTexts().back(), "QELPR : Fail to open " + first_.name());
  EXPECT_EQ(work_.port_handle, handle);
  EXPECT_EQ(first_.Speed(), static_cast<speed_t>(B19200));

  EXPECT_EQ(Run(kCmdLineFlush), kOk);
  EXPECT_EQ(Run(kCmdLineStop), kOk);
  EXPECT_EQ(work_.port_handle, 0u);
  EXPECT_FALSE(first_.HeldByDriver());
}

TEST_F(LinePtyTest, PortUpdateMovesTheLineToAnotherPty) {
  LineSetup setup = MakeSetup(first_.name(), {9600, 8, 0, 0});
  ASSERT_EQ(Run(kCmdLineStart, &setup), kOk);
  ASSERT_TRUE(first_.HeldByDriver());

  PortUpdateRecord update = MakeUpdate(second_.name(), {19200, 8, 0, 0});
  EXPECT_EQ(Run(kCmdPortUpdate, &update), kOk);
  EXPECT_NE(work_.port_handle, 0u);
  EXPECT_FALSE(first_.HeldByDriver());
  EXPECT_TRUE(second_.HeldByDriver());
  EXPECT_EQ(second_.Speed(), static_cast<speed_t>(B19200));
}

TEST_F(LinePtyTest, CloseThenOpenAppliesTheUpdatedParameters) {
  LineSetup setup = MakeSetup(first_.name(), {9600, 8, 0, 0});
  ASSERT_EQ(Run(kCmdLineStart, &setup), kOk);
  const uint32_t handle = work_.port_handle;

  // The same name on the open line: the exclusive open fails, the port runs on as before.
  PortUpdateRecord update = MakeUpdate(first_.name(), {4800, 8, 0, 0});
  EXPECT_EQ(Run(kCmdPortUpdate, &update), kFailed);
  EXPECT_EQ(work_.port_handle, handle);
  EXPECT_TRUE(first_.HeldByDriver());
  EXPECT_EQ(first_.Speed(), static_cast<speed_t>(B9600));

  ASSERT_EQ(Run(kCmdPortClose), kOk);
  EXPECT_FALSE(first_.HeldByDriver());
  ASSERT_EQ(Run(kCmdPortOpen), kOk);
  EXPECT_TRUE(first_.HeldByDriver());
  EXPECT_EQ(first_.Speed(), static_cast<speed_t>(B4800));
  EXPECT_EQ(work_.in_use, 1u);
}

}  // namespace
}  // namespace qel
