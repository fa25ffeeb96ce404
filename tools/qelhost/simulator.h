// --sim: the PRV2 controller simulator on a new pseudo-terminal, served by a thread of qelhost,
// and a port name for the line that fits the driver's 11 characters.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace prv2sim {
class InProcessSimulator;
}

namespace qelhost {

struct SimOptions {
  std::string gates_file;           // empty: the simulator's built-in gates
  std::vector<std::string> faults;  // fault lists, joined
  unsigned baud = 0;                // > 0: bytes paced like a line at this speed
};

class SimLine {
 public:
  SimLine();
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // Starts the simulator. False with a message when the gate file, the fault list or the
  // pseudo-terminal is refused.
  bool Start(const SimOptions& options, std::string* error);
  void Stop();

  // What the line's port is called: a short link such as /tmp/qh1234 (re-pointed after a
  // simulated hang-up), else the pty's name under /dev, such as pts/3.
  const std::string& port() const { return port_; }
  // The pty's path.
  std::string path() const;
  // The gates a host can read: every gate but the write-only ones, in the simulator's order.
  std::vector<std::string> ReadableGates() const;

 private:
  std::unique_ptr<prv2sim::InProcessSimulator> sim_;
  std::string port_;
};

}  // namespace qelhost
