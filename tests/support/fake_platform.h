// A scripted serial line on a virtual clock, put in place of the platform for tests.
//
// Devices are declared by name with the failures they show. What the driver writes goes to a
// scripted controller, which schedules the bytes of its answer at virtual times. Reads obey the
// total-timeout rule exactly: a read returns when its count has arrived or when its timeout has
// passed since it began, with what arrived. sleep() and waiting reads advance the clock, so a
// failure path that costs seconds of line time runs in microseconds.
//
// Every call is recorded with its arguments and the virtual time at which it began.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/platform/platform.h"

namespace qel::test {

using platform::CommTimeouts;
using platform::Dcb;
using platform::Handle;

enum class Op {
  kOpen,
  kGetState,
  kSetState,
  kGetTimeouts,
  kSetTimeouts,
  kSetupQueues,
  kRead,
  kWrite,
  kClose,
  kSleep,
  kPurge
};

const char* OpName(Op op);

struct Call {
  Op op;
  int64_t at_ms;  // virtual time when the call began
  Handle handle = 0;
  std::string name;         // open
  Dcb dcb{};                // set state
  CommTimeouts timeouts{};  // set timeouts
  uint32_t count = 0;       // read: asked; write: asked; sleep: ms; queues: input size
  uint32_t count2 = 0;      // queues: output size
  std::string data;         // write: the bytes; read: the bytes returned
  bool ok = true;
};

struct DeviceOptions {
  bool serial = true;            // has line settings (get state works)
  bool refuse_settings = false;  // set state fails
  bool refuse_timeouts = false;  // set timeouts fails
  bool shared = false;           // a second open succeeds (no exclusive use)
  bool close_fails = false;
  uint32_t short_write = 0;    // when not 0, a write takes at most this many bytes
  bool refuse_queues = false;  // the queue sizes call fails
};

class FakeLine {
 public:
  FakeLine();
  ~FakeLine();  // puts the real platform back
  FakeLine(const FakeLine&) = delete;
  FakeLine& operator=(const FakeLine&) = delete;

  // Devices. "NUL" exists from the start (no line settings, reads bring nothing).
  void AddDevice(const std::string& name, DeviceOptions options = {});
  DeviceOptions& Options(const std::string& name);
  bool IsOpen(const std::string& name) const;
  int OpenCount() const;  // handles open now, all devices

  // The controller: called with every write; schedules its answer with Send()/SendAt().
  using Controller = std::function<void(FakeLine& line, Handle h, const std::string& written)>;
  void SetController(Controller controller) { controller_ = std::move(controller); }
  // Answers each write with the next of these texts (nothing once they run out), after delay_ms.
  void AnswerWith(std::vector<std::string> answers, int64_t delay_ms = 0);

  // Bytes that arrive on the handle's input, all at now + delay_ms, or one every gap_ms.
  void Send(Handle h, const std::string& bytes, int64_t delay_ms = 0, int64_t gap_ms = 0);
  // The same on the most recently opened handle.
  void Send(const std::string& bytes, int64_t delay_ms = 0, int64_t gap_ms = 0);
  // From this virtual time on, reads and writes on the handle fail (a hang-up or device error).
  void FailFrom(Handle h, int64_t at_ms);

  Handle LastHandle() const { return last_handle_; }
  int64_t Now() const { return now_; }
  void Advance(int64_t ms) { now_ += ms; }

  const std::vector<Call>& Calls() const { return calls_; }
  std::vector<Call> CallsOf(Op op) const;
  void ClearCalls() { calls_.clear(); }
  // Everything written on all handles, in order.
  std::string Written() const;
  // The read timeout (ms) in force on a handle.
  uint32_t ReadTimeoutMs(Handle h) const;
  const Dcb& DeviceState(const std::string& name) const;
  // Read timeouts set, as the sequence of ReadTotalTimeoutConstant values.
  std::vector<uint32_t> TimeoutsSet() const;
  std::vector<uint32_t> Sleeps() const;

  static const platform::Ops& Table();

 private:
  struct Device {
    DeviceOptions options;
    Dcb dcb{};
    int open = 0;
  };
  struct Byte {
    int64_t at_ms;
    char c;
  };
  struct Port {
    std::string device;
    CommTimeouts timeouts{};
    std::deque<Byte> input;
    int64_t fail_from = INT64_MAX;
  };

  static FakeLine* current_;
  static Handle OpOpen(const char* name);
  static bool OpGetState(Handle h, Dcb* dcb);
  static bool OpSetState(Handle h, const Dcb* dcb);
  static bool OpGetTimeouts(Handle h, CommTimeouts* t);
  static bool OpSetTimeouts(Handle h, const CommTimeouts* t);
  static bool OpSetupQueues(Handle h, uint32_t in, uint32_t out);
  static bool OpRead(Handle h, void* buf, uint32_t n, uint32_t* got);
  static bool OpWrite(Handle h, const void* buf, uint32_t n, uint32_t* written);
  static bool OpClose(Handle h);
  static void OpSleep(uint32_t ms);
  static bool OpPurge(Handle h);

  Port* Find(Handle h);
  Call& Record(Op op, Handle h);

  std::map<std::string, Device> devices_;
  std::map<Handle, Port> ports_;
  std::vector<Call> calls_;
  Controller controller_;
  Handle next_handle_ = 0x100;
  Handle last_handle_ = 0;
  int64_t now_ = 0;
};

}  // namespace qel::test
