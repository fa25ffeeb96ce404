#include "prv2sim/model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>

#include "prv2sim/rng.h"

namespace prv2sim {

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b, bool case_sensitive) {
  if (a.size() != b.size()) return false;
  if (case_sensitive) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

double clamp_bounds(double v, const std::optional<double>& lo, const std::optional<double>& hi) {
  if (lo && v < *lo) v = *lo;
  if (hi && v > *hi) v = *hi;
  return v;
}

double as_word(double v) {
  if (!std::isfinite(v)) return 0.0;
  return std::clamp(std::round(v), 0.0, 65535.0);
}

constexpr std::size_t kMaxNameLength = 31;

}  // namespace

std::string_view to_string(GateType type) {
  return type == GateType::Float ? "float" : "word";
}

std::string_view to_string(Access access) {
  switch (access) {
    case Access::ReadWrite:
      return "rw";
    case Access::ReadOnly:
      return "ro";
    case Access::WriteOnly:
      return "wo";
  }
  return "rw";
}

std::string_view to_string(DynamicsKind kind) {
  switch (kind) {
    case DynamicsKind::Constant:
      return "constant";
    case DynamicsKind::Ramp:
      return "ramp";
    case DynamicsKind::Sine:
      return "sine";
    case DynamicsKind::RandomWalk:
      return "random-walk";
  }
  return "constant";
}

std::optional<GateType> parse_gate_type(std::string_view text) {
  if (text == "float") return GateType::Float;
  if (text == "word") return GateType::Word;
  return std::nullopt;
}

std::optional<Access> parse_access(std::string_view text) {
  if (text == "rw") return Access::ReadWrite;
  if (text == "ro") return Access::ReadOnly;
  if (text == "wo") return Access::WriteOnly;
  return std::nullopt;
}

std::optional<DynamicsKind> parse_dynamics(std::string_view text) {
  if (text == "constant") return DynamicsKind::Constant;
  if (text == "ramp") return DynamicsKind::Ramp;
  if (text == "sine") return DynamicsKind::Sine;
  if (text == "random-walk") return DynamicsKind::RandomWalk;
  return std::nullopt;
}

std::optional<double> parse_float_text(std::string_view text) {
  // Check the shape first: from_chars alone would take "inf", "nan" and hex-free forms that a
  // controller does not, and it refuses a leading '+'.
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t number_start = i;
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;

  double value = 0.0;
  const char* first = text.data() + number_start;
  const char* last = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || !std::isfinite(value)) return std::nullopt;
  if (number_start == 1 && text[0] == '-') value = -value;
  return value;
}

std::optional<std::uint16_t> parse_word_text(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::string format_value(GateType type, double value, int decimals) {
  char buf[64];
  if (type == GateType::Word) {
    std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(as_word(value)));
    return buf;
  }
  decimals = std::clamp(decimals, 0, 9);
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::string text = buf;
  if (text.size() > 1 && text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos) {
    text.erase(0, 1);  // "-0.00" reads as 0
  }
  return text;
}

Request parse_request(std::string_view text) {
  Request r;
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) {
    r.kind = Request::Kind::Read;
    r.name = std::string(text);
  } else {
    r.kind = Request::Kind::Write;
    r.name = std::string(text.substr(0, eq));
    r.value = std::string(text.substr(eq + 1));
  }
  return r;
}

// ---------------------------------------------------------------------------------------------

GateTable::GateTable(std::vector<GateDef> defs, bool case_sensitive, std::uint64_t seed)
    : case_sensitive_(case_sensitive) {
  for (auto& d : defs) {
    if (d.name.empty() || d.name.size() > kMaxNameLength) {
      throw std::invalid_argument("gate name must have 1 to 31 characters: '" + d.name + "'");
    }
    for (char c : d.name) {
      if (c == '=' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        throw std::invalid_argument("gate name has '=' or a control character: '" + d.name + "'");
      }
    }
    if (find(d.name) >= 0) throw std::invalid_argument("duplicate gate name: '" + d.name + "'");
    if (!std::isfinite(d.value)) throw std::invalid_argument("gate value is not finite: " + d.name);
    if (d.type == GateType::Word && (d.value < 0 || d.value > 65535)) {
      throw std::invalid_argument("word gate value outside 0..65535: " + d.name);
    }
    if (d.dynamics.kind == DynamicsKind::Sine && !(d.dynamics.period > 0)) {
      throw std::invalid_argument("sine period must be above 0: " + d.name);
    }
    if (d.dynamics.kind == DynamicsKind::RandomWalk && !(d.dynamics.interval > 0)) {
      throw std::invalid_argument("random-walk interval must be above 0: " + d.name);
    }
    Entry e;
    e.def = std::move(d);
    e.base = e.def.value;
    e.next_step = e.def.dynamics.interval;
    e.rng = mix_seed(mix_seed(seed, hash_text(e.def.name)), e.def.dynamics.seed);
    gates_.push_back(std::move(e));
  }
}

void GateTable::set_case_sensitive(bool on) {
  if (!on) {
    for (std::size_t i = 0; i < gates_.size(); ++i) {
      for (std::size_t j = i + 1; j < gates_.size(); ++j) {
        if (same_name(gates_[i].def.name, gates_[j].def.name, false)) {
          throw std::invalid_argument("gate names differ only in case: " + gates_[i].def.name);
        }
      }
    }
  }
  case_sensitive_ = on;
}

int GateTable::find(std::string_view name) const {
  for (std::size_t i = 0; i < gates_.size(); ++i) {
    if (same_name(gates_[i].def.name, name, case_sensitive_)) return static_cast<int>(i);
  }
  return -1;
}

double GateTable::value(std::size_t index, double now) {
  Entry& e = gates_[index];
  const Dynamics& d = e.def.dynamics;
  double v = e.base;
  switch (d.kind) {
    case DynamicsKind::Constant:
      break;
    case DynamicsKind::Ramp: {
      v = e.base + d.rate * (now - e.anchor);
      if (d.min && d.max && *d.max > *d.min) {
        const double span = *d.max - *d.min;
        v = *d.min + std::fmod(std::fmod(v - *d.min, span) + span, span);
      } else {
        v = clamp_bounds(v, d.min, d.max);
      }
      break;
    }
    case DynamicsKind::Sine: {
      const double angle =
          2.0 * std::numbers::pi * now / d.period + d.phase * std::numbers::pi / 180.0;
      v = clamp_bounds(e.base + d.amplitude * std::sin(angle), d.min, d.max);
      break;
    }
    case DynamicsKind::RandomWalk: {
      // Catch up on the steps due; after a very long pause skip ahead instead of looping.
      if (now - e.next_step > 1e6 * d.interval) {
        e.next_step += std::floor((now - e.next_step) / d.interval) * d.interval;
      }
      while (e.next_step <= now) {
        Rng r(e.rng);
        e.base = clamp_bounds(e.base + d.step * (2.0 * r.uniform() - 1.0), d.min, d.max);
        e.rng = r.state();
        e.next_step += d.interval;
      }
      v = e.base;
      break;
    }
  }
  return e.def.type == GateType::Word ? as_word(v) : v;
}

void GateTable::store(std::size_t index, double v, double now) {
  Entry& e = gates_[index];
  const Dynamics& d = e.def.dynamics;
  switch (d.kind) {
    case DynamicsKind::Constant:
    case DynamicsKind::RandomWalk:
      value(index, now);  // let a walk catch up first, so its next steps start from v
      e.base = v;
      break;
    case DynamicsKind::Ramp:
      e.base = v;
      e.anchor = now;
      break;
    case DynamicsKind::Sine: {
      const double angle =
          2.0 * std::numbers::pi * now / d.period + d.phase * std::numbers::pi / 180.0;
      e.base = v - d.amplitude * std::sin(angle);
      break;
    }
  }
}

void GateTable::count_read(std::size_t index, std::string payload) {
  ++gates_[index].reads;
  gates_[index].last_payload = std::move(payload);
}

void GateTable::count_write(std::size_t index, std::string payload) {
  ++gates_[index].writes;
  gates_[index].last_payload = std::move(payload);
}

GateSnapshot GateTable::snapshot(std::size_t index, double now) {
  GateSnapshot s;
  const Entry& e = gates_[index];
  s.name = e.def.name;
  s.type = e.def.type;
  s.access = e.def.access;
  s.value = value(index, now);
  s.reads = e.reads;
  s.writes = e.writes;
  s.last_payload = e.last_payload;
  return s;
}

std::vector<GateSnapshot> GateTable::snapshot_all(double now) {
  std::vector<GateSnapshot> out;
  out.reserve(gates_.size());
  for (std::size_t i = 0; i < gates_.size(); ++i) out.push_back(snapshot(i, now));
  return out;
}

// ---------------------------------------------------------------------------------------------

std::string frame_block(std::string_view header, std::string_view payload) {
  std::string b;
  b.reserve(header.size() + payload.size() + 3);
  b += kStx;
  b += header;
  b += payload;
  b += kCr;
  b += kEtx;
  return b;
}

std::string frame_trailer(std::string_view text) {
  std::string t(text);
  t += kEtx;
  return t;
}

std::string error_payload(int code) {
  return "ERROR " + std::to_string(code);
}

Controller::Controller(ControllerConfig config, std::vector<GateDef> gates, std::uint64_t seed)
    : config_(std::move(config)), table_(std::move(gates), config_.case_sensitive, seed) {}

void Controller::set_config(ControllerConfig config) {
  if (config.case_sensitive != table_.case_sensitive()) {
    table_.set_case_sensitive(config.case_sensitive);
  }
  config_ = std::move(config);
}

Reply Controller::frame(Request::Kind kind, std::string_view request_text, int gate, int error,
                        std::string payload) const {
  Reply r;
  r.kind = kind;
  r.gate = gate;
  r.error = error;
  r.payload = std::move(payload);
  if (config_.echo) {
    r.echo = std::string(request_text);
    r.echo += kCr;
  }
  r.block = frame_block(config_.header, r.payload);
  const bool trailer =
      kind == Request::Kind::Read ? config_.trailer_after_read : config_.trailer_after_write;
  if (trailer) r.trailer = frame_trailer(config_.trailer);
  return r;
}

Reply Controller::refuse(std::string_view request_text, int code) const {
  const Request req = parse_request(request_text);
  return frame(req.kind, request_text, table_.find(req.name), code, error_payload(code));
}

Reply Controller::handle(std::string_view request_text, double now) {
  const Request req = parse_request(request_text);
  const int index = table_.find(req.name);
  auto fail = [&](int code) {
    return frame(req.kind, request_text, index, code, error_payload(code));
  };
  if (index < 0) return fail(kErrorUnknownGate);
  const auto gate = static_cast<std::size_t>(index);
  const GateDef& def = table_.def(gate);

  if (req.kind == Request::Kind::Read) {
    if (def.access == Access::WriteOnly) return fail(kErrorWrongAccess);
    std::string payload = format_value(def.type, table_.value(gate, now), config_.float_decimals);
    table_.count_read(gate, payload);
    return frame(req.kind, request_text, index, 0, std::move(payload));
  }

  if (def.access == Access::ReadOnly) return fail(kErrorWrongAccess);
  std::optional<double> v;
  if (def.type == GateType::Word) {
    if (auto w = parse_word_text(req.value)) v = *w;
  } else {
    v = parse_float_text(req.value);
  }
  if (!v || (def.write_min && *v < *def.write_min) || (def.write_max && *v > *def.write_max)) {
    return fail(kErrorBadValue);
  }
  table_.store(gate, *v, now);
  std::string payload = format_value(def.type, table_.value(gate, now), config_.float_decimals);
  table_.count_write(gate, payload);
  return frame(req.kind, request_text, index, 0, std::move(payload));
}

}  // namespace prv2sim
