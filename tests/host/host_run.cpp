#include "tests/host/host_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace qelhost_test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Argv(const std::vector<std::string>& args, std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(QELHOST_PATH);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

// Reads the descriptors until both are closed or the deadline passes.
bool Collect(int fds[2], std::string* texts[2], Clock::time_point deadline) {
  int open = (fds[0] >= 0) + (fds[1] >= 0);
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    const int n = ::poll(p, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || (p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buf[4096];
      const ssize_t r = ::read(fds[i], buf, sizeof buf);
      if (r > 0) {
        texts[i]->append(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {  // end, or EIO once a pty's other side closed
        ::close(fds[i]);
        fds[i] = -1;
        --open;
      }
    }
  }
  return true;
}

int Reap(pid_t pid, bool kill_it) {
  if (kill_it) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

HostRun RunHost(const std::vector<std::string>& args, const std::string& cwd,
                std::chrono::seconds timeout) {
  HostRun run;
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(args, storage);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  int fds[2] = {out[0], err[0]};
  std::string* texts[2] = {&run.out, &run.err};
  const bool finished = Collect(fds, texts, Clock::now() + timeout);
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  run.status = Reap(pid, !finished);
  return run;
}

HostRun RunHostInTerminal(const std::vector<std::string>& args, std::chrono::seconds timeout) {
  HostRun run;
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(args, storage);
  int master = -1;
  winsize size{};
  size.ws_row = 40;
  size.ws_col = 120;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) return run;
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int fds[2] = {master, -1};
  std::string* texts[2] = {&run.out, &run.err};
  const bool finished = Collect(fds, texts, Clock::now() + timeout);
  if (fds[0] >= 0) ::close(fds[0]);
  run.status = Reap(pid, !finished);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace qelhost_test
