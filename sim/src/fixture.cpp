#include "prv2sim/fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace prv2sim {

namespace {
constexpr std::size_t kTraceKept = 10000;
}

InProcessSimulator::InProcessSimulator(EngineOptions options)
    : link_(options.link), user_trace_(std::move(options.on_trace)) {
  options.on_trace = [this](const TraceEvent& e) { on_trace(e); };
  engine_ = std::make_unique<Engine>(std::move(options));
  thread_ = std::thread([this] {
    try {
      engine_->run();
    } catch (...) {
      std::lock_guard lock(mutex_);
      error_ = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  });
}

InProcessSimulator::~InProcessSimulator() {
  stop();
}

void InProcessSimulator::stop() {
  if (!thread_.joinable()) return;
  engine_->stop();
  thread_.join();
  engine_->release();  // closes the line and removes the link
}

std::string InProcessSimulator::port() const {
  return link_.empty() ? path() : link_;
}

void InProcessSimulator::on_trace(const TraceEvent& e) {
  if (user_trace_) user_trace_(e);
  std::lock_guard lock(mutex_);
  trace_.push_back(e);
  if (trace_.size() > kTraceKept) trace_.pop_front();
  if (e.direction == Direction::Tx) ++answers_;
  changed_.notify_all();
}

bool InProcessSimulator::wait_for_line(std::uint64_t generation,
                                       std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return finished_ || (engine_->line_generation() > generation && !engine_->path().empty());
  }) && !finished_;
}

bool InProcessSimulator::wait_for_transactions(std::uint64_t count,
                                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ || answers_ >= count; }) &&
         answers_ >= count;
}

std::vector<TraceEvent> InProcessSimulator::trace() const {
  std::lock_guard lock(mutex_);
  return {trace_.begin(), trace_.end()};
}

std::vector<std::string> InProcessSimulator::trace_lines(bool hex) const {
  std::vector<std::string> lines;
  for (const auto& e : trace()) lines.push_back(format_trace_line(e, hex));
  return lines;
}

void InProcessSimulator::clear_trace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
  answers_ = 0;
}

std::exception_ptr InProcessSimulator::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

// ---------------------------------------------------------------------------------------------

std::string ChildSimulator::default_executable() {
  if (const char* env = std::getenv("PRV2SIM"); env && *env) return env;
#ifdef PRV2SIM_EXECUTABLE
  return PRV2SIM_EXECUTABLE;
#else
  return "prv2sim";
#endif
}

ChildSimulator::ChildSimulator(std::vector<std::string> args, std::string executable,
                               std::chrono::milliseconds timeout) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);

  std::vector<std::string> argv_text;
  argv_text.push_back(executable);
  for (auto& a : args) argv_text.push_back(std::move(a));
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int rc = ::posix_spawnp(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  out_ = pipe_fds[0];
  if (rc != 0) {
    ::close(out_);
    out_ = -1;
    pid_ = -1;
    throw std::runtime_error("cannot start " + executable + ": " + std::strerror(rc));
  }
  auto first = read_line(timeout);
  if (!first || first->empty()) {
    const int status = stop();
    throw std::runtime_error(executable + " printed no line path (exit status " +
                             std::to_string(status) + ")");
  }
  path_ = *first;
}

ChildSimulator::~ChildSimulator() {
  stop();
  if (out_ >= 0) ::close(out_);
}

std::optional<std::string> ChildSimulator::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[512];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // the child closed its output
      ::close(out_);
      out_ = -1;
      continue;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

int ChildSimulator::stop() {
  if (status_) return *status_;
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  pid_t r = 0;
  while ((r = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    ::usleep(10'000);
  }
  if (r == 0) {
    ::kill(pid_, SIGKILL);
    r = ::waitpid(pid_, &status, 0);
  }
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    status_ = -1;
  }
  return *status_;
}

}  // namespace prv2sim
