// The engine on real pseudo-terminals, driven from the slave side as the driver drives it.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "port.h"
#include "prv2sim/fixture.h"

namespace prv2sim {
namespace {

using namespace std::chrono_literals;
using test_support::Port;
using test_support::seconds_since;

constexpr const char* kSpAnswer =
    "$SP\r\x02"
    "0021.00\r\x03\r\n\x03";

TEST(LineTest, AnswersReadsAndWritesByteForByte) {
  InProcessSimulator sim;
  Port port(sim.path());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  // A write's answer ends with the trailer too, by default.
  EXPECT_EQ(port.ask("$SP=22.500000\r"),
            "$SP=22.500000\r\x02"
            "0022.50\r\x03\r\n\x03");
  EXPECT_EQ(port.ask("@VLV=65535\r"),
            "@VLV=65535\r\x02"
            "0065535\r\x03\r\n\x03");
  EXPECT_EQ(port.ask("$sp\r"),
            "$sp\r\x02"
            "0022.50\r\x03\r\n\x03");
  EXPECT_EQ(port.ask("$OAT=1.000000\r"),
            "$OAT=1.000000\r\x02"
            "00ERROR 82\r\x03\r\n\x03");
  EXPECT_EQ(port.ask("$NONE\r"),
            "$NONE\r\x02"
            "00ERROR 13\r\x03\r\n\x03");

  EXPECT_DOUBLE_EQ(sim.gate("$SP")->value, 22.5);
  EXPECT_DOUBLE_EQ(sim.gate("@VLV")->value, 65535);
  const Counters c = sim.counters();
  EXPECT_EQ(c.transactions, 6u);
  EXPECT_EQ(c.reads, 2u);
  EXPECT_EQ(c.writes, 2u);
  EXPECT_EQ(c.error_answers, 2u);
  EXPECT_EQ(c.bytes_in, 4u + 14 + 11 + 4 + 14 + 6);
}

TEST(LineTest, RequestsSplitOrJoinedInWritesAreServedInOrder) {
  InProcessSimulator sim;
  Port port(sim.path());
  port.send("$S");
  std::this_thread::sleep_for(30ms);
  port.send("P\r@FAN\r\n@VLV\r");
  EXPECT_EQ(port.receive(6), std::string(kSpAnswer) +
                                 "@FAN\r\x02"
                                 "001\r\x03\r\n\x03" +
                                 "@VLV\r\x02"
                                 "0035\r\x03\r\n\x03");  // LF skipped
}

TEST(LineTest, DriverMayCloseAndReopenThePort) {
  InProcessSimulator sim;
  for (int i = 0; i < 3; ++i) {
    Port port(sim.path());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask("$SP\r"), kSpAnswer) << "open " << i;
  }
  // Settings made by the simulator survive the driver's close: still raw, no CR/LF mapping.
  Port port(sim.path());
  termios t{};
  ASSERT_EQ(tcgetattr(port.fd(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST(LineTest, LinkPointsToTheSlaveAndGoesAway) {
  char dir_template[] = "/tmp/prv2simXXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string link = std::string(dir_template) + "/com5";
  {
    InProcessSimulator sim({.link = link});
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, sim.path());
    EXPECT_EQ(sim.port(), link);
    Port port(link);
    EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  }
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  rmdir(dir_template);
}

TEST(LineTest, RefusesToReplaceAFileThatIsNoLink) {
  char dir_template[] = "/tmp/prv2simXXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string file = std::string(dir_template) + "/plain";
  ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_THROW(InProcessSimulator({.link = file}), std::system_error);
  struct stat st {};
  EXPECT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  unlink(file.c_str());
  rmdir(dir_template);
}

TEST(LineTest, FaultsReachTheLine) {
  InProcessSimulator sim({.faults = "silence@1,delay:ms=250@2,notrailer@3,error:code=86@4"});
  Port port(sim.path());
  EXPECT_EQ(port.ask("$SP=30\r", 1, 300ms).size(), 0u);  // silence: nothing, and nothing stored
  EXPECT_DOUBLE_EQ(sim.gate("$SP")->value, 21.0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  EXPECT_GE(seconds_since(start), 0.2);

  EXPECT_EQ(port.ask("$SP\r", 2, 300ms),
            "$SP\r\x02"
            "0021.00\r\x03");
  EXPECT_EQ(port.ask("$SP\r"),
            "$SP\r\x02"
            "00ERROR 86\r\x03\r\n\x03");
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);

  const Counters c = sim.counters();
  for (FaultKind k :
       {FaultKind::Silence, FaultKind::Delay, FaultKind::NoTrailer, FaultKind::Error}) {
    EXPECT_EQ(c.injected_of(k), 1u) << to_string(k);
  }
  EXPECT_EQ(c.injected_total(), 4u);
  EXPECT_EQ(c.transactions, 5u);
}

TEST(LineTest, TriggersCountFromTheLatestFaultList) {
  InProcessSimulator sim;
  Port port(sim.path());
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  sim.set_faults("silence@2");
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);            // first after the change
  EXPECT_EQ(port.ask("$SP\r", 2, 300ms).size(), 0u);  // second
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  sim.set_faults("");
  EXPECT_EQ(sim.engine().faults(), "");
  EXPECT_THROW(sim.set_faults("silence@0"), FaultListError);
}

TEST(LineTest, HangupClosesTheLineAndComesBackOnANewOne) {
  char dir_template[] = "/tmp/prv2simXXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string link = std::string(dir_template) + "/q";
  InProcessSimulator sim({.faults = "hangup:ms=300:after=5@2", .link = link});
  const auto generation = sim.line_generation();
  {
    Port port(link);
    EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ask("$SP=5\r"), "$SP=5");  // the first 5 bytes, then the hang-up
    EXPECT_TRUE(port.hung_up());
    EXPECT_LT(seconds_since(start), 2.0);
  }
  ASSERT_TRUE(sim.wait_for_line(generation, 5s));
  EXPECT_GT(sim.line_generation(), generation);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, sim.path());
  Port port(link);
  EXPECT_EQ(port.ask("$SP\r"),
            "$SP\r\x02"
            "005.00\r\x03\r\n\x03");  // the write was carried out
  EXPECT_EQ(sim.counters().lines_opened, 2u);
  sim.stop();
  rmdir(dir_template);
}

TEST(LineTest, PacingTakesTheTimeOfTheWire) {
  // 1200 baud 8N1: 120 characters per second; "$SP\r" and its 17-byte answer take ~175 ms.
  InProcessSimulator sim({.baud = 1200});
  Port port(sim.path());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask("$SP\r"), kSpAnswer);
  EXPECT_GE(seconds_since(start), 0.15);
  EXPECT_LT(seconds_since(start), 3.0);
  ASSERT_TRUE(sim.wait_for_transactions(1, 2s));  // the trace event follows the last byte
  const auto tx = sim.trace().back();
  ASSERT_EQ(tx.direction, Direction::Tx);
  ASSERT_EQ(tx.byte_times.size(), 17u);
  EXPECT_GE(tx.byte_times.back() - tx.byte_times.front(), 0.1);  // bytes spread out
}

TEST(LineTest, ServesAnExistingSerialDevice) {
  // A pty slave stands in for a serial device; the test talks on the master side.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  {
    InProcessSimulator sim({.device = slave, .baud = 9600, .format = *parse_char_format("8N2")});
    EXPECT_EQ(sim.path(), slave);
    termios t{};
    const int probe = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);  // (a pty keeps 8 bits and no parity whatever is set)
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    ::close(probe);
    ASSERT_EQ(::write(master, "@FAN\r", 5), 5);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (got.size() < 14 && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        char buf[64];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      }
    }
    EXPECT_EQ(got,
              "@FAN\r\x02"
              "001\r\x03\r\n\x03");
  }
  ::close(master);
}

}  // namespace
}  // namespace prv2sim
