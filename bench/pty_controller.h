// A PRV2 controller for the benchmarks, on its own thread at the master side of a new pty.
//
// It answers every request as a controller would: the echo, the data block and, after reads,
// the trailer. "NAME\r" gets  NAME\r STX 00 <value> CR ETX CR LF ETX  and "NAME=V\r" gets
// NAME=V\r STX 00 V CR ETX  (no trailer after writes, as the controller sends it).
//
// Unpaced, the whole answer goes out in one write the moment the request's CR arrives. Paced at
// a baud rate (8N1: ten bit times a character), the line is modelled as one half-duplex wire on
// which the request and then the answer travel: the answer's i-th byte is written at
// t0 + (request bytes + i + 1) * 10 / baud, where t0 is when the request's first byte arrived.
// The times are absolute, so a late wake-up delays one byte and never the ones after it.
//
// A silent controller never answers: its pty only holds the line open (for timeouts).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace qelbench {

enum class Answer { kInstant, kPaced, kSilent };

class PtyController {
 public:
  PtyController(Answer mode, uint32_t baud, std::string value = "21.50");
  ~PtyController();
  PtyController(const PtyController&) = delete;
  PtyController& operator=(const PtyController&) = delete;

  const std::string& path() const { return path_; }  // "/dev/pts/N"
  std::string port_name() const;                     // "pts/N": what the driver opens
  uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }
  uint64_t bytes_sent() const { return bytes_sent_.load(std::memory_order_relaxed); }

  // The answer to a read of `name`, and the wire bytes of one read transaction.
  static std::string ReadAnswer(const std::string& name, const std::string& value);
  static std::size_t ReadTransactionBytes(const std::string& name, const std::string& value);

 private:
  void Serve();
  void Reply(const std::string& request, int64_t t0_ns);

  Answer mode_;
  uint32_t baud_;
  std::string value_;
  int master_ = -1;
  int slave_ = -1;  // held open so that a client's close never hangs the line up
  int stop_[2] = {-1, -1};
  std::string path_;
  std::atomic<uint64_t> answered_{0};
  std::atomic<uint64_t> bytes_sent_{0};
  std::thread thread_;
};

int64_t NowNs();

}  // namespace qelbench
