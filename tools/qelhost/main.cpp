// qelhost, the bench host of the QELPRV driver.
//
// It loads the driver module, takes QelMain from it and drives it as a host does: one zeroed
// work area for the line, the line start-up with a LineSetup, a definition check for every gate
// before it is used, gate reads and writes with GateTransfer records and their value areas, and
// the line stop at the end. The driver's log lines come through the log library's sink and are
// shown with their time and level. With --sim the simulator serves the line on a new
// pseudo-terminal inside qelhost.
//
// Exit status: 0 when every command was carried out, 1 when the driver refused one or the
// controller rejected one (and none failed), 2 when one failed, 3 when qelhost could not start
// (a wrong option, a module that does not load, a simulator that does not start).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/records.h"
#include "tools/qelhost/clock.h"
#include "tools/qelhost/cp437.h"
#include "tools/qelhost/driver_log.h"
#include "tools/qelhost/line.h"
#include "tools/qelhost/module.h"
#include "tools/qelhost/report.h"
#include "tools/qelhost/terminal.h"
#if defined(QELHOST_WITH_SIM)
#include "tools/qelhost/simulator.h"
#endif

namespace qelhost {
namespace {

constexpr int kExitCannotStart = 3;

// Everything the command line gives.
struct Options {
  std::string module;
  bool quiet = false;
  std::string log_file;
  LineOptions line;
  std::string workdir;
  bool sim = false;
#if defined(QELHOST_WITH_SIM)
  SimOptions sim_options;
#endif
  std::string type;  // --type
  bool csv = false;
  bool json = false;
  bool plain = false;
  std::vector<std::string> gates;   // read, define, poll
  std::vector<std::string> writes;  // write: GATE=VALUE
  int32_t define_value = 0;
  unsigned interval_ms = 1000;
  unsigned long count = 0;
};

// The worst result seen: 2 over 1 over 0.
class Outcome {
 public:
  void Add(int result) {
    if (result == qel::kOk) return;
    if (result == qel::kRefused) {
      if (code_ == 0) code_ = 1;
      return;
    }
    code_ = 2;  // a failure, or a result that no command has
  }
  int code() const { return code_; }

 private:
  int code_ = 0;
};

volatile std::sig_atomic_t g_interrupted = 0;
// The first Ctrl-C ends the session after the command under way, so that the line is stopped
// and the simulator's link removed; a second one ends qelhost at once.
extern "C" void OnInterrupt(int signal) {
  g_interrupted = 1;
  std::signal(signal, SIG_DFL);
}

void Note(const std::string& text) {
  DriverLog::Get().Note(text);
}

int32_t TypeFor(const std::string& gate, const std::string& forced) {
  if (forced == "float" || forced == "3") return qel::kTypeFloat;
  if (forced == "word" || forced == "6") return qel::kTypeWord;
  if (!gate.empty() && gate[0] == '@') return qel::kTypeWord;
  return qel::kTypeFloat;
}

bool ParseValue(int32_t type, const std::string& text, ValueArea* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  if (type == qel::kTypeWord) {
    if (text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long w = std::strtoul(text.c_str(), &end, 10);
    if (*end != '\0' || w > 0xFFFF) return false;
    *out = ValueArea::FromWord(static_cast<uint16_t>(w));
    return true;
  }
  const float f = std::strtof(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(f)) return false;
  *out = ValueArea::FromFloat(f);
  return true;
}

double ValueOf(int32_t type, const ValueArea& v) {
  return type == qel::kTypeWord ? static_cast<double>(v.AsWord())
                                : static_cast<double>(v.AsFloat());
}

// ---- the session: module, log, simulator, line ----

class Session {
 public:
  explicit Session(Options& o) : o_(o) {}
  ~Session() { End(); }

  // Loads the module and installs the log sink. Returns 0 or kExitCannotStart.
  int Load() {
    std::string error;
    if (!DriverLog::Get().Open(o_.quiet, o_.log_file, &error)) {
      std::fprintf(stderr, "qelhost: %s\n", error.c_str());
      return kExitCannotStart;
    }
    const std::string path = o_.module.empty() ? DriverModule::DefaultPath() : o_.module;
    if (!module_.Load(path)) {
      std::fprintf(stderr, "qelhost: %s\n", module_.error().c_str());
      return kExitCannotStart;
    }
    if (!DriverLog::Get().Install(module_.FindSetSink())) {
      Note("the log library has no SaptorSetSink; the driver's lines appear in its own form");
    }
    return 0;
  }

  // Starts the simulator if asked for, goes to the working folder and starts the line.
  // Returns 0, the start-up's result, or kExitCannotStart.
  int StartLine() {
#if defined(QELHOST_WITH_SIM)
    if (o_.sim) {
      std::string error;
      if (!sim_.Start(o_.sim_options, &error)) {
        std::fprintf(stderr, "qelhost: %s\n", error.c_str());
        return kExitCannotStart;
      }
      o_.line.port = sim_.port();
      Note("simulator on " + sim_.path() + ", port " + sim_.port());
    }
#endif
    if (!o_.workdir.empty()) {
      std::error_code ec;
      std::filesystem::current_path(o_.workdir, ec);
      if (ec) {
        std::fprintf(stderr, "qelhost: cannot change to %s: %s\n", o_.workdir.c_str(),
                     ec.message().c_str());
        return kExitCannotStart;
      }
    }
    g_interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    line_ = std::make_unique<Line>(module_.qel_main());
    const int rc = line_->Start(o_.line);
    started_ = true;
    if (rc != qel::kOk) {
      Note("line " + std::to_string(o_.line.line) + " start-up on " +
           (o_.line.port.empty() ? std::string("no port") : o_.line.port) + ": " + ResultName(rc) +
           " (" + std::to_string(rc) + ")");
    }
    return rc;
  }

  // Stops the line and the simulator; the stop's result counts.
  void End() {
    if (line_ != nullptr && started_) {
      outcome_.Add(line_->Stop());
      started_ = false;
    }
#if defined(QELHOST_WITH_SIM)
    sim_.Stop();
#endif
    DriverLog::Get().Close();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }

  // The gates to use: those given, or with --sim and none given, the simulator's readable ones.
  std::vector<std::string> Gates() const {
#if defined(QELHOST_WITH_SIM)
    if (o_.gates.empty() && o_.sim) return sim_.ReadableGates();
#endif
    return o_.gates;
  }

  // The definition check a host makes before it uses a gate. False when refused.
  bool Accept(const std::string& gate, int32_t type) {
    const Definition d = line_->Define(gate, type, 0);
    outcome_.Add(d.result);
    if (d.result != qel::kOk) {
      Note(gate + ": refused by the driver's definition check (" + std::to_string(d.result) +
           "), left out");
      return false;
    }
    return true;
  }

  Line& line() {
    return *line_;
  }
  DriverModule& module() {
    return module_;
  }
  Outcome& outcome() {
    return outcome_;
  }

 private:
  Options& o_;
  DriverModule module_;
#if defined(QELHOST_WITH_SIM)
  SimLine sim_;
#endif
  std::unique_ptr<Line> line_;
  bool started_ = false;
  Outcome outcome_;
};

// ---- subcommands ----

int RunInfo(Options& o) {
  Session s(o);
  if (const int rc = s.Load(); rc != 0) return rc;
  PrepareTerminal(false);
  Line line(s.module().qel_main());
  qel::DriverInfo info{};
  const int rc = line.Describe(&info);
  std::printf("module            %s\n", s.module().path().c_str());
  std::printf("result            %s (%d)\n", ResultName(rc), rc);
  std::printf("code              %d\n", static_cast<int>(info.code));
  std::printf("short name        %s\n", info.short_name != nullptr ? info.short_name : "(none)");
  std::printf("work area         %d bytes\n", static_cast<int>(info.work_area_size));
  std::printf("further values    %d, %d\n", static_cast<int>(info.four),
              static_cast<int>(info.three));
  static const char* const kStop[] = {"1", "1.5", "2"};
  static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
  const unsigned stop = info.defaults.stop_bits & 0xFF;
  const unsigned parity = info.defaults.parity & 0xFF;
  std::printf("line defaults     %u baud, %u data bits, parity %s, %s stop bit%s\n",
              static_cast<unsigned>(info.defaults.baud),
              static_cast<unsigned>(info.defaults.data_bits & 0xFF),
              parity < 5 ? kParity[parity] : "?", stop < 3 ? kStop[stop] : "?",
              stop == 0 ? "" : "s");
  if (info.banner != nullptr) {
    std::printf("banner            %zu bytes, code page 437:\n%s", std::strlen(info.banner),
                Cp437ToUtf8(info.banner).c_str());
  }
  std::fflush(stdout);
  s.outcome().Add(rc);
  s.End();
  return s.outcome().code();
}

int RunDefine(Options& o) {
  Session s(o);
  if (const int rc = s.Load(); rc != 0) return rc;
  if (const int rc = s.StartLine(); rc != qel::kOk) return rc;
  for (const std::string& gate : s.Gates()) {
    if (g_interrupted) break;
    const int32_t type = TypeFor(gate, o.type);
    const Definition d = s.line().Define(gate, type, o.define_value);
    s.outcome().Add(d.result);
    const qel::GateDefinition& r = d.record;
    std::printf("%s: %s (%d), type %d (%s)\n", gate.c_str(),
                d.result == qel::kOk ? "accepted" : "refused", d.result, static_cast<int>(type),
                TypeName(type));
    std::printf("  value %d, copy %d, max %d, bits %d, zero fields %d %d\n",
                static_cast<int>(r.value), static_cast<int>(r.copy), static_cast<int>(r.max),
                static_cast<int>(r.bits), static_cast<int>(r.zero1), static_cast<int>(r.zero2));
    std::printf("  work area name \"%s\"\n", d.work_area_name.c_str());
  }
  std::fflush(stdout);
  s.End();
  return s.outcome().code();
}

int RunWrite(Options& o) {
  // The values are checked before anything is started.
  struct Item {
    std::string gate;
    int32_t type;
    std::string text;
    ValueArea value;
  };
  std::vector<Item> items;
  for (const std::string& w : o.writes) {
    const auto eq = w.find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "qelhost: write wants GATE=VALUE, not \"%s\"\n", w.c_str());
      return kExitCannotStart;
    }
    Item item{w.substr(0, eq), 0, w.substr(eq + 1), {}};
    item.type = TypeFor(item.gate, o.type);
    if (!ParseValue(item.type, item.text, &item.value)) {
      std::fprintf(stderr, "qelhost: \"%s\" is no %s value for %s\n", item.text.c_str(),
                   item.type == qel::kTypeWord ? "word (0..65535)" : "float", item.gate.c_str());
      return kExitCannotStart;
    }
    items.push_back(item);
  }
  Session s(o);
  if (const int rc = s.Load(); rc != 0) return rc;
  if (const int rc = s.StartLine(); rc != qel::kOk) return rc;
  for (const Item& item : items) {
    if (g_interrupted) break;
    if (!s.Accept(item.gate, item.type)) continue;
    const int rc = s.line().Write(item.gate, item.type, item.value);
    s.outcome().Add(rc);
    std::printf("%s = %s (%s): %s (%d)\n", item.gate.c_str(),
                ValueText(item.type, ValueOf(item.type, item.value)).c_str(), TypeName(item.type),
                ResultName(rc), rc);
    std::fflush(stdout);
  }
  s.End();
  return s.outcome().code();
}

// read and poll: cycles of reads of every gate.
int RunReads(Options& o, bool poll) {
  Session s(o);
  if (const int rc = s.Load(); rc != 0) return rc;
  if (const int rc = s.StartLine(); rc != qel::kOk) return rc;

  struct Gate {
    std::string name;
    int32_t type;
    ValueArea area;  // the host's value area, kept from read to read
    Reading reading;
  };
  std::vector<Gate> gates;
  for (const std::string& name : s.Gates()) {
    if (g_interrupted) break;
    const int32_t type = TypeFor(name, o.type);
    if (!s.Accept(name, type)) continue;
    Gate g{name, type, {}, {}};
    g.reading.gate = name;
    g.reading.type = type;
    gates.push_back(g);
  }
  if (gates.empty()) {
    Note("no gate to read");
    s.End();
    return s.outcome().code();
  }

  const Format format = o.json ? Format::Json : o.csv ? Format::Csv : Format::Human;
  const bool live =
      poll && format == Format::Human && !o.plain && IsTerminal(stdout) && PrepareTerminal(true);
  if (!live) PrepareTerminal(false);
  LiveTable table;
  if (live) DriverLog::Get().SetLiveArea(&table);
  if (format == Format::Csv) std::printf("%s\n", CsvHeader().c_str());
  if (format == Format::Human && !live && poll) std::printf("%s\n", PlainHeader().c_str());

  const unsigned long cycles = poll ? o.count : 1;
  // The table, drawn again after every read.
  const auto show = [&](unsigned long cycle) {
    std::vector<Reading> rows;
    for (const Gate& g : gates) rows.push_back(g.reading);
    const std::string of = cycles == 0 ? "" : " of " + std::to_string(cycles);
    table.Show("qelhost poll: line " + std::to_string(o.line.line) + " on " + o.line.port +
                   ", cycle " + std::to_string(cycle) + of + ", every " +
                   std::to_string(o.interval_ms) + " ms",
               rows);
  };
  if (live) show(1);
  const auto interval = std::chrono::milliseconds(o.interval_ms);
  unsigned long done = 0;
  uint64_t reads = 0;
  uint64_t failures = 0;
  for (unsigned long cycle = 1; cycles == 0 || cycle <= cycles; ++cycle) {
    const auto start = std::chrono::steady_clock::now();
    for (Gate& g : gates) {
      const int rc = s.line().Read(g.name, g.type, &g.area);
      s.outcome().Add(rc);
      Reading& r = g.reading;
      r.time = WallClock::now();
      r.result = rc;
      r.cycle = cycle;
      ++r.reads;
      ++reads;
      if (rc == qel::kOk) {
        const double v = ValueOf(g.type, g.area);
        if (!r.value || !(*r.value == v || (std::isnan(*r.value) && std::isnan(v)))) {
          r.changed = r.time;
        }
        r.value = v;
        r.value_text = ValueText(g.type, v);
      } else {
        ++r.failures;
        ++failures;
      }
      if (format == Format::Csv) std::printf("%s\n", CsvRow(r).c_str());
      if (format == Format::Json) std::printf("%s\n", JsonRow(r).c_str());
      if (format == Format::Human && !live) {
        if (poll) {
          std::printf("%s\n", PlainRow(r).c_str());
        } else if (rc == qel::kOk) {
          std::printf("%s = %s (%s, %s)\n", g.name.c_str(), r.value_text.c_str(), TypeName(g.type),
                      ResultName(rc));
        } else {
          std::printf("%s: %s (%d)\n", g.name.c_str(), ResultName(rc), rc);
        }
      }
      std::fflush(stdout);
      if (live) show(cycle);
      if (g_interrupted) break;
    }
    done = cycle;
    if (g_interrupted || (cycles != 0 && cycle == cycles)) break;
    const auto next = start + interval;
    while (!g_interrupted && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          next - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
    }
    if (g_interrupted) break;
  }
  if (live) {
    table.Finish();
    DriverLog::Get().SetLiveArea(nullptr);
  }
  if (poll) {
    Note(std::to_string(done) + " cycle" + (done == 1 ? "" : "s") + ", " + std::to_string(reads) +
         " reads, " + std::to_string(failures) + " not carried out" +
         (g_interrupted ? " (interrupted)" : ""));
  }
  s.End();
  return s.outcome().code();
}

// ---- the command line ----

const char* const kFooter =
    "Exit status: 0 every command carried out; 1 the driver refused a command or the controller\n"
    "rejected one; 2 a command failed (no port, no answer); 3 qelhost could not start.\n"
    "\n"
    "The driver's log lines go to standard error as HH:MM:SS.mmm [level] text.\n"
    "\n"
    "Examples:\n"
#if defined(QELHOST_WITH_SIM)
    "  qelhost --sim                                the main job: poll the simulated controller\n"
    "  qelhost poll --sim --count 5                 the same, five cycles\n"
    "  qelhost read --sim '$SP' @VLV                two gates of the simulator\n"
    "  qelhost write --sim '$SP=22.5' @FAN=0        writes; the type follows $ (float), @ (word)\n"
    "  qelhost poll --sim --sim-fault 'error:code=86@3,echo@5' --count 3 --csv\n"
    "  qelhost read --port ttyUSB0 --baud 9600 '$OAT'   a real port (/dev/ttyUSB0)\n"
    "  qelhost poll --port /tmp/qel1 '$OAT' @HRS --interval 500 --json\n"
    "  qelhost define '$temp1' temp1                the definition check, no port needed\n"
    "  qelhost info                                 the driver's description and banner\n"
    "\n"
    "Port names have at most 11 characters: a name under /dev (ttyS0, ttyUSB0, pts/3) or a\n"
    "short path (a link such as /tmp/qel1). On Windows (qelhost.exe) there is no --sim: point\n"
    "--port at a COM port (COM1 .. COM9, \\\\.\\COM10 and up).\n";
#else
    "  qelhost.exe read --port COM3 $SP @VLV        two gates of the controller on COM3\n"
    "  qelhost.exe write --port COM3 $SP=22.5       the type follows $ (float), @ (word)\n"
    "  qelhost.exe poll --port COM3 $OAT @HRS --interval 500 --count 10 --csv\n"
    "  qelhost.exe define $temp1 temp1              the definition check, no port needed\n"
    "  qelhost.exe info                             the driver's description and banner\n"
    "\n"
    "The simulator (--sim of the Linux build) does not run on Windows: point --port at a COM\n"
    "port (COM1 .. COM9, \\\\.\\COM10 and up) wired to a controller, or to a simulator on a\n"
    "Linux machine through a null-modem cable (prv2sim --device /dev/ttyUSB0).\n";
#endif

void AddCommon(CLI::App* app, Options& o, bool line_options) {
  app->add_option("--module", o.module,
                  "Driver module to load (default: " + std::string(DriverModule::FileName()) +
                      " beside qelhost)")
      ->type_name("FILE");
  app->add_flag("-q,--quiet", o.quiet, "Hide the driver's level-8 warnings on standard error");
  app->add_option("--log", o.log_file, "Also append the driver's log lines to FILE")
      ->type_name("FILE");
  if (!line_options) return;
  const std::map<std::string, uint16_t> parity = {
      {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
  const std::map<std::string, uint16_t> stop = {{"1", 0}, {"1.5", 1}, {"2", 2}};
  auto* port = app->add_option("--port", o.line.port,
                               "Serial port, at most 11 characters (ttyUSB0, pts/3, /tmp/qel1, "
                               "COM3)")
                   ->type_name("NAME");
  port->check([](const std::string& p) {
    return p.size() < qel::kPortNameSize
               ? std::string()
               : std::string(
                     "port names have at most 11 characters; make a short link to "
                     "the device (ln -s DEVICE /tmp/qel1)");
  });
  app->add_option("--baud", o.line.baud, "Line speed in bit/s (default 9600)")
      ->type_name("N")
      ->check(CLI::Range(1, 65535).description(""));
  app->add_option("--data-bits", o.line.data_bits, "Data bits, 5..8 (default 8)")
      ->type_name("N")
      ->check(CLI::Range(5, 8).description(""));
  app->add_option("--parity", o.line.parity, "none|odd|even|mark|space (default none)")
      ->type_name("P")
      ->transform(CLI::CheckedTransformer(parity, CLI::ignore_case).description(""));
  app->add_option("--stop-bits", o.line.stop_bits, "1|1.5|2 (default 1)")
      ->type_name("S")
      ->transform(CLI::CheckedTransformer(stop).description(""));
  app->add_option("--timeout", o.line.reply_timeout,
                  "Reply timeout in ticks of 10 ms (default 100; the driver takes at least 100)")
      ->type_name("TICKS");
  app->add_option("--line", o.line.line,
                  "Line number; the settings file is QELPRV<NN>.INT (default 1)")
      ->type_name("N");
  app->add_option("--workdir", o.workdir,
                  "Folder to work in, where the line's settings file is looked for")
      ->type_name("DIR")
      ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
#if defined(QELHOST_WITH_SIM)
  auto* sim = app->add_flag("--sim", o.sim,
                            "Start the controller simulator on a new pseudo-terminal and use it "
                            "as the line's port");
  port->excludes(sim);
  app->add_option("--sim-gates", o.sim_options.gates_file, "Simulator gate file (JSON)")
      ->type_name("FILE")
      ->needs(sim)
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
  app->add_option("--sim-fault", o.sim_options.faults,
                  "Simulator fault list, such as 'silence@3,delay:ms=200@5' (may repeat)")
      ->type_name("SPEC")
      ->needs(sim)
      ->allow_extra_args(false);
  app->add_option("--sim-baud", o.sim_options.baud,
                  "Pace the simulator's bytes like a line at this speed")
      ->type_name("N")
      ->needs(sim)
      ->check(CLI::Range(1, 4000000).description(""));
#endif
}

void AddType(CLI::App* app, Options& o) {
  app->add_option("--type", o.type,
                  "Gate type for all gates: float (3) or word (6); default from the name: "
                  "$ float, @ word")
      ->type_name("T")
      ->check(CLI::IsMember({"float", "word", "3", "6"}).description(""));
}

void AddFormats(CLI::App* app, Options& o) {
  auto* csv = app->add_flag("--csv", o.csv, "CSV lines with a header, for machines");
  auto* json = app->add_flag("--json", o.json, "One JSON object per line, for machines");
  csv->excludes(json);
}

// Read and poll without --sim need at least one gate; read, write and poll need a port.
std::string CheckLineUse(const Options& o, bool need_gates) {
  if (o.line.port.empty() && !o.sim) {
#if defined(QELHOST_WITH_SIM)
    return "give the line's port with --port NAME, or use --sim";
#else
    return "give the line's port with --port NAME (a COM port)";
#endif
  }
  if (need_gates && o.gates.empty() && !o.sim) return "name at least one GATE";
  return {};
}

int Main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "qelhost: the bench host of the QELPRV driver. It loads the driver module and "
      "drives it through QelMain as a host does, showing the driver's log lines.",
      "qelhost"};
  app.footer(kFooter);
  app.require_subcommand(1);

  auto* info = app.add_subcommand("info", "Show the driver's description record and banner");
  AddCommon(info, o, true);

  auto* read = app.add_subcommand("read", "Read gates once");
  AddCommon(read, o, true);
  AddType(read, o);
  AddFormats(read, o);
  read->add_option("GATE", o.gates, "Gate names ($ float, @ word); with --sim: all by default");

  auto* write = app.add_subcommand("write", "Write gates");
  AddCommon(write, o, true);
  AddType(write, o);
  write->add_option("GATE=VALUE", o.writes, "Gate and value, such as $SP=22.5 or @FAN=1")
      ->required();

  auto* define = app.add_subcommand("define", "Show the driver's definition check of gates");
  AddCommon(define, o, true);
  AddType(define, o);
  define
      ->add_option("--value", o.define_value,
                   "The value the host passes at +4 of the record (copied by the driver)")
      ->type_name("N");
  define->add_option("GATE", o.gates, "Gate names")->required();

  auto* poll = app.add_subcommand("poll", "Read gates in cycles: a live table in a terminal");
  AddCommon(poll, o, true);
  AddType(poll, o);
  AddFormats(poll, o);
  poll->add_flag("--plain", o.plain, "Plain lines also in a terminal (no redrawn table)");
  poll->add_option("--interval", o.interval_ms, "Milliseconds from cycle to cycle (default 1000)")
      ->type_name("MS")
      ->check(CLI::Range(0u, 3600000u).description(""));
  poll->add_option("--count", o.count, "Cycles to run (default 0: until Ctrl-C)")->type_name("N");
  poll->add_option("GATE", o.gates, "Gate names ($ float, @ word); with --sim: all by default");

  // Without a subcommand qelhost polls: "qelhost --sim" is the main job.
  std::vector<std::string> args(argv + 1, argv + argc);
  bool named = args.empty();
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help" || a == "info" || a == "read" || a == "write" || a == "define" ||
        a == "poll") {
      named = true;
    }
  }
  if (!named) args.insert(args.begin(), "poll");
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitCannotStart;
  }

  std::string problem;
  if (*read) problem = CheckLineUse(o, true);
  if (*write) problem = CheckLineUse(o, false);
  if (*poll) problem = CheckLineUse(o, true);
  if (!problem.empty()) {
    std::fprintf(stderr, "qelhost: %s (see --help)\n", problem.c_str());
    return kExitCannotStart;
  }
  // Paths given relative to where qelhost was started stay so after --workdir.
  std::error_code ec;
  if (!o.module.empty()) o.module = std::filesystem::absolute(o.module, ec).string();
  if (!o.log_file.empty()) o.log_file = std::filesystem::absolute(o.log_file, ec).string();

  if (*info) return RunInfo(o);
  if (*define) return RunDefine(o);
  if (*write) return RunWrite(o);
  if (*read) return RunReads(o, false);
  return RunReads(o, true);
}

}  // namespace
}  // namespace qelhost

int main(int argc, char** argv) {
  return qelhost::Main(argc, argv);
}
