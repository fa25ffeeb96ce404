// prv2sim: a PRV2 controller on a pseudo-terminal or a serial device.
//
// The first line on standard output is the path of the line the driver opens (flushed at
// once, so a parent process can read it); after every simulated hang-up the new path follows
// on a line of its own. The trace and the messages go to standard error.

#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "prv2sim/engine.h"
#include "prv2sim/faults.h"
#include "prv2sim/gatefile.h"
#include "prv2sim/trace.h"

namespace {

constexpr const char* kExamples = R"(
Examples:
  prv2sim --pty --trace
      serve the built-in air-handling unit on a new pty; the first output line is its path
  prv2sim --link /tmp/qel1 --trace --hex
      the same, reachable as /tmp/qel1 (short paths suit the driver's 11-character port names)
  prv2sim --link "$WINEPREFIX/dosdevices/com5" --baud 9600 --format 8N1
      a COM5 for a driver under Wine, paced like a 9600 baud line
  prv2sim --device /dev/ttyUSB1 --baud 9600 --gates plant.json
      answer on a real serial port (a null-modem cable to the driver's port)
  prv2sim --fault 'silence@3,delay:ms=200@5,hangup:ms=500@10' --seed 7
  prv2sim --fault 'drop:p=0.01,corrupt:p=0.01,notrailer:p=0.05' --seed 42
  prv2sim --dump-gates > plant.json        a gate file to start from

Built-in gates: $OAT outdoor air (float ro, sine), $SAT supply air (float ro, random walk),
$SP setpoint (float rw), @FAN fan status (word rw), @VLV valve position (word rw),
@HRS run hours (word ro, ramp), @RST alarm reset (word wo).
Error answers: ERROR 13 unknown gate, ERROR 26 bad value, ERROR 82 wrong access.
Stop with Ctrl-C (SIGINT) or SIGTERM; the link is removed on the way out.
)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "prv2sim: a PRV2 controller that answers the driver's ASCII requests on a serial line.\n"
      "It prints the path of the line as the first line of standard output, and the new path\n"
      "on a line of its own after every simulated hang-up; the trace goes to standard error."};
  bool pty = false;
  std::string device;
  std::string link;
  std::string gates_file;
  bool dump_gates = false;
  unsigned baud = 0;
  std::string format_text = "8N1";
  std::vector<std::string> faults;
  std::uint64_t seed = 1;
  bool trace = false;
  bool hex = false;
  std::string header;
  int decimals = -1;
  bool no_echo = false;
  std::string trailer;
  bool no_read_trailer = false;
  bool write_trailer = false;
  bool no_write_trailer = false;
  bool case_sensitive = false;

  auto* pty_opt = app.add_flag("--pty", pty, "Serve a new pseudo-terminal (the default)");
  app.add_option("--device", device, "Serve this existing serial device instead of a pty")
      ->excludes(pty_opt);
  app.add_option("--link", link,
                 "Make this symbolic link point to the pty's slave side; it is re-pointed after "
                 "a hang-up and removed at exit");
  app.add_option("--gates", gates_file, "Gate file (JSON); default: the built-in gates")
      ->check(CLI::ExistingFile);
  app.add_flag("--dump-gates", dump_gates,
               "Print the gates and controller settings as a gate file and exit");
  app.add_option("--baud", baud,
                 "Device speed; on a pty, pace every byte as on a line at this rate "
                 "(bits per character / baud seconds). Default: no pacing");
  app.add_option("--format", format_text,
                 "Character format: data bits 5-8, parity N/E/O/M/S, stop bits 1/1.5/2")
      ->capture_default_str();
  app.add_option("--fault", faults, "Fault list (see below); may be given more than once");
  app.add_option("--seed", seed, "Seed of the faults and the random walks")->capture_default_str();
  app.add_flag("--trace", trace, "Trace every request and answer on standard error");
  app.add_flag("--hex", hex, "Show the traced bytes in hex as well (implies --trace)");
  app.add_option("--header", header, "The two characters after STX (default 00)");
  app.add_option("--decimals", decimals, "Digits after the point in float values (default 2)")
      ->check(CLI::Range(0, 9));
  app.add_flag("--no-echo", no_echo, "Do not echo the request");
  app.add_option("--trailer", trailer,
                 "Text of the trailer before its ETX (default \\r\\n; escapes \\r \\n \\t \\xNN)");
  app.add_flag("--no-read-trailer", no_read_trailer, "Send no trailer after answers to reads");
  app.add_flag("--write-trailer", write_trailer,
               "Send the trailer after answers to writes (the default)");
  app.add_flag("--no-write-trailer", no_write_trailer, "Send no trailer after answers to writes");
  app.add_flag("--case-sensitive", case_sensitive, "Match gate names exactly");
  app.footer(std::string("\n") + std::string(prv2sim::fault_list_help()) + kExamples);

  CLI11_PARSE(app, argc, argv);
  (void)pty;

  prv2sim::EngineOptions opt;
  try {
    if (!gates_file.empty()) {
      auto file = prv2sim::load_gate_file(gates_file);
      opt.controller = file.controller;
      opt.gates = std::move(file.gates);
    } else {
      opt.gates = prv2sim::default_gates();
    }
  } catch (const std::exception& e) {
    std::cerr << "prv2sim: " << e.what() << "\n";
    return 2;
  }
  if (!header.empty()) {
    if (header.size() != 2) {
      std::cerr << "prv2sim: --header needs two characters\n";
      return 2;
    }
    opt.controller.header = header;
  }
  if (decimals >= 0) opt.controller.float_decimals = decimals;
  if (no_echo) opt.controller.echo = false;
  if (!trailer.empty()) {
    const auto decoded = prv2sim::decode_escapes(trailer);
    if (!decoded) {
      std::cerr << "prv2sim: --trailer: bad escape (use \\r \\n \\t \\\\ \\xNN)\n";
      return 2;
    }
    opt.controller.trailer = *decoded;
  }
  if (no_read_trailer) opt.controller.trailer_after_read = false;
  if (write_trailer) opt.controller.trailer_after_write = true;
  if (no_write_trailer) opt.controller.trailer_after_write = false;
  if (case_sensitive) opt.controller.case_sensitive = true;
  if (dump_gates) {
    std::cout << prv2sim::gate_file_json(opt.controller, opt.gates);
    return 0;
  }

  const auto format = prv2sim::parse_char_format(format_text);
  if (!format) {
    std::cerr << "prv2sim: --format: not a character format like 8N1: " << format_text << "\n";
    return 2;
  }
  opt.format = *format;
  opt.baud = baud;
  opt.device = device;
  opt.link = link;
  opt.seed = seed;
  for (const auto& f : faults) opt.faults += (opt.faults.empty() ? "" : ",") + f;
  try {
    (void)prv2sim::FaultPlan::parse(opt.faults);
  } catch (const prv2sim::FaultListError& e) {
    std::cerr << "prv2sim: --fault: " << e.what() << "\n";
    return 2;
  }
  trace = trace || hex;
  opt.on_line = [](const std::string& path) {
    std::fprintf(stdout, "%s\n", path.c_str());
    std::fflush(stdout);
  };
  if (trace) {
    opt.on_trace = [hex](const prv2sim::TraceEvent& e) {
      std::fprintf(stderr, "%s\n", prv2sim::format_trace_line(e, hex).c_str());
    };
  }

  // The signals are taken by sigtimedwait below; the serving thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<prv2sim::Engine> engine;
  try {
    engine = std::make_unique<prv2sim::Engine>(std::move(opt));
  } catch (const std::exception& e) {
    std::cerr << "prv2sim: " << e.what() << "\n";
    return 1;
  }
  if (!trace) {
    std::cerr << "prv2sim: serving " << engine->path()
              << (link.empty() || !device.empty() ? "" : " (link " + link + ")")
              << "; stop with Ctrl-C\n";
  }

  std::atomic<bool> finished{false};
  std::exception_ptr failure;
  std::thread server([&] {
    try {
      engine->run();
    } catch (...) {
      failure = std::current_exception();
    }
    finished = true;
  });

  while (!finished) {
    timespec wait{0, 200'000'000};
    const int sig = sigtimedwait(&signals, nullptr, &wait);
    if (sig > 0) break;
  }
  engine->stop();
  server.join();
  engine->release();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::cerr << "prv2sim: " << e.what() << "\n";
    }
    return 1;
  }
  return 0;
}
