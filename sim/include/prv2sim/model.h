// The PRV2 controller as seen from the line: a table of gates, the parser of request texts and
// the builder of the framed answers. Nothing here does I/O or reads a clock: the time is passed
// in (seconds since the simulator started), so every function can be tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prv2sim {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr char kCr = '\r';
inline constexpr char kLf = '\n';

// Controller error numbers that the simulator answers with.
inline constexpr int kErrorUnknownGate = 13;
inline constexpr int kErrorBadValue = 26;
inline constexpr int kErrorWrongAccess = 82;

enum class GateType { Float, Word };
enum class Access { ReadWrite, ReadOnly, WriteOnly };
enum class DynamicsKind { Constant, Ramp, Sine, RandomWalk };

std::string_view to_string(GateType type);
std::string_view to_string(Access access);
std::string_view to_string(DynamicsKind kind);
std::optional<GateType> parse_gate_type(std::string_view text);     // "float", "word"
std::optional<Access> parse_access(std::string_view text);          // "rw", "ro", "wo"
std::optional<DynamicsKind> parse_dynamics(std::string_view text);  // "constant", "ramp", ...

// How a gate's value moves on its own. The fields that a kind does not use are ignored.
struct Dynamics {
  DynamicsKind kind = DynamicsKind::Constant;
  double rate = 0.0;       // ramp: change per second
  double amplitude = 0.0;  // sine: half the swing; the gate's value is the centre line
  double period = 60.0;    // sine: seconds per cycle
  double phase = 0.0;      // sine: degrees at time 0
  double step = 0.1;       // random walk: largest change per interval
  double interval = 1.0;   // random walk: seconds between steps
  // ramp: with both bounds the value wraps from max back to min (a sawtooth), with one it stops
  // there; random walk and sine: the value is clamped into the bounds.
  std::optional<double> min;
  std::optional<double> max;
  std::uint64_t seed = 0;  // random walk: mixed with the gate name and the table's seed
};

struct GateDef {
  std::string name;
  GateType type = GateType::Float;
  Access access = Access::ReadWrite;
  double value = 0.0;  // initial value (sine: centre line)
  Dynamics dynamics;
  // Written values outside these limits are refused with error 26.
  std::optional<double> write_min;
  std::optional<double> write_max;
};

// What a test or a soak run can see of one gate.
struct GateSnapshot {
  std::string name;
  GateType type = GateType::Float;
  Access access = Access::ReadWrite;
  double value = 0.0;        // the truth at the time of the snapshot (words: whole numbers)
  std::uint64_t reads = 0;   // reads answered with the value
  std::uint64_t writes = 0;  // writes stored
  std::string last_payload;  // the last value text sent for this gate (read or write answer)
};

// Text conversions of the wire. Both parsers take the whole text or nothing.
// A float is a finite decimal number: optional sign, digits with an optional point, optional
// exponent; no blanks, no "inf" or "nan". A word is decimal digits only, 0 to 65535.
std::optional<double> parse_float_text(std::string_view text);
std::optional<std::uint16_t> parse_word_text(std::string_view text);
// A float with `decimals` digits after the point (never "-0.00"); a word as unsigned decimal.
std::string format_value(GateType type, double value, int decimals);

// One request text, without its CR. "NAME" is a read; "NAME=VALUE" a write (split at the
// first '=').
struct Request {
  enum class Kind { Read, Write };
  Kind kind = Kind::Read;
  std::string name;
  std::string value;
};
Request parse_request(std::string_view text);

// The table of gates with their dynamics. Not thread-safe; the engine guards it.
class GateTable {
 public:
  GateTable() = default;
  // Throws std::invalid_argument for an empty or too long name (over 31 characters), a name
  // with '=' or a control character, a duplicate (under the given case rule), or a word value
  // outside 0..65535. `seed` feeds the random walks (mixed with each gate's name and seed).
  GateTable(std::vector<GateDef> defs, bool case_sensitive, std::uint64_t seed = 0);

  // Index of the gate, or -1.
  int find(std::string_view name) const;
  std::size_t size() const { return gates_.size(); }
  const GateDef& def(std::size_t index) const { return gates_[index].def; }
  bool case_sensitive() const { return case_sensitive_; }
  // Throws std::invalid_argument when two names would then match each other.
  void set_case_sensitive(bool on);

  // The value at time `now` (seconds). Time must not run backwards between calls.
  double value(std::size_t index, double now);
  // Stores a written value; the gate's motion, if any, continues from it.
  void store(std::size_t index, double value, double now);
  void count_read(std::size_t index, std::string payload);
  void count_write(std::size_t index, std::string payload);
  GateSnapshot snapshot(std::size_t index, double now);
  std::vector<GateSnapshot> snapshot_all(double now);

 private:
  struct Entry {
    GateDef def;
    double base = 0.0;       // constant/ramp: value at anchor; sine: centre; walk: current
    double anchor = 0.0;     // ramp: time of base
    double next_step = 0.0;  // walk: time of the next step
    std::uint64_t rng = 0;   // walk: generator state
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
    std::string last_payload;
  };
  bool case_sensitive_ = false;
  std::vector<Entry> gates_;
};

// How the controller frames its answers.
struct ControllerConfig {
  bool echo = true;                  // send the request text (with its CR) back first
  std::string header = "00";         // the two characters after STX
  int float_decimals = 2;            // digits after the point in float values
  std::string trailer = "\r\n";      // text of the trailer; an ETX always follows it
  bool trailer_after_read = true;    // trailer follows the answer to a read
  bool trailer_after_write = true;   // trailer follows the answer to a write
  bool case_sensitive = false;       // gate names match exactly instead of without case
};

// The three pieces of an answer, each complete with its framing bytes.
struct Reply {
  Request::Kind kind = Request::Kind::Read;
  int gate = -1;        // index in the table, -1 for an unknown name
  int error = 0;        // 0, or the error number in the payload
  std::string payload;  // value text or "ERROR nn"
  std::string echo;     // request text + CR, or empty when echo is off
  std::string block;    // STX + header + payload + CR + ETX
  std::string trailer;  // trailer text + ETX, or empty
  std::string bytes() const { return echo + block + trailer; }
};

std::string frame_block(std::string_view header, std::string_view payload);
std::string frame_trailer(std::string_view text);
std::string error_payload(int code);  // "ERROR 13"

// The controller: carries out requests on its gate table and builds the answers.
class Controller {
 public:
  Controller(ControllerConfig config, std::vector<GateDef> gates, std::uint64_t seed = 0);

  // Carries out one request text (without its CR) at time `now`.
  Reply handle(std::string_view request_text, double now);
  // The answer the controller gives when it refuses the request with `code` without carrying
  // it out (used by fault injection).
  Reply refuse(std::string_view request_text, int code) const;

  const ControllerConfig& config() const { return config_; }
  // Replaces the framing settings. A change of the case rule rebuilds the name lookup and
  // keeps the gates' states.
  void set_config(ControllerConfig config);
  GateTable& gates() { return table_; }

 private:
  Reply frame(Request::Kind kind, std::string_view request_text, int gate, int error,
              std::string payload) const;
  ControllerConfig config_;
  GateTable table_;
};

}  // namespace prv2sim
