#include "prv2sim/engine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <numeric>
#include <system_error>

#include "prv2sim/gatefile.h"

namespace prv2sim {

namespace {

constexpr std::size_t kMaxRequest = 255;  // longer request texts are cut (and then unknown)
constexpr double kPeerPollMs = 10.0;
constexpr double kHangupGraceMs = 50.0;

std::vector<GateDef> gates_or_default(std::vector<GateDef> gates) {
  return gates.empty() ? default_gates() : std::move(gates);
}

}  // namespace

std::uint64_t Counters::injected_total() const {
  return std::accumulate(injected.begin(), injected.end(), std::uint64_t{0});
}

Engine::Engine(EngineOptions options)
    : options_(std::move(options)),
      start_(Clock::now()),
      controller_(options_.controller, gates_or_default(std::move(options_.gates)), options_.seed),
      plan_(FaultPlan::parse(options_.faults)),
      link_(options_.link) {
  if (options_.baud > 0 && options_.device.empty()) {
    byte_time_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.format.bits() / options_.baud));
  }
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  try {
    open_line();
  } catch (...) {
    ::close(wake_[0]);
    ::close(wake_[1]);
    throw;
  }
}

Engine::~Engine() {
  release();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void Engine::open_line() {
  LineEnd line = options_.device.empty()
                     ? LineEnd::open_pty()
                     : LineEnd::open_device(options_.device, options_.baud, options_.format);
  if (line.is_pty()) link_.point_to(line.path());
  line_ = std::move(line);
  ++lines_seen_;
  {
    std::lock_guard lock(mutex_);
    path_ = line_.path();
    ++generation_;
    ++counters_.lines_opened;
  }
  line_event(
      "line up: " + line_.path() +
      (link_.link_path().empty() || !line_.is_pty() ? "" : " (link " + link_.link_path() + ")"));
  if (options_.on_line) options_.on_line(line_.path());
}

void Engine::release() {
  link_.remove();
  line_.close();
  std::lock_guard lock(mutex_);
  path_.clear();
}

void Engine::stop() {
  stopping_.store(true);
  const char c = 'x';
  [[maybe_unused]] const auto n = ::write(wake_[1], &c, 1);
}

Engine::Clock::duration Engine::to_duration(double ms) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

double Engine::since_start(Clock::time_point t) const {
  return std::chrono::duration<double>(t - start_).count();
}

double Engine::now() const {
  return since_start(Clock::now());
}

bool Engine::wait_until(Clock::time_point deadline) {
  for (;;) {
    if (stopping_.load()) return false;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd p{wake_[0], POLLIN, 0};
    ::ppoll(&p, 1, &ts, nullptr);
  }
}

void Engine::emit(TraceEvent event) {
  if (options_.on_trace) options_.on_trace(event);
}

void Engine::line_event(std::string note) {
  TraceEvent e;
  e.direction = Direction::Line;
  e.time = now();
  e.note = std::move(note);
  emit(std::move(e));
}

void Engine::run() {
  std::string raw;   // bytes of the request being received, as they came
  std::string text;  // the request text (no CR, no leading LF)
  std::vector<double> times;
  Clock::time_point first_byte{};
  char buf[256];

  while (!stopping_.load()) {
    pollfd fds[2] = {{line_.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (stopping_.load()) break;
    if (!(fds[0].revents & POLLIN)) {
      // No slave side open (pty) or a device error: look again shortly.
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) wait_ms(kPeerPollMs);
      continue;
    }
    const ssize_t n = ::read(line_.fd(), buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      wait_ms(kPeerPollMs);  // EIO: the driver closed the slave side meanwhile
      continue;
    }
    const auto arrived = Clock::now();
    {
      std::lock_guard lock(mutex_);
      counters_.bytes_in += static_cast<std::uint64_t>(n);
    }
    const std::uint64_t line_before = lines_seen_;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (raw.empty()) first_byte = arrived;
      raw += c;
      times.push_back(since_start(arrived));
      if (c == kCr) {
        serve(raw, text, first_byte, times);
        raw.clear();
        text.clear();
        times.clear();
        if (stopping_.load() || lines_seen_ != line_before) break;  // the rest was the old line's
      } else if (c == kLf && text.empty()) {
        // skipped: the LF of a CR LF line end
      } else if (text.size() < kMaxRequest) {
        text += c;
      }
    }
    if (lines_seen_ != line_before) {
      raw.clear();
      text.clear();
      times.clear();
    }
  }
}

void Engine::serve(const std::string& raw, const std::string& text, Clock::time_point first_byte,
                   const std::vector<double>& times) {
  Transmission tx;
  std::uint64_t number = 0;
  {
    std::lock_guard lock(mutex_);
    number = ++counters_.transactions;
    tx = transact(controller_, plan_, ++plan_transactions_, options_.seed, text, now());
    for (FaultKind k : tx.injected) ++counters_.injected[static_cast<std::size_t>(k)];
    if (tx.carried_out && tx.reply.error == 0) {
      ++(tx.reply.kind == Request::Kind::Read ? counters_.reads : counters_.writes);
    }
    if (!tx.bytes.empty() && tx.reply.error != 0) ++counters_.error_answers;
  }

  TraceEvent rx;
  rx.direction = Direction::Rx;
  rx.transaction = number;
  rx.bytes = raw;
  rx.time = since_start(first_byte);
  rx.byte_times = times;
  emit(std::move(rx));

  // On a paced line the request has arrived when its last byte would have.
  auto deadline = first_byte + byte_time_ * static_cast<long>(raw.size());
  if (byte_time_ > Clock::duration::zero() && !wait_until(deadline)) return;

  TraceEvent out;
  out.direction = Direction::Tx;
  out.transaction = number;
  out.note = tx.notes;
  const std::size_t due =
      tx.hangup_ms ? std::min(tx.hangup_after, tx.bytes.size()) : tx.bytes.size();
  std::size_t i = 0;
  bool peer = true;
  deadline = Clock::now();
  while (i < due && peer) {
    // Without pauses or pacing, send the run of bytes in one write.
    std::size_t j = i + 1;
    if (byte_time_ == Clock::duration::zero()) {
      while (j < due && tx.bytes[j].delay_ms == 0.0) ++j;
    }
    const auto now_tp = Clock::now();
    if (deadline < now_tp) deadline = now_tp;
    deadline += to_duration(tx.bytes[i].delay_ms) + byte_time_;
    if (!wait_until(deadline)) return;
    std::string chunk;
    for (std::size_t k = i; k < j; ++k) chunk += tx.bytes[k].byte;
    peer = write_all(chunk.data(), chunk.size());
    const double t = now();
    if (out.bytes.empty()) out.time = t;
    out.bytes += chunk;
    out.byte_times.insert(out.byte_times.end(), chunk.size(), t);
    i = j;
  }
  if (!peer) out.note += out.note.empty() ? "peer closed" : ", peer closed";
  if (out.bytes.empty()) out.time = now();
  {
    std::lock_guard lock(mutex_);
    counters_.bytes_out += out.bytes.size();
  }
  const bool sent = !out.bytes.empty();
  emit(std::move(out));
  if (tx.hangup_ms) hang_up(*tx.hangup_ms, sent);
}

bool Engine::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(line_.fd(), data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The driver reads too slowly; give it a second before dropping the rest.
      pollfd fds[2] = {{line_.fd(), POLLOUT, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, 1000) <= 0 || !(fds[0].revents & POLLOUT)) return false;
      continue;
    }
    return false;
  }
  return true;
}

void Engine::hang_up(unsigned ms, bool sent_bytes) {
  // A pty's hang-up throws away what the driver has not read yet: give it a moment for the
  // bytes sent before the hang-up.
  if (sent_bytes && !wait_ms(kHangupGraceMs)) return;
  line_event("hangup: line closed for " + std::to_string(ms) + " ms");
  line_.close();
  link_.remove();
  {
    std::lock_guard lock(mutex_);
    path_.clear();
  }
  if (!wait_ms(ms)) return;
  open_line();
}

std::string Engine::path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

std::uint64_t Engine::line_generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void Engine::set_faults(std::string_view list) {
  FaultPlan plan = FaultPlan::parse(list);
  std::lock_guard lock(mutex_);
  plan_ = std::move(plan);
  plan_transactions_ = 0;
}

std::string Engine::faults() const {
  std::lock_guard lock(mutex_);
  return plan_.text();
}

void Engine::set_controller_config(ControllerConfig config) {
  std::lock_guard lock(mutex_);
  controller_.set_config(std::move(config));
}

ControllerConfig Engine::controller_config() const {
  std::lock_guard lock(mutex_);
  return controller_.config();
}

Counters Engine::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

void Engine::reset_counters() {
  std::lock_guard lock(mutex_);
  counters_ = Counters{};
}

std::vector<GateSnapshot> Engine::gates() const {
  std::lock_guard lock(mutex_);
  // Snapshots advance random walks to now; that is part of the gates' own motion.
  return controller_.gates().snapshot_all(now());
}

std::optional<GateSnapshot> Engine::gate(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto& table = controller_.gates();
  const int i = table.find(name);
  if (i < 0) return std::nullopt;
  return table.snapshot(static_cast<std::size_t>(i), now());
}

bool Engine::set_gate_value(std::string_view name, double value) {
  std::lock_guard lock(mutex_);
  auto& table = controller_.gates();
  const int i = table.find(name);
  if (i < 0) return false;
  table.store(static_cast<std::size_t>(i), value, now());
  return true;
}

}  // namespace prv2sim
