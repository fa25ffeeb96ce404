#include "tests/support/fake_platform.h"

#include <cstring>
#include <memory>
#include <stdexcept>

namespace qel::test {

FakeLine* FakeLine::current_ = nullptr;

const char* OpName(Op op) {
  switch (op) {
    case Op::kOpen:
      return "open";
    case Op::kGetState:
      return "get_state";
    case Op::kSetState:
      return "set_state";
    case Op::kGetTimeouts:
      return "get_timeouts";
    case Op::kSetTimeouts:
      return "set_timeouts";
    case Op::kSetupQueues:
      return "setup_queues";
    case Op::kRead:
      return "read";
    case Op::kWrite:
      return "write";
    case Op::kClose:
      return "close";
    case Op::kSleep:
      return "sleep";
    case Op::kPurge:
      return "purge";
  }
  return "?";
}

namespace {

// What a port reports before anything sets it: the values a driver must leave alone are
// distinctive, so a test sees when they change.
Dcb InitialDcb() {
  Dcb d{};
  d.DCBlength = 28;
  d.BaudRate = 1200;
  d.fBinary = 1;
  d.fParity = 0;
  d.fOutxCtsFlow = 1;
  d.fOutxDsrFlow = 1;
  d.fDtrControl = 1;
  d.fDsrSensitivity = 1;
  d.fTXContinueOnXoff = 1;
  d.fOutX = 1;
  d.fInX = 1;
  d.fErrorChar = 1;
  d.fNull = 1;
  d.fRtsControl = 1;
  d.fAbortOnError = 1;
  d.fDummy2 = 0x1A5A5;
  d.wReserved = 0x1234;
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.ByteSize = 7;
  d.Parity = 2;
  d.StopBits = 2;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = 0x3F;
  d.EofChar = 0x1A;
  d.EvtChar = 0x7E;
  d.wReserved1 = 0x5678;
  return d;
}

}  // namespace

FakeLine::FakeLine() {
  if (current_ != nullptr) throw std::logic_error("one FakeLine at a time");
  current_ = this;
  AddDevice("NUL", DeviceOptions{.serial = false, .shared = true});
  platform::SetOverride(&Table());
}

FakeLine::~FakeLine() {
  platform::SetOverride(nullptr);
  current_ = nullptr;
}

const platform::Ops& FakeLine::Table() {
  static const platform::Ops ops{OpOpen,        OpGetState,    OpSetState, OpGetTimeouts,
                                 OpSetTimeouts, OpSetupQueues, OpRead,     OpWrite,
                                 OpClose,       OpSleep,       OpPurge};
  return ops;
}

void FakeLine::AddDevice(const std::string& name, DeviceOptions options) {
  Device& d = devices_[name];
  d.options = options;
  d.dcb = InitialDcb();
}

DeviceOptions& FakeLine::Options(const std::string& name) {
  return devices_.at(name).options;
}

bool FakeLine::IsOpen(const std::string& name) const {
  auto it = devices_.find(name);
  return it != devices_.end() && it->second.open > 0;
}

int FakeLine::OpenCount() const {
  return static_cast<int>(ports_.size());
}

const Dcb& FakeLine::DeviceState(const std::string& name) const {
  return devices_.at(name).dcb;
}

void FakeLine::AnswerWith(std::vector<std::string> answers, int64_t delay_ms) {
  auto queue = std::make_shared<std::deque<std::string>>(answers.begin(), answers.end());
  controller_ = [queue, delay_ms](FakeLine& line, Handle h, const std::string&) {
    if (queue->empty()) return;
    line.Send(h, queue->front(), delay_ms);
    queue->pop_front();
  };
}

void FakeLine::Send(Handle h, const std::string& bytes, int64_t delay_ms, int64_t gap_ms) {
  Port* p = Find(h);
  if (p == nullptr) return;
  int64_t at = now_ + delay_ms;
  // Arrivals keep their order behind what is already on its way.
  if (!p->input.empty() && p->input.back().at_ms > at) at = p->input.back().at_ms;
  for (char c : bytes) {
    p->input.push_back(Byte{at, c});
    at += gap_ms;
  }
}

void FakeLine::Send(const std::string& bytes, int64_t delay_ms, int64_t gap_ms) {
  Send(last_handle_, bytes, delay_ms, gap_ms);
}

void FakeLine::FailFrom(Handle h, int64_t at_ms) {
  if (Port* p = Find(h)) p->fail_from = at_ms;
}

std::vector<Call> FakeLine::CallsOf(Op op) const {
  std::vector<Call> out;
  for (const Call& c : calls_) {
    if (c.op == op) out.push_back(c);
  }
  return out;
}

std::string FakeLine::Written() const {
  std::string out;
  for (const Call& c : calls_) {
    if (c.op == Op::kWrite && c.ok) out += c.data;
  }
  return out;
}

uint32_t FakeLine::ReadTimeoutMs(Handle h) const {
  auto it = ports_.find(h);
  return it == ports_.end() ? 0 : it->second.timeouts.ReadTotalTimeoutConstant;
}

std::vector<uint32_t> FakeLine::TimeoutsSet() const {
  std::vector<uint32_t> out;
  for (const Call& c : calls_) {
    if (c.op == Op::kSetTimeouts && c.ok) out.push_back(c.timeouts.ReadTotalTimeoutConstant);
  }
  return out;
}

std::vector<uint32_t> FakeLine::Sleeps() const {
  std::vector<uint32_t> out;
  for (const Call& c : calls_) {
    if (c.op == Op::kSleep) out.push_back(c.count);
  }
  return out;
}

FakeLine::Port* FakeLine::Find(Handle h) {
  auto it = ports_.find(h);
  return it == ports_.end() ? nullptr : &it->second;
}

Call& FakeLine::Record(Op op, Handle h) {
  Call c;
  c.op = op;
  c.at_ms = now_;
  c.handle = h;
  calls_.push_back(c);
  return calls_.back();
}

Handle FakeLine::OpOpen(const char* name) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kOpen, 0);
  call.name = name;
  auto it = f.devices_.find(name);
  if (it == f.devices_.end() || (it->second.open > 0 && !it->second.options.shared)) {
    call.ok = false;
    return platform::kInvalidHandle;
  }
  ++it->second.open;
  const Handle h = f.next_handle_++;
  Port& p = f.ports_[h];
  p.device = name;
  p.timeouts = CommTimeouts{0, 0, 0, 0, 0};
  f.last_handle_ = h;
  call.handle = h;
  return h;
}

bool FakeLine::OpGetState(Handle h, Dcb* dcb) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kGetState, h);
  Port* p = f.Find(h);
  if (p == nullptr || !f.devices_.at(p->device).options.serial) {
    call.ok = false;
    return false;
  }
  const uint32_t length = dcb->DCBlength;
  *dcb = f.devices_.at(p->device).dcb;
  dcb->DCBlength = length;
  return true;
}

bool FakeLine::OpSetState(Handle h, const Dcb* dcb) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kSetState, h);
  call.dcb = *dcb;
  Port* p = f.Find(h);
  if (p == nullptr || !f.devices_.at(p->device).options.serial ||
      f.devices_.at(p->device).options.refuse_settings) {
    call.ok = false;
    return false;
  }
  f.devices_.at(p->device).dcb = *dcb;
  return true;
}

bool FakeLine::OpGetTimeouts(Handle h, CommTimeouts* t) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kGetTimeouts, h);
  Port* p = f.Find(h);
  if (p == nullptr || !f.devices_.at(p->device).options.serial) {
    call.ok = false;
    return false;
  }
  *t = p->timeouts;
  return true;
}

bool FakeLine::OpSetTimeouts(Handle h, const CommTimeouts* t) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kSetTimeouts, h);
  call.timeouts = *t;
  Port* p = f.Find(h);
  if (p == nullptr || !f.devices_.at(p->device).options.serial ||
      f.devices_.at(p->device).options.refuse_timeouts) {
    call.ok = false;
    return false;
  }
  p->timeouts = *t;
  return true;
}

bool FakeLine::OpSetupQueues(Handle h, uint32_t in, uint32_t out) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kSetupQueues, h);
  call.count = in;
  call.count2 = out;
  Port* p = f.Find(h);
  if (p == nullptr || f.devices_.at(p->device).options.refuse_queues) {
    call.ok = false;
    return false;
  }
  return true;
}

bool FakeLine::OpRead(Handle h, void* buf, uint32_t n, uint32_t* got) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kRead, h);
  call.count = n;
  *got = 0;
  Port* p = f.Find(h);
  if (p == nullptr || f.now_ >= p->fail_from) {
    call.ok = false;
    return false;
  }
  const auto total = static_cast<int32_t>(p->timeouts.ReadTotalTimeoutConstant);
  const int64_t deadline = f.now_ + (total > 0 ? total : 0);
  auto* bytes = static_cast<char*>(buf);
  while (*got < n) {
    if (p->input.empty() || p->input.front().at_ms > deadline) break;
    const Byte b = p->input.front();
    if (b.at_ms > f.now_) f.now_ = b.at_ms;
    if (f.now_ >= p->fail_from) {
      f.now_ = p->fail_from;
      break;
    }
    p->input.pop_front();
    bytes[(*got)++] = b.c;
    call.data += b.c;
  }
  if (*got < n) {
    // Nothing more comes in time: the read waits out its timeout, or ends at a hang-up.
    if (p->fail_from <= deadline) {
      if (p->fail_from > f.now_) f.now_ = p->fail_from;
      if (*got == 0) {
        call.ok = false;
        return false;
      }
      return true;
    }
    f.now_ = deadline;
  }
  return true;
}

bool FakeLine::OpWrite(Handle h, const void* buf, uint32_t n, uint32_t* written) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kWrite, h);
  call.count = n;
  *written = 0;
  Port* p = f.Find(h);
  if (p == nullptr || f.now_ >= p->fail_from) {
    call.ok = false;
    return false;
  }
  const DeviceOptions& o = f.devices_.at(p->device).options;
  uint32_t take = n;
  if (o.short_write != 0 && o.short_write < n) take = o.short_write;
  std::string data(static_cast<const char*>(buf), take);
  call.data = data;
  *written = take;
  if (p->device != "NUL" && f.controller_) {
    Controller controller = f.controller_;  // it may replace itself
    controller(f, h, data);
  }
  return true;
}

bool FakeLine::OpClose(Handle h) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kClose, h);
  Port* p = f.Find(h);
  if (p == nullptr || f.devices_.at(p->device).options.close_fails) {
    call.ok = false;
    return false;
  }
  --f.devices_.at(p->device).open;
  f.ports_.erase(h);
  return true;
}

void FakeLine::OpSleep(uint32_t ms) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kSleep, 0);
  call.count = ms;
  f.now_ += ms;
}

bool FakeLine::OpPurge(Handle h) {
  FakeLine& f = *current_;
  Call& call = f.Record(Op::kPurge, h);
  Port* p = f.Find(h);
  if (p == nullptr || f.now_ >= p->fail_from) {
    call.ok = false;
    return false;
  }
  // What has arrived by now goes; what is still on its way comes later.
  while (!p->input.empty() && p->input.front().at_ms <= f.now_) {
    call.data += p->input.front().c;
    p->input.pop_front();
  }
  return true;
}

}  // namespace qel::test
