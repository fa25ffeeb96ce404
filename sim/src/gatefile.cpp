#include "prv2sim/gatefile.h"

#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace prv2sim {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw std::runtime_error("gate file: " + where + ": " + what);
}

void check_keys(const json& obj, const std::string& where,
                std::initializer_list<std::string_view> allowed) {
  if (!obj.is_object()) fail(where, "must be an object");
  for (const auto& [key, value] : obj.items()) {
    bool known = false;
    for (auto a : allowed) known = known || key == a;
    if (!known) fail(where, "unknown key '" + key + "'");
  }
}

double number(const json& obj, const char* key, const std::string& where, double fallback) {
  if (!obj.contains(key)) return fallback;
  const json& v = obj.at(key);
  if (!v.is_number()) fail(where, std::string("'") + key + "' must be a number");
  return v.get<double>();
}

std::optional<double> opt_number(const json& obj, const char* key, const std::string& where) {
  if (!obj.contains(key)) return std::nullopt;
  return number(obj, key, where, 0.0);
}

bool boolean(const json& obj, const char* key, const std::string& where, bool fallback) {
  if (!obj.contains(key)) return fallback;
  const json& v = obj.at(key);
  if (!v.is_boolean()) fail(where, std::string("'") + key + "' must be true or false");
  return v.get<bool>();
}

std::string text(const json& obj, const char* key, const std::string& where,
                 const std::string& fallback) {
  if (!obj.contains(key)) return fallback;
  const json& v = obj.at(key);
  if (!v.is_string()) fail(where, std::string("'") + key + "' must be a string");
  return v.get<std::string>();
}

ControllerConfig parse_controller(const json& obj) {
  const std::string where = "controller";
  check_keys(obj, where,
             {"echo", "header", "decimals", "trailer", "trailer_after_read", "trailer_after_write",
              "case_sensitive"});
  ControllerConfig c;
  c.echo = boolean(obj, "echo", where, c.echo);
  c.header = text(obj, "header", where, c.header);
  if (c.header.size() != 2) fail(where, "'header' must have two characters");
  const double decimals = number(obj, "decimals", where, c.float_decimals);
  if (decimals < 0 || decimals > 9 || decimals != static_cast<int>(decimals)) {
    fail(where, "'decimals' must be a whole number 0..9");
  }
  c.float_decimals = static_cast<int>(decimals);
  c.trailer = text(obj, "trailer", where, c.trailer);
  c.trailer_after_read = boolean(obj, "trailer_after_read", where, c.trailer_after_read);
  c.trailer_after_write = boolean(obj, "trailer_after_write", where, c.trailer_after_write);
  c.case_sensitive = boolean(obj, "case_sensitive", where, c.case_sensitive);
  return c;
}

Dynamics parse_dynamics_value(const json& v, const std::string& where) {
  Dynamics d;
  if (v.is_string()) {
    auto kind = parse_dynamics(v.get<std::string>());
    if (!kind) fail(where, "unknown dynamics '" + v.get<std::string>() + "'");
    d.kind = *kind;
    return d;
  }
  check_keys(
      v, where,
      {"kind", "rate", "amplitude", "period", "phase", "step", "interval", "min", "max", "seed"});
  const std::string kind_text = text(v, "kind", where, "constant");
  auto kind = parse_dynamics(kind_text);
  if (!kind) fail(where, "unknown dynamics kind '" + kind_text + "'");
  d.kind = *kind;
  d.rate = number(v, "rate", where, d.rate);
  d.amplitude = number(v, "amplitude", where, d.amplitude);
  d.period = number(v, "period", where, d.period);
  d.phase = number(v, "phase", where, d.phase);
  d.step = number(v, "step", where, d.step);
  d.interval = number(v, "interval", where, d.interval);
  d.min = opt_number(v, "min", where);
  d.max = opt_number(v, "max", where);
  const double seed = number(v, "seed", where, 0);
  if (seed < 0 || seed != static_cast<double>(static_cast<std::uint64_t>(seed))) {
    fail(where, "'seed' must be a whole number of 0 or more");
  }
  d.seed = static_cast<std::uint64_t>(seed);
  return d;
}

GateDef parse_gate(const json& obj, std::size_t index) {
  std::string where = "gate " + std::to_string(index + 1);
  check_keys(obj, where, {"name", "type", "access", "value", "min", "max", "dynamics"});
  if (!obj.contains("name") || !obj.at("name").is_string()) fail(where, "needs a 'name' string");
  GateDef g;
  g.name = obj.at("name").get<std::string>();
  where += " (" + g.name + ")";
  const std::string type = text(obj, "type", where, "float");
  auto t = parse_gate_type(type);
  if (!t) fail(where, "'type' must be \"float\" or \"word\"");
  g.type = *t;
  const std::string access = text(obj, "access", where, "rw");
  auto a = parse_access(access);
  if (!a) fail(where, "'access' must be \"rw\", \"ro\" or \"wo\"");
  g.access = *a;
  g.value = number(obj, "value", where, 0.0);
  g.write_min = opt_number(obj, "min", where);
  g.write_max = opt_number(obj, "max", where);
  if (obj.contains("dynamics")) g.dynamics = parse_dynamics_value(obj.at("dynamics"), where);
  return g;
}

json dynamics_json(const Dynamics& d) {
  json j;
  j["kind"] = to_string(d.kind);
  switch (d.kind) {
    case DynamicsKind::Constant:
      return to_string(d.kind);
    case DynamicsKind::Ramp:
      j["rate"] = d.rate;
      break;
    case DynamicsKind::Sine:
      j["amplitude"] = d.amplitude;
      j["period"] = d.period;
      if (d.phase != 0) j["phase"] = d.phase;
      break;
    case DynamicsKind::RandomWalk:
      j["step"] = d.step;
      j["interval"] = d.interval;
      if (d.seed != 0) j["seed"] = d.seed;
      break;
  }
  if (d.min) j["min"] = *d.min;
  if (d.max) j["max"] = *d.max;
  return j;
}

}  // namespace

GateFile parse_gate_file(std::string_view json_text) {
  json doc;
  try {
    doc = json::parse(json_text);
  } catch (const json::parse_error& e) {
    throw std::runtime_error(std::string("gate file: not valid JSON: ") + e.what());
  }
  GateFile file;
  const json* gates = &doc;
  if (doc.is_object()) {
    check_keys(doc, "top level", {"controller", "gates"});
    if (doc.contains("controller")) file.controller = parse_controller(doc.at("controller"));
    if (!doc.contains("gates")) fail("top level", "needs a 'gates' array");
    gates = &doc.at("gates");
  }
  if (!gates->is_array()) fail("top level", "'gates' must be an array");
  for (std::size_t i = 0; i < gates->size(); ++i) file.gates.push_back(parse_gate(gates->at(i), i));
  return file;
}

GateFile load_gate_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("gate file: cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return parse_gate_file(text.str());
}

std::string gate_file_json(const ControllerConfig& c, const std::vector<GateDef>& gates) {
  json doc;
  doc["controller"] = {{"echo", c.echo},
                       {"header", c.header},
                       {"decimals", c.float_decimals},
                       {"trailer", c.trailer},
                       {"trailer_after_read", c.trailer_after_read},
                       {"trailer_after_write", c.trailer_after_write},
                       {"case_sensitive", c.case_sensitive}};
  json list = json::array();
  for (const auto& g : gates) {
    json j;
    j["name"] = g.name;
    j["type"] = to_string(g.type);
    j["access"] = to_string(g.access);
    j["value"] = g.value;
    if (g.write_min) j["min"] = *g.write_min;
    if (g.write_max) j["max"] = *g.write_max;
    if (g.dynamics.kind != DynamicsKind::Constant) j["dynamics"] = dynamics_json(g.dynamics);
    list.push_back(j);
  }
  doc["gates"] = list;
  return doc.dump(2) + "\n";
}

std::vector<GateDef> default_gates() {
  std::vector<GateDef> g;
  g.push_back({.name = "$OAT",
               .type = GateType::Float,
               .access = Access::ReadOnly,
               .value = 8.0,
               .dynamics = {.kind = DynamicsKind::Sine, .amplitude = 6.0, .period = 120.0}});
  g.push_back({.name = "$SAT",
               .type = GateType::Float,
               .access = Access::ReadOnly,
               .value = 18.0,
               .dynamics = {.kind = DynamicsKind::RandomWalk,
                            .step = 0.1,
                            .interval = 1.0,
                            .min = 12.0,
                            .max = 24.0}});
  g.push_back({.name = "$SP", .type = GateType::Float, .access = Access::ReadWrite, .value = 21.0});
  g.push_back({.name = "@FAN", .type = GateType::Word, .access = Access::ReadWrite, .value = 1});
  g.push_back({.name = "@VLV", .type = GateType::Word, .access = Access::ReadWrite, .value = 35});
  g.push_back({.name = "@HRS",
               .type = GateType::Word,
               .access = Access::ReadOnly,
               .value = 1200,
               .dynamics = {.kind = DynamicsKind::Ramp, .rate = 0.5, .min = 0, .max = 65535}});
  g.push_back({.name = "@RST", .type = GateType::Word, .access = Access::WriteOnly, .value = 0});
  return g;
}

}  // namespace prv2sim
