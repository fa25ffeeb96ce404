// Test fixtures: the simulator on a thread of the test process, or the prv2sim command as a
// child process. Both hand the test the path of the pty's slave side, the port the driver
// opens. Link with the CMake target prv2sim::fixture.
//
//   prv2sim::InProcessSimulator sim;                  // built-in gates, a new pty
//   open_port(sim.path());  ... "$SP\r" ...
//   sim.set_faults("silence@1");                     // the next request gets no answer
//   EXPECT_EQ(sim.counters().injected_of(prv2sim::FaultKind::Silence), 1u);
//   EXPECT_DOUBLE_EQ(sim.gate("$SP")->value, 21.5);
//
//   prv2sim::ChildSimulator child({"--fault", "hangup:ms=300@2"});
//   open_port(child.path());
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "prv2sim/engine.h"

namespace prv2sim {

class InProcessSimulator {
 public:
  // Opens the line and starts serving it on a thread. Throws what Engine's constructor throws.
  explicit InProcessSimulator(EngineOptions options = {});
  ~InProcessSimulator();
  InProcessSimulator(const InProcessSimulator&) = delete;
  InProcessSimulator& operator=(const InProcessSimulator&) = delete;

  // Stops the thread and joins it; closes the line and removes the link. Idempotent.
  void stop();

  // The pty's slave side (or the device); empty while the line is down after a hang-up.
  std::string path() const { return engine_->path(); }
  // The link when one was asked for, else path().
  std::string port() const;
  std::uint64_t line_generation() const { return engine_->line_generation(); }
  // Waits until a line newer than `generation` is up (after a hang-up). True when it is.
  bool wait_for_line(std::uint64_t generation, std::chrono::milliseconds timeout);
  // Waits until `count` answers in all (silent ones included) have been sent since the start
  // or the last clear_trace().
  bool wait_for_transactions(std::uint64_t count, std::chrono::milliseconds timeout);

  // Runtime control, safe while the thread runs.
  void set_faults(std::string_view list) { engine_->set_faults(list); }
  void set_controller_config(ControllerConfig c) { engine_->set_controller_config(std::move(c)); }
  ControllerConfig controller_config() const { return engine_->controller_config(); }
  Counters counters() const { return engine_->counters(); }
  void reset_counters() { engine_->reset_counters(); }
  std::vector<GateSnapshot> gates() const { return engine_->gates(); }
  std::optional<GateSnapshot> gate(std::string_view name) const { return engine_->gate(name); }
  bool set_gate_value(std::string_view name, double v) { return engine_->set_gate_value(name, v); }
  Engine& engine() { return *engine_; }

  // The trace so far (the last 10000 events), as events or as formatted lines.
  std::vector<TraceEvent> trace() const;
  std::vector<std::string> trace_lines(bool hex = false) const;
  void clear_trace();
  // What the serving thread threw, if it stopped on an error.
  std::exception_ptr error() const;

 private:
  void on_trace(const TraceEvent& e);

  std::string link_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TraceEvent> trace_;
  std::uint64_t answers_ = 0;
  std::exception_ptr error_;
  bool finished_ = false;
  std::function<void(const TraceEvent&)> user_trace_;
  std::unique_ptr<Engine> engine_;
  std::thread thread_;
};

class ChildSimulator {
 public:
  // Starts `executable` with `args` and waits for the first line of its standard output, the
  // line's path. Throws std::runtime_error when it does not come within `timeout`.
  explicit ChildSimulator(std::vector<std::string> args = {},
                          std::string executable = default_executable(),
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Stops the child (SIGTERM, then SIGKILL after two seconds).
  ~ChildSimulator();
  ChildSimulator(const ChildSimulator&) = delete;
  ChildSimulator& operator=(const ChildSimulator&) = delete;

  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }
  // The next line of the child's standard output (prv2sim prints the new path after every
  // hang-up), or nothing within the timeout.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  // Sends SIGTERM and waits. Returns the exit status, or 128 + the signal that ended it.
  // Further calls return the same value.
  int stop();

  // $PRV2SIM if set, else the prv2sim built next to this fixture.
  static std::string default_executable();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::string path_;
  std::optional<int> status_;
};

}  // namespace prv2sim
