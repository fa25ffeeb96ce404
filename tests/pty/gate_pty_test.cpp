// A line's whole life through QelMain on a real pseudo-terminal, with the POSIX back-end: start
// the line, define gates, read, write, read back, and stop. On the other end a small scripted
// controller in a thread of the test answers each request as a PRV2 controller does: the echo,
// the data block STX "00" value CR ETX, and a trailer CR LF ETX.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/records.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

class ScriptedController {
 public:
  ScriptedController() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    const char* path = ::ttyname(slave_);
    if (path != nullptr && std::strncmp(path, "/dev/", 5) == 0) port_ = path + 5;  // "pts/N"
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedController() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  const std::string& Port() const { return port_; }
  void SetGate(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    gates_[name] = value;
  }
  std::string Gate(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return gates_[name];
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char c = 0;
      if (::read(master_, &c, 1) != 1) continue;
      pending += c;
      if (c != '\r') continue;
      Answer(pending);
      pending.clear();
    }
  }

  // "NAME\r" reads a gate, "NAME=VALUE\r" writes it; an unknown name gets "ERROR 13".
  void Answer(const std::string& request) {
    const std::string text = request.substr(0, request.size() - 1);
    const std::size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    std::string payload;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      auto it = gates_.find(name);
      if (it == gates_.end()) {
        payload = "ERROR 13";
      } else {
        if (eq != std::string::npos) it->second = Normalised(text.substr(eq + 1));
        payload = it->second;
      }
    }
    const std::string answer = request + "\x02" + "00" + payload + "\r\x03" + "\r\n\x03";
    (void)!::write(master_, answer.data(), answer.size());
  }

  // Floats as a controller shows them, with two decimals; integers as they are.
  static std::string Normalised(const std::string& value) {
    if (value.find('.') == std::string::npos) return value;
    char out[64];
    std::snprintf(out, sizeof out, "%.2f", std::strtod(value.c_str(), nullptr));
    return out;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> gates_;
  std::vector<std::string> requests_;
};

int Command(LineWorkArea* work, int32_t code, void* arg) {
  DriverRequest request{work, code, 47, 0, arg};
  return QelMain(&request);
}

bool Logged(const std::string& text) {
  for (const test::LogLine& l : test::LoggedLines()) {
    if (l.text == text) return true;
  }
  return false;
}

// Every exchange got its answer within its tries: no failure report of the reader or of the gate
// commands. (A single try that a back-end ends before the answer arrives is reported by the
// serial wrapper alone and retried; that is the serial layer's business, not checked here.)
void ExpectNoFailureReports() {
  for (const test::LogLine& l : test::LoggedLines()) {
    if (l.text == "QELPRV: RecvString() failed (Len=1 - Count=0)") continue;
    ADD_FAILURE() << l.level << " " << l.text;
  }
}

TEST(GatePtyTest, StartDefineReadWriteReadBackStop) {
  ScriptedController controller;
  ASSERT_FALSE(controller.Port().empty()) << "no pseudo-terminal";
  ASSERT_LE(controller.Port().size(), 11u);
  controller.SetGate("$temp1", "21.50");
  controller.SetGate("@count", "7");
  test::ClearLog();

  LineWorkArea work{};
  LineSetup setup{};
  std::strcpy(setup.port_name, controller.Port().c_str());
  setup.in_use = 1;
  setup.reply_timeout = 100;
  setup.params = LineParameters{9600, 8, 0, 0};
  ASSERT_EQ(Command(&work, kCmdLineStart, &setup), kOk);
  ASSERT_NE(work.port_handle, 0u);
  EXPECT_TRUE(Logged("QELPRV: Landis&Stafea Driver loaded successfully."));

  GateDefinition temp{};
  temp.name = "$temp1";
  temp.type = kTypeFloat;
  EXPECT_EQ(Command(&work, kCmdGateDefine, &temp), kOk);
  EXPECT_EQ(temp.bits, 32);
  EXPECT_STREQ(work.gate_name, "$TEMP1");
  GateDefinition count{};
  count.name = "@count";
  count.type = kTypeWord;
  EXPECT_EQ(Command(&work, kCmdGateDefine, &count), kOk);
  EXPECT_EQ(count.bits, 16);

  // The float gate: read, write, read back.
  float f = 0;
  GateTransfer gate{};
  gate.name = "$temp1";
  gate.type = kTypeFloat;
  gate.value = &f;
  test::ClearLog();
  EXPECT_EQ(Command(&work, kCmdSingleRead, &gate), kOk);
  EXPECT_EQ(f, 21.5f);
  f = 23.25f;
  EXPECT_EQ(Command(&work, kCmdSingleWrite, &gate), kOk);
  EXPECT_EQ(controller.Gate("$temp1"), "23.25");
  f = 0;
  EXPECT_EQ(Command(&work, kCmdSingleRead, &gate), kOk);
  EXPECT_EQ(f, 23.25f);
  ExpectNoFailureReports();

  // The word gate, in bytes 2 and 3 of its value area.
  unsigned char word[4] = {0xEE, 0xEE, 0, 0};
  GateTransfer wgate{};
  wgate.name = "@count";
  wgate.type = kTypeWord;
  wgate.value = word;
  test::ClearLog();
  EXPECT_EQ(Command(&work, kCmdSingleRead, &wgate), kOk);
  EXPECT_EQ(word[2] | (word[3] << 8), 7);
  word[2] = 0xFF;
  word[3] = 0xFF;
  EXPECT_EQ(Command(&work, kCmdSingleWrite, &wgate), kOk);
  word[2] = word[3] = 0;
  EXPECT_EQ(Command(&work, kCmdSingleRead, &wgate), kOk);
  EXPECT_EQ(word[2] | (word[3] << 8), 65535);
  EXPECT_EQ(word[0], 0xEE);
  EXPECT_EQ(word[1], 0xEE);
  ExpectNoFailureReports();

  // A gate the controller does not know: its error report, once.
  float unknown = 1.0f;
  GateTransfer ugate{};
  ugate.name = "$nope";
  ugate.type = kTypeFloat;
  ugate.value = &unknown;
  test::ClearLog();
  EXPECT_EQ(Command(&work, kCmdSingleRead, &ugate), kRefused);
  EXPECT_EQ(unknown, 1.0f);
  EXPECT_TRUE(Logged("QELPRV: SingleRead() Tag $nope: Read failed. rc = 1 "));
  EXPECT_TRUE(Logged("QELPRV: Tag $nope: Invalid Gate Name"));

  EXPECT_EQ(controller.Requests(),
            (std::vector<std::string>{"$temp1\r", "$temp1=23.250000\r", "$temp1\r", "@count\r",
                                      "@count=65535\r", "@count\r", "$nope\r"}));

  EXPECT_EQ(Command(&work, kCmdLineStop, nullptr), kOk);
  EXPECT_EQ(work.port_handle, 0u);
}

}  // namespace
}  // namespace qel
