// The gate file (JSON) and the built-in gate set of a small air-handling unit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "prv2sim/model.h"

namespace prv2sim {

struct GateFile {
  ControllerConfig controller;  // defaults, overridden by the file's "controller" object
  std::vector<GateDef> gates;
};

// Parses a gate file: either an array of gates or an object with "gates" and an optional
// "controller". Unknown keys and wrong types are refused. Throws std::runtime_error with a
// message that names the gate and the key. The gates are not checked against each other here;
// GateTable does that.
GateFile parse_gate_file(std::string_view json_text);
GateFile load_gate_file(const std::string& path);

// The JSON text of a gate file with this content (a template for users).
std::string gate_file_json(const ControllerConfig& controller, const std::vector<GateDef>& gates);

// $OAT (outdoor air, float ro, sine), $SAT (supply air, float ro, random walk), $SP (setpoint,
// float rw), @FAN (fan status, word rw), @VLV (valve position, word rw), @HRS (run hours,
// word ro, ramp) and @RST (alarm reset, word wo).
std::vector<GateDef> default_gates();

}  // namespace prv2sim
