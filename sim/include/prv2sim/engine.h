// The simulator engine: serves one line end with the controller model, the fault plan and the
// trace. run() blocks the calling thread until stop(); every other member may be called from
// any thread while it runs.
//
// The loop, for each request:
//   1. read what the line brings; bytes up to a CR make one request text (an LF at the start
//      of a request is skipped, so CR LF senders work too);
//   2. under the lock: number the transaction, let the fault plan decide, let the controller
//      carry it out (transact()), count what happened;
//   3. with paced lines, wait until the request would have arrived on a real wire;
//   4. send the answer bytes with their pauses (and pacing); on a hang-up close the line after
//      the bytes due, wait, and open a new one (a new pty, with the link pointed to it).
// A pty whose slave side nobody has open gives POLLHUP; the loop then looks again every 10 ms.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prv2sim/faults.h"
#include "prv2sim/line.h"
#include "prv2sim/model.h"
#include "prv2sim/trace.h"

namespace prv2sim {

struct Counters {
  std::uint64_t transactions = 0;   // requests received
  std::uint64_t reads = 0;          // reads answered with a value
  std::uint64_t writes = 0;         // writes stored
  std::uint64_t error_answers = 0;  // answers that carried "ERROR nn" (faults included)
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t lines_opened = 0;  // the first line and every one after a hang-up
  std::array<std::uint64_t, kFaultKindCount> injected{};  // faults fired, by kind

  std::uint64_t injected_of(FaultKind kind) const {
    return injected[static_cast<std::size_t>(kind)];
  }
  std::uint64_t injected_total() const;
};

struct EngineOptions {
  ControllerConfig controller;
  std::vector<GateDef> gates;  // empty: the built-in set (default_gates())
  std::string faults;          // fault list, see faults.h
  std::uint64_t seed = 1;      // faults and random walks
  std::string device;          // empty: a new pty; otherwise this serial device
  std::string link;            // optional symbolic link to the pty's slave side
  unsigned baud = 0;           // device speed; on a pty, > 0 paces the bytes
  CharFormat format;
  // Called after each line (re)opens, with its path, on the thread that opened it (the
  // constructor's for the first line, run()'s after a hang-up).
  std::function<void(const std::string& path)> on_line;
  // Called for each trace event on run()'s thread.
  std::function<void(const TraceEvent& event)> on_trace;
};

class Engine {
 public:
  // Opens the line (and the link). Throws std::system_error, std::invalid_argument (gates,
  // baud rate) or FaultListError.
  explicit Engine(EngineOptions options);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Serves the line until stop(). Throws std::system_error when the line cannot be reopened.
  void run();
  // Makes run() return soon. Safe from a signal handler.
  void stop();
  // After run() has returned (or before it starts): closes the line and removes the link. The
  // destructor does the same.
  void release();

  // The path the driver opens; empty while the line is down after a hang-up.
  std::string path() const;
  // 1 for the first line, +1 for every line opened after a hang-up.
  std::uint64_t line_generation() const;
  // Seconds since the engine started (the trace's and the gates' clock).
  double now() const;

  // Installs a new fault list; "@" transaction numbers count from 1 again from here.
  void set_faults(std::string_view list);
  std::string faults() const;
  void set_controller_config(ControllerConfig config);
  ControllerConfig controller_config() const;
  Counters counters() const;
  void reset_counters();
  std::vector<GateSnapshot> gates() const;
  std::optional<GateSnapshot> gate(std::string_view name) const;
  // Stores a value as if written by the driver, without access checks. False: no such gate.
  bool set_gate_value(std::string_view name, double value);

 private:
  using Clock = std::chrono::steady_clock;
  void open_line();
  bool wait_until(Clock::time_point deadline);  // false when stopped
  bool wait_ms(double ms) { return wait_until(Clock::now() + to_duration(ms)); }
  static Clock::duration to_duration(double ms);
  double since_start(Clock::time_point t) const;
  void serve(const std::string& raw, const std::string& text, Clock::time_point first_byte,
             const std::vector<double>& times);
  // Writes bytes; false when the peer went away.
  bool write_all(const char* data, std::size_t size);
  void hang_up(unsigned ms, bool sent_bytes);
  void emit(TraceEvent event);
  void line_event(std::string note);

  EngineOptions options_;
  Clock::time_point start_;
  std::atomic<bool> stopping_{false};
  int wake_[2] = {-1, -1};

  mutable std::mutex mutex_;       // guards the members below
  mutable Controller controller_;  // mutable: snapshots advance the gates' clocks
  FaultPlan plan_;
  std::uint64_t plan_transactions_ = 0;
  Counters counters_;
  std::string path_;
  std::uint64_t generation_ = 0;

  // run()'s thread only.
  LineEnd line_;
  SymLink link_;
  Clock::duration byte_time_{};   // 0: no pacing
  std::uint64_t lines_seen_ = 0;  // open_line() calls, to notice a hang-up inside serve()
};

}  // namespace prv2sim
