// qelbench: the driver on real pseudo-terminals, against the naive floor, pyserial and the wire.
//
// The driver is the built module, loaded with dlopen and driven through QelMain as a host
// drives it. Each line has its own pty and a controller thread at the master side
// (bench/pty_controller.h) that answers at once or paced like a serial line. Sections:
//
//   loopback  N sequential gate reads, answered at once: the driver, the naive floor (write the
//             request, then poll + read per byte until the trailer's ETX) and a pyserial client
//   wire      the same, with the controller paced at 9600 and 57600 baud (8N1), against the
//             wire time of the transaction's bytes
//   lines     1, 4, 16 and 64 lines on their own threads and ptys, paced at 9600: transactions
//             per second of every line against a lone line
//   timeouts  line flushes on a silent line under 10- and 100-tick trailer timeouts: how far
//             each wait overshoots its timeout (and that none ends early)
//   alloc     heap allocations inside QelMain during gate reads and writes
//
// Prints a table per section and the targets; --csv, --samples and --targets write the summary
// rows, the loopback latency samples (for bench/plot.py) and the targets as a Markdown table.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <limits.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/pty_controller.h"
#include "driver/host/records.h"

#ifndef QELBENCH_SOURCE_DIR
#define QELBENCH_SOURCE_DIR "."
#endif

extern char** environ;

namespace qelbench {
namespace {

// ---------------------------------------------------------------------------------------------
// Options

struct Options {
  std::string module;  // default: libqelprv.so beside this program
  std::string python = "/usr/bin/python3";
  std::string script = QELBENCH_SOURCE_DIR "/pyserial_client.py";
  std::string csv, samples, targets;
  std::set<std::string> sections = {"loopback", "wire", "lines", "timeouts", "alloc"};
  int n = 3000;    // loopback transactions per client (over all rounds)
  int rounds = 3;  // loopback rounds, clients interleaved
  int warmup = 100;
  int paced_n = 300;  // transactions per client and baud rate in the wire section
  std::vector<int> lines = {1, 4, 16, 64};
  std::vector<uint32_t> bauds = {9600, 57600};
  double lines_seconds = 4.0;
  int timeout_threads = 8;
  int timeout_samples_10 = 400;
  int timeout_samples_100 = 160;
  int alloc_reads = 500;
  int alloc_writes = 3;
  bool quick = false;
  std::string name = "$TEMP1";
  std::string value = "21.50";
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(
      stderr,
      "qelbench: %s\n"
      "usage: qelbench [--quick] [--sections a,b,..] [--module PATH] [--python PATH]\n"
      "                [--script PATH] [--csv FILE] [--samples FILE] [--targets FILE]\n"
      "                [-n N] [--rounds N] [--paced-n N] [--bauds 9600,57600]\n"
      "                [--lines 1,4,16,64] [--lines-seconds S] [--timeout-samples N10,N100]\n"
      "sections: loopback wire lines timeouts alloc\n",
      why);
  std::exit(2);
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

Options Parse(int argc, char** argv) {
  Options o;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) Usage("missing value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--sections") {
      auto s = Split(value(i));
      o.sections = std::set<std::string>(s.begin(), s.end());
    } else if (a == "--module") {
      o.module = value(i);
    } else if (a == "--python") {
      o.python = value(i);
    } else if (a == "--script") {
      o.script = value(i);
    } else if (a == "--csv") {
      o.csv = value(i);
    } else if (a == "--samples") {
      o.samples = value(i);
    } else if (a == "--targets") {
      o.targets = value(i);
    } else if (a == "-n") {
      o.n = std::stoi(value(i));
    } else if (a == "--rounds") {
      o.rounds = std::stoi(value(i));
    } else if (a == "--paced-n") {
      o.paced_n = std::stoi(value(i));
    } else if (a == "--lines") {
      o.lines.clear();
      for (const auto& s : Split(value(i))) o.lines.push_back(std::stoi(s));
    } else if (a == "--bauds") {
      o.bauds.clear();
      for (const auto& b : Split(value(i))) o.bauds.push_back(static_cast<uint32_t>(std::stoul(b)));
    } else if (a == "--lines-seconds") {
      o.lines_seconds = std::stod(value(i));
    } else if (a == "--timeout-samples") {
      auto s = Split(value(i));
      if (s.size() != 2) Usage("--timeout-samples wants two counts");
      o.timeout_samples_10 = std::stoi(s[0]);
      o.timeout_samples_100 = std::stoi(s[1]);
    } else if (a == "-h" || a == "--help") {
      Usage("help");
    } else {
      Usage(("unknown option " + a).c_str());
    }
  }
  if (o.quick) {
    // That every part runs, not how fast: a few seconds in all.
    o.n = 60;
    o.rounds = 1;
    o.warmup = 5;
    o.paced_n = 4;
    o.lines = {1, 4};
    o.lines_seconds = 0.3;
    o.timeout_threads = 2;
    o.timeout_samples_10 = 2;
    o.timeout_samples_100 = 0;
    o.alloc_reads = 20;
    o.alloc_writes = 1;
  }
  if (o.module.empty()) {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    o.module = dir + "/libqelprv.so";
  }
  return o;
}

// ---------------------------------------------------------------------------------------------
// Statistics

struct Stats {
  double median = 0, p99 = 0, max = 0, min = 0, mean = 0;
};

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return NAN;
  // Nearest rank.
  std::size_t rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  if (rank < 1) rank = 1;
  return sorted[rank - 1];
}

Stats Summarise(std::vector<double> v) {
  Stats s;
  if (v.empty()) {
    s.median = s.p99 = s.max = s.min = s.mean = NAN;
    return s;
  }
  std::sort(v.begin(), v.end());
  s.median = Percentile(v, 50);
  s.p99 = Percentile(v, 99);
  s.max = v.back();
  s.min = v.front();
  double sum = 0;
  for (double x : v) sum += x;
  s.mean = sum / static_cast<double>(v.size());
  return s;
}

double ThreadCpuUs() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

// ---------------------------------------------------------------------------------------------
// The loaded module

std::atomic<uint64_t> g_log_lines{0};
std::mutex g_log_mutex;
char g_last_log[512] = {};

void Sink(void*, int, const char* message) {
  g_log_lines.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::snprintf(g_last_log, sizeof g_last_log, "%s", message);
}

std::string LastLog() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return g_last_log;
}

class Module {
 public:
  explicit Module(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    main_ = reinterpret_cast<QelMainFn>(dlsym(handle_, "QelMain"));
    if (main_ == nullptr) throw std::runtime_error("the module exports no QelMain");
    void* log = dlopen("libsaptor.so", RTLD_NOW | RTLD_NOLOAD);
    using SetSinkFn = void (*)(void (*)(void*, int, const char*), void*);
    auto set_sink =
        log != nullptr ? reinterpret_cast<SetSinkFn>(dlsym(log, "SaptorSetSink")) : nullptr;
    if (set_sink == nullptr) throw std::runtime_error("the stand-in log library is not loaded");
    set_sink(Sink, nullptr);
  }
  int Call(qel::DriverRequest* r) const { return main_(r); }

 private:
  void* handle_ = nullptr;
  QelMainFn main_ = nullptr;
};

// One line of the host: its work area and one gate.
class DriverLine {
 public:
  DriverLine(const Module& m, int line, const std::string& port, const std::string& gate)
      : m_(m), line_(line), name_(gate) {
    qel::LineSetup setup{};
    std::snprintf(setup.port_name, sizeof setup.port_name, "%s", port.c_str());
    setup.in_use = 1;
    setup.reply_timeout = 100;
    setup.params = qel::LineParameters{9600, 8, 0, 0};
    started_ = Command(qel::kCmdLineStart, &setup) == qel::kOk && work_.port_handle != 0;
    gate_.name = name_.c_str();
    gate_.value = value_;
  }
  ~DriverLine() {
    if (started_) (void)Command(qel::kCmdLineStop, nullptr);
  }
  DriverLine(const DriverLine&) = delete;
  DriverLine& operator=(const DriverLine&) = delete;

  bool started() const { return started_; }
  int Read() {
    gate_.type = qel::kTypeFloat;
    return Command(qel::kCmdSingleRead, &gate_);
  }
  int Write(float f) {
    gate_.type = qel::kTypeFloat;
    std::memcpy(value_, &f, sizeof f);
    return Command(qel::kCmdSingleWrite, &gate_);
  }
  int Flush() { return Command(qel::kCmdLineFlush, nullptr); }
  float value() const {
    float f = 0;
    std::memcpy(&f, value_, sizeof f);
    return f;
  }

 private:
  int Command(int32_t code, void* arg) {
    qel::DriverRequest r{&work_, code, line_, 0, arg};
    return m_.Call(&r);
  }
  const Module& m_;
  int line_;
  std::string name_;
  qel::LineWorkArea work_{};
  qel::GateTransfer gate_{};
  alignas(4) unsigned char value_[8] = {};
  bool started_ = false;
};

// ---------------------------------------------------------------------------------------------
// The three clients

struct Run {
  std::string client;
  std::vector<double> wall_us;
  double cpu_us = 0;  // user + system time of the client's thread (or process) in the loop
  uint64_t failures = 0;
  uint64_t logs = 0;
  double cpu_per_txn() const {
    return wall_us.empty() ? NAN : cpu_us / static_cast<double>(wall_us.size());
  }
  void Append(const Run& r) {
    client = r.client;
    wall_us.insert(wall_us.end(), r.wall_us.begin(), r.wall_us.end());
    cpu_us += r.cpu_us;
    failures += r.failures;
    logs += r.logs;
  }
};

float ExpectedValue(const Options& o) {
  return std::strtof(o.value.c_str(), nullptr);
}

Run RunDriver(const Options& o, const Module& m, const PtyController& c, int n, int warmup) {
  Run run;
  run.client = "driver";
  DriverLine line(m, 1, c.port_name(), o.name);
  if (!line.started())
    throw std::runtime_error("the driver did not start the line on " + c.path() + ": " + LastLog());
  const float expected = ExpectedValue(o);
  for (int i = 0; i < warmup; ++i) (void)line.Read();
  run.wall_us.reserve(static_cast<std::size_t>(n));
  const uint64_t logs0 = g_log_lines.load();
  const double cpu0 = ThreadCpuUs();
  for (int i = 0; i < n; ++i) {
    const int64_t t = NowNs();
    const int rc = line.Read();
    run.wall_us.push_back(static_cast<double>(NowNs() - t) / 1e3);
    if (rc != qel::kOk || line.value() != expected) ++run.failures;
  }
  run.cpu_us = ThreadCpuUs() - cpu0;
  run.logs = g_log_lines.load() - logs0;
  return run;
}

// The naive floor: what the operating system allows a plain C loop that reads one byte per call.
class FloorLine {
 public:
  explicit FloorLine(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~FloorLine() { ::close(fd_); }
  FloorLine(const FloorLine&) = delete;
  FloorLine& operator=(const FloorLine&) = delete;

  bool Transaction(const char* request, std::size_t length) {
    if (::write(fd_, request, length) != static_cast<ssize_t>(length)) return false;
    int etx = 0;
    while (etx < 2) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      char c = 0;
      const ssize_t r = ::read(fd_, &c, 1);
      if (r == 1) {
        if (c == '\x03') ++etx;
      } else if (!(r < 0 && (errno == EAGAIN || errno == EINTR))) {
        return false;
      }
    }
    return true;
  }

 private:
  int fd_ = -1;
};

Run RunFloor(const Options& o, const PtyController& c, int n, int warmup) {
  Run run;
  run.client = "floor";
  FloorLine line(c.path());
  const std::string request = o.name + "\r";
  for (int i = 0; i < warmup; ++i) (void)line.Transaction(request.data(), request.size());
  run.wall_us.reserve(static_cast<std::size_t>(n));
  const double cpu0 = ThreadCpuUs();
  for (int i = 0; i < n; ++i) {
    const int64_t t = NowNs();
    const bool ok = line.Transaction(request.data(), request.size());
    run.wall_us.push_back(static_cast<double>(NowNs() - t) / 1e3);
    if (!ok) ++run.failures;
  }
  run.cpu_us = ThreadCpuUs() - cpu0;
  return run;
}

Run RunPyserial(const Options& o, const PtyController& c, uint32_t baud, int n, int warmup) {
  Run run;
  run.client = "pyserial";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const std::string ns = std::to_string(n), ws = std::to_string(warmup), bs = std::to_string(baud);
  std::vector<std::string> args = {o.python, o.script, "--port", c.path(), "--baud",   bs,
                                   "--name", o.name,   "-n",     ns,       "--warmup", ws};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, o.python.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot run " + o.python + ": " + std::strerror(rc));
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(out[0], buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    text.append(buf, static_cast<std::size_t>(r));
  }
  ::close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the pyserial client failed (is python3-serial installed for " +
                             o.python + "?)");
  }
  std::istringstream in(text);
  std::string tag;
  while (in >> tag) {
    if (tag == "T") {
      double ns_value = 0;
      in >> ns_value;
      run.wall_us.push_back(ns_value / 1e3);
    } else if (tag == "CPU") {
      in >> run.cpu_us;
    } else if (tag == "FAIL") {
      in >> run.failures;
    }
  }
  if (run.wall_us.size() != static_cast<std::size_t>(n)) {
    throw std::runtime_error("the pyserial client reported " + std::to_string(run.wall_us.size()) +
                             " transactions, not " + ns);
  }
  return run;
}

// ---------------------------------------------------------------------------------------------
// Output

struct Row {
  std::string section, client;
  uint32_t baud = 0;
  int lines = 0;
  int ticks = 0;
  std::size_t n = 0;
  Stats wall;
  double cpu_per_txn = NAN;
  double wall_ratio = NAN;  // to the floor (loopback) or to the wire (wire)
  double cpu_ratio = NAN;   // to the floor
  std::string note;
};

struct Target {
  std::string what, target, measured;
  bool met;
};

struct Report {
  std::vector<Row> rows;
  std::vector<Target> targets;
  std::vector<std::pair<std::string, std::vector<double>>> samples;
  std::vector<std::string> problems;  // failed transactions: the run is in error
  std::vector<std::string> notes;
};

std::string Fixed(double v, int decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

void PrintRowsHeader(const char* title) {
  std::printf("\n== %s\n", title);
  std::printf("%-10s %6s %5s %7s %10s %10s %10s %10s %8s %8s  %s\n", "client", "baud", "lines", "n",
              "median_us", "p99_us", "max_us", "cpu_us", "wall_x", "cpu_x", "note");
}

void PrintRow(const Row& r) {
  std::printf("%-10s %6u %5d %7zu %10.1f %10.1f %10.1f %10.1f %8.3f %8.3f  %s\n", r.client.c_str(),
              r.baud, r.lines, r.n, r.wall.median, r.wall.p99, r.wall.max, r.cpu_per_txn,
              r.wall_ratio, r.cpu_ratio, r.note.c_str());
  std::fflush(stdout);
}

void Check(Report& rep, const Run& run, const std::string& where) {
  if (run.failures != 0) {
    rep.problems.push_back(where + ": " + run.client + " had " + std::to_string(run.failures) +
                           " failed transactions");
  }
  if (run.logs != 0) {
    // A retry or a timed-out read on what should be the happy path: the figures then measure
    // it, so say so, but the transactions did succeed.
    rep.notes.push_back(where + ": " + run.client + " logged " + std::to_string(run.logs) +
                        " lines during the measured transactions, the last: " + LastLog());
  }
}

// ---------------------------------------------------------------------------------------------
// Sections

void Loopback(const Options& o, const Module& m, Report& rep) {
  Run driver, floor, py;
  const int per_round = std::max(1, o.n / o.rounds);
  for (int r = 0; r < o.rounds; ++r) {
    {
      PtyController c(Answer::kInstant, 0, o.value);
      driver.Append(RunDriver(o, m, c, per_round, o.warmup));
    }
    {
      PtyController c(Answer::kInstant, 0, o.value);
      floor.Append(RunFloor(o, c, per_round, o.warmup));
    }
    {
      PtyController c(Answer::kInstant, 0, o.value);
      py.Append(RunPyserial(o, c, 9600, per_round, o.warmup));
    }
  }
  PrintRowsHeader("loopback: gate reads answered at once (ratios to the floor)");
  const Stats fs = Summarise(floor.wall_us);
  const double fcpu = floor.cpu_per_txn();
  for (const Run* run : {&driver, &floor, &py}) {
    Check(rep, *run, "loopback");
    Row row;
    row.section = "loopback";
    row.client = run->client;
    row.n = run->wall_us.size();
    row.wall = Summarise(run->wall_us);
    row.cpu_per_txn = run->cpu_per_txn();
    row.wall_ratio = row.wall.median / fs.median;
    row.cpu_ratio = row.cpu_per_txn / fcpu;
    row.note = "p99 x " + Fixed(row.wall.p99 / fs.p99, 2);
    PrintRow(row);
    rep.rows.push_back(row);
    rep.samples.emplace_back(run->client, run->wall_us);
  }
  const Stats ds = Summarise(driver.wall_us);
  rep.targets.push_back({"loopback: driver wall (median) vs naive floor", "<= 1.00x",
                         Fixed(ds.median / fs.median, 3) + "x (" + Fixed(ds.median, 1) + " vs " +
                             Fixed(fs.median, 1) + " us)",
                         ds.median <= fs.median});
  const double dcpu = driver.cpu_per_txn();
  rep.targets.push_back(
      {"loopback: driver CPU vs naive floor CPU", "<= 0.70x",
       Fixed(dcpu / fcpu, 3) + "x (" + Fixed(dcpu, 1) + " vs " + Fixed(fcpu, 1) + " us)",
       dcpu <= 0.7 * fcpu});
}

void Wire(const Options& o, const Module& m, Report& rep) {
  const std::size_t bytes = PtyController::ReadTransactionBytes(o.name, o.value);
  for (uint32_t baud : o.bauds) {
    const double wire_us = static_cast<double>(bytes) * 10.0 / baud * 1e6;
    // The clients take turns, a share of the transactions each round, so that a change in
    // the machine's load falls on all of them alike.
    Run driver, floor, py;
    const int warm = std::min(o.warmup, 3);
    const int rounds = std::max(1, std::min(o.rounds, o.paced_n));
    const int per_round = std::max(1, o.paced_n / rounds);
    for (int r = 0; r < rounds; ++r) {
      {
        PtyController c(Answer::kPaced, baud, o.value);
        driver.Append(RunDriver(o, m, c, per_round, warm));
      }
      {
        PtyController c(Answer::kPaced, baud, o.value);
        floor.Append(RunFloor(o, c, per_round, warm));
      }
      {
        PtyController c(Answer::kPaced, baud, o.value);
        py.Append(RunPyserial(o, c, baud, per_round, warm));
      }
    }
    char title[160];
    std::snprintf(title, sizeof title,
                  "wire: controller paced at %u baud 8N1, %zu bytes = %.1f us of wire a "
                  "transaction (wall_x to the wire, cpu_x to the floor)",
                  baud, bytes, wire_us);
    PrintRowsHeader(title);
    const double fcpu = floor.cpu_per_txn();
    for (const Run* run : {&driver, &floor, &py}) {
      Check(rep, *run, "wire " + std::to_string(baud));
      Row row;
      row.section = "wire";
      row.client = run->client;
      row.baud = baud;
      row.n = run->wall_us.size();
      row.wall = Summarise(run->wall_us);
      row.cpu_per_txn = run->cpu_per_txn();
      row.wall_ratio = row.wall.median / wire_us;
      row.cpu_ratio = row.cpu_per_txn / fcpu;
      row.note = "wire " + Fixed(wire_us, 1) + " us, p99 x " + Fixed(row.wall.p99 / wire_us, 4);
      PrintRow(row);
      rep.rows.push_back(row);
    }
    if (baud == 9600) {
      const Stats ds = Summarise(driver.wall_us);
      rep.targets.push_back({"9600 baud: driver wall (median) vs wire time", "<= 1.01x",
                             Fixed(ds.median / wire_us, 4) + "x (" + Fixed(ds.median, 0) + " vs " +
                                 Fixed(wire_us, 0) + " us; p99 " + Fixed(ds.p99 / wire_us, 4) +
                                 "x)",
                             ds.median <= 1.01 * wire_us});
      const double dcpu = driver.cpu_per_txn();
      rep.targets.push_back(
          {"9600 baud: driver CPU vs naive floor CPU at the same pacing", "<= 1.00x",
           Fixed(dcpu / fcpu, 3) + "x (" + Fixed(dcpu, 0) + " vs " + Fixed(fcpu, 0) + " us)",
           dcpu <= fcpu});
    }
  }
}

struct LineResult {
  uint64_t done = 0;
  uint64_t failures = 0;
  int64_t first_start = 0, last_end = 0;
  double cpu_us = 0;
  std::vector<double> wall_us;
  double tps() const {
    return done == 0 || last_end <= first_start
               ? 0
               : static_cast<double>(done) / (static_cast<double>(last_end - first_start) / 1e9);
  }
};

// Runs `count` lines at once for o.lines_seconds, each on its own thread, pty and paced
// controller; the client is the driver or the naive floor.
std::vector<LineResult> RunLines(const Options& o, const Module& m, int count, bool driver,
                                 uint64_t* logs) {
  std::vector<std::unique_ptr<PtyController>> controllers;
  std::vector<std::unique_ptr<DriverLine>> drivers;
  std::vector<std::unique_ptr<FloorLine>> floors;
  for (int i = 0; i < count; ++i) {
    controllers.push_back(std::make_unique<PtyController>(Answer::kPaced, 9600, o.value));
    if (driver) {
      drivers.push_back(
          std::make_unique<DriverLine>(m, i + 1, controllers.back()->port_name(), o.name));
      if (!drivers.back()->started()) throw std::runtime_error("line start failed: " + LastLog());
    } else {
      floors.push_back(std::make_unique<FloorLine>(controllers.back()->path()));
    }
  }
  std::vector<LineResult> results(static_cast<std::size_t>(count));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  const float expected = ExpectedValue(o);
  const std::string request = o.name + "\r";
  const uint64_t logs0 = g_log_lines.load();
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      const auto k = static_cast<std::size_t>(i);
      LineResult& res = results[k];
      auto transaction = [&]() -> bool {
        if (!driver) return floors[k]->Transaction(request.data(), request.size());
        return drivers[k]->Read() == qel::kOk && drivers[k]->value() == expected;
      };
      (void)transaction();  // warm-up
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
      const int64_t until = NowNs() + static_cast<int64_t>(o.lines_seconds * 1e9);
      const double cpu0 = ThreadCpuUs();
      res.first_start = NowNs();
      for (;;) {
        const int64_t t = NowNs();
        if (t >= until) break;
        const bool ok = transaction();
        res.last_end = NowNs();
        res.wall_us.push_back(static_cast<double>(res.last_end - t) / 1e3);
        ++res.done;
        if (!ok) ++res.failures;
      }
      res.cpu_us = ThreadCpuUs() - cpu0;
    });
  }
  while (ready.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  go.store(true);
  for (auto& t : threads) t.join();
  *logs = g_log_lines.load() - logs0;
  return results;
}

void Lines(const Options& o, const Module& m, Report& rep) {
  PrintRowsHeader(
      "lines: every line on its own thread, pty and controller, paced at 9600 baud (wall_x: the "
      "slowest line's transactions/s against a lone line of the same client)");
  double lone[2] = {NAN, NAN};
  std::vector<std::string> summary;
  for (int count : o.lines) {
    for (bool driver : {true, false}) {
      uint64_t logs = 0;
      const std::vector<LineResult> results = RunLines(o, m, count, driver, &logs);
      std::vector<double> tps, wall;
      Run all;
      all.client = driver ? "driver" : "floor";
      for (const auto& r : results) {
        tps.push_back(r.tps());
        wall.insert(wall.end(), r.wall_us.begin(), r.wall_us.end());
        all.failures += r.failures;
        all.cpu_us += r.cpu_us;
      }
      all.logs = logs;
      all.wall_us = wall;
      Check(rep, all, "lines " + std::to_string(count));
      std::sort(tps.begin(), tps.end());
      const double median_tps = tps[tps.size() / 2];
      double& lone_tps = lone[driver ? 0 : 1];
      if (count == 1) lone_tps = tps[0];
      Row row;
      row.section = "lines";
      row.client = all.client;
      row.baud = 9600;
      row.lines = count;
      row.n = wall.size();
      row.wall = Summarise(wall);
      row.cpu_per_txn = all.cpu_per_txn();
      row.wall_ratio = tps.front() / lone_tps;
      row.note = "tps min " + Fixed(tps.front(), 2) + " median " + Fixed(median_tps, 2) + " max " +
                 Fixed(tps.back(), 2) + " lone " + Fixed(lone_tps, 2);
      PrintRow(row);
      rep.rows.push_back(row);
      if (driver && count == o.lines.back() && count > 1) {
        rep.targets.push_back(
            {std::to_string(count) +
                 " lines at 9600 baud: slowest line's transactions/s vs a lone line",
             ">= 95 %",
             Fixed(100.0 * tps.front() / lone_tps, 1) + " % (" + Fixed(tps.front(), 2) + " vs " +
                 Fixed(lone_tps, 2) + " /s)",
             tps.front() >= 0.95 * lone_tps});
      }
    }
  }
}

void Timeouts(const Options& o, const Module& m, Report& rep) {
  PrintRowsHeader("timeouts: line flush on a silent line, overshoot beyond the trailer timeout");
  std::printf("%-10s %6s %7s %10s %10s %10s %10s %8s\n", "", "ticks", "n", "p50_us", "p99_us",
              "max_us", "min_us", "early");
  char cwd[PATH_MAX] = {};
  if (getcwd(cwd, sizeof cwd) == nullptr) throw std::runtime_error("getcwd");
  char dir_template[] = "/tmp/qelbench.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) throw std::runtime_error("mkdtemp");
  const int threads_n = o.timeout_threads;
  for (int ticks : {10, 100}) {
    const int samples = ticks == 10 ? o.timeout_samples_10 : o.timeout_samples_100;
    if (samples <= 0) continue;
    // The line settings files set the trailer timeout, which the flush waits out.
    for (int i = 1; i <= threads_n; ++i) {
      char path[PATH_MAX];
      std::snprintf(path, sizeof path, "%s/QELPRV%02d.INT", dir, i);
      std::FILE* f = std::fopen(path, "w");
      if (f == nullptr) throw std::runtime_error("cannot write a line settings file");
      std::fprintf(f, "MSG_TRAILER_TIMEOUT = %d\n", ticks * 10);
      std::fclose(f);
    }
    if (chdir(dir) != 0) throw std::runtime_error("chdir");
    std::vector<std::unique_ptr<PtyController>> silent;
    std::vector<std::unique_ptr<DriverLine>> lines;
    for (int i = 0; i < threads_n; ++i) {
      silent.push_back(std::make_unique<PtyController>(Answer::kSilent, 0));
      lines.push_back(std::make_unique<DriverLine>(m, i + 1, silent.back()->port_name(), o.name));
    }
    if (chdir(cwd) != 0) throw std::runtime_error("chdir back");
    const int per_thread = (samples + threads_n - 1) / threads_n;
    std::vector<std::vector<double>> over(static_cast<std::size_t>(threads_n));
    const uint64_t logs0 = g_log_lines.load();
    std::vector<std::thread> threads;
    const double timeout_us = ticks * 10.0 * 1000.0;
    for (int i = 0; i < threads_n; ++i) {
      threads.emplace_back([&, i] {
        DriverLine& line = *lines[static_cast<std::size_t>(i)];
        for (int k = 0; k < per_thread; ++k) {
          const int64_t t = NowNs();
          (void)line.Flush();
          over[static_cast<std::size_t>(i)].push_back(static_cast<double>(NowNs() - t) / 1e3 -
                                                      timeout_us);
        }
      });
    }
    for (auto& t : threads) t.join();
    lines.clear();
    silent.clear();
    std::vector<double> all;
    for (const auto& v : over) all.insert(all.end(), v.begin(), v.end());
    const Stats s = Summarise(all);
    const auto early = std::count_if(all.begin(), all.end(), [](double x) { return x < 0; });
    Run run;
    run.client = "driver";
    run.logs = g_log_lines.load() - logs0;
    Check(rep, run, "timeouts " + std::to_string(ticks));
    std::printf("%-10s %6d %7zu %10.1f %10.1f %10.1f %10.1f %8ld\n", "driver", ticks, all.size(),
                s.median, s.p99, s.max, s.min, static_cast<long>(early));
    Row row;
    row.section = "timeouts";
    row.client = "driver";
    row.ticks = ticks;
    row.lines = threads_n;
    row.n = all.size();
    row.wall = s;
    row.note =
        "overshoot beyond " + std::to_string(ticks * 10) + " ms; early " + std::to_string(early);
    rep.rows.push_back(row);
    rep.targets.push_back({"timeout " + std::to_string(ticks) + " ticks: p99 overshoot", "<= 2 ms",
                           Fixed(s.p99 / 1000.0, 3) + " ms (p50 " + Fixed(s.median / 1000.0, 3) +
                               ", max " + Fixed(s.max / 1000.0, 3) + ")",
                           s.p99 <= 2000.0});
    rep.targets.push_back({"timeout " + std::to_string(ticks) + " ticks: never early", "0 early",
                           std::to_string(early) + " early of " + std::to_string(all.size()) +
                               " (least overshoot " + Fixed(s.min, 1) + " us)",
                           early == 0});
  }
  for (int i = 1; i <= threads_n; ++i) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/QELPRV%02d.INT", dir, i);
    std::remove(path);
  }
  rmdir(dir);
}

void Allocations(const Options& o, const Module& m, Report& rep) {
  std::printf("\n== alloc: heap allocations inside QelMain\n");
  const bool hook = AllocationHookWorks();
  std::printf("allocation hook sees malloc and operator new: %s\n", hook ? "yes" : "NO");
  if (!hook) rep.problems.push_back("alloc: the allocation hook does not count");
  PtyController c(Answer::kInstant, 0, o.value);
  DriverLine line(m, 1, c.port_name(), o.name);
  if (!line.started()) throw std::runtime_error("line start failed: " + LastLog());
  uint64_t first_read = 0, first_write = 0, reads = 0, writes = 0;
  int bad = 0;
  {
    AllocationScope s;
    bad += line.Read() != qel::kOk;
    first_read = s.count();
  }
  {
    AllocationScope s;
    bad += line.Write(22.5f) != qel::kOk;
    first_write = s.count();
  }
  {
    AllocationScope s;
    for (int i = 0; i < o.alloc_reads; ++i) bad += line.Read() != qel::kOk;
    reads = s.count();
  }
  {
    AllocationScope s;
    for (int i = 0; i < o.alloc_writes; ++i) bad += line.Write(22.5f) != qel::kOk;
    writes = s.count();
  }
  if (bad != 0) rep.problems.push_back("alloc: " + std::to_string(bad) + " transactions failed");
  std::printf("%-34s %8s %12s\n", "", "calls", "allocations");
  std::printf("%-34s %8d %12llu\n", "first SingleRead", 1,
              static_cast<unsigned long long>(first_read));
  std::printf("%-34s %8d %12llu\n", "first SingleWrite", 1,
              static_cast<unsigned long long>(first_write));
  std::printf("%-34s %8d %12llu\n", "SingleRead", o.alloc_reads,
              static_cast<unsigned long long>(reads));
  std::printf("%-34s %8d %12llu\n", "SingleWrite (block, no trailer)", o.alloc_writes,
              static_cast<unsigned long long>(writes));
  Row row;
  row.section = "alloc";
  row.client = "driver";
  row.n = static_cast<std::size_t>(o.alloc_reads + o.alloc_writes + 2);
  row.note = "allocations: first read " + std::to_string(first_read) + ", first write " +
             std::to_string(first_write) + ", reads " + std::to_string(reads) + ", writes " +
             std::to_string(writes);
  rep.rows.push_back(row);
  const uint64_t total = first_read + first_write + reads + writes;
  rep.targets.push_back({"heap allocations inside QelMain (reads and writes)", "0",
                         std::to_string(total) + " in " + std::to_string(row.n) +
                             " transactions (hook " + (hook ? "verified" : "NOT working") + ")",
                         total == 0 && hook});
}

// ---------------------------------------------------------------------------------------------

void WriteCsv(const std::string& path, const Report& rep) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  std::fprintf(f,
               "section,client,baud,lines,timeout_ticks,n,median_us,p99_us,max_us,min_us,"
               "cpu_us_per_txn,wall_ratio,cpu_ratio,note\n");
  for (const Row& r : rep.rows) {
    std::fprintf(f, "%s,%s,%u,%d,%d,%zu,%.2f,%.2f,%.2f,%.2f,%.2f,%.4f,%.4f,\"%s\"\n",
                 r.section.c_str(), r.client.c_str(), r.baud, r.lines, r.ticks, r.n, r.wall.median,
                 r.wall.p99, r.wall.max, r.wall.min, r.cpu_per_txn, r.wall_ratio, r.cpu_ratio,
                 r.note.c_str());
  }
  std::fclose(f);
}

void WriteSamples(const std::string& path, const Report& rep) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  std::fprintf(f, "client,wall_us\n");
  for (const auto& [client, values] : rep.samples) {
    for (double v : values) std::fprintf(f, "%s,%.3f\n", client.c_str(), v);
  }
  std::fclose(f);
}

std::string TargetsMarkdown(const Report& rep) {
  std::string s = "| Target | Goal | Measured | Met |\n|---|---|---|---|\n";
  for (const Target& t : rep.targets) {
    s += "| " + t.what + " | " + t.target + " | " + t.measured + " | " +
         (t.met ? "yes" : "**no**") + " |\n";
  }
  if (!rep.notes.empty()) {
    s += "\nNotes of this run:\n\n";
    for (const auto& n : rep.notes) s += "- " + n + "\n";
  }
  return s;
}

int Main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  Module m(o.module);
  Report rep;
  std::printf("qelbench: module %s, gate %s, %zu bytes a read transaction%s\n", o.module.c_str(),
              o.name.c_str(), PtyController::ReadTransactionBytes(o.name, o.value),
              o.quick ? " (quick: that it runs, not how fast)" : "");
  if (o.sections.count("loopback")) Loopback(o, m, rep);
  if (o.sections.count("wire")) Wire(o, m, rep);
  if (o.sections.count("lines")) Lines(o, m, rep);
  if (o.sections.count("timeouts")) Timeouts(o, m, rep);
  if (o.sections.count("alloc")) Allocations(o, m, rep);

  const std::string md = TargetsMarkdown(rep);
  std::printf("\n== targets\n%s", md.c_str());
  if (!o.csv.empty()) WriteCsv(o.csv, rep);
  if (!o.samples.empty()) WriteSamples(o.samples, rep);
  if (!o.targets.empty()) {
    std::FILE* f = std::fopen(o.targets.c_str(), "w");
    if (f != nullptr) {
      std::fputs(md.c_str(), f);
      std::fclose(f);
    }
  }
  for (const auto& n : rep.notes) std::fprintf(stderr, "qelbench: note: %s\n", n.c_str());
  for (const auto& p : rep.problems) std::fprintf(stderr, "qelbench: problem: %s\n", p.c_str());
  // A failed transaction or an allocation hook that does not count is an error; a missed target
  // is a figure, not a failure of the program.
  return rep.problems.empty() ? 0 : 1;
}

}  // namespace
}  // namespace qelbench

int main(int argc, char** argv) {
  try {
    return qelbench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelbench: %s\n", e.what());
    return 1;
  }
}
