#include <gtest/gtest.h>

#include <stdexcept>

#include "prv2sim/gatefile.h"

namespace prv2sim {
namespace {

TEST(GateFileTest, DumpedFileReadsBackTheSame) {
  ControllerConfig cfg;
  cfg.header = "A1";
  cfg.float_decimals = 3;
  cfg.trailer_after_write = true;
  const auto gates = default_gates();
  const GateFile back = parse_gate_file(gate_file_json(cfg, gates));
  EXPECT_EQ(back.controller.header, "A1");
  EXPECT_EQ(back.controller.float_decimals, 3);
  EXPECT_TRUE(back.controller.trailer_after_write);
  EXPECT_EQ(back.controller.trailer, "\r\n");
  ASSERT_EQ(back.gates.size(), gates.size());
  for (std::size_t i = 0; i < gates.size(); ++i) {
    SCOPED_TRACE(gates[i].name);
    EXPECT_EQ(back.gates[i].name, gates[i].name);
    EXPECT_EQ(back.gates[i].type, gates[i].type);
    EXPECT_EQ(back.gates[i].access, gates[i].access);
    EXPECT_EQ(back.gates[i].value, gates[i].value);
    EXPECT_EQ(back.gates[i].dynamics.kind, gates[i].dynamics.kind);
    EXPECT_EQ(back.gates[i].dynamics.min, gates[i].dynamics.min);
    EXPECT_EQ(back.gates[i].dynamics.period, gates[i].dynamics.period);
    EXPECT_EQ(back.gates[i].dynamics.step, gates[i].dynamics.step);
  }
  // The built-in set is a valid table.
  EXPECT_NO_THROW(GateTable(gates, false));
}

TEST(GateFileTest, PlainArrayWithDefaults) {
  const GateFile f = parse_gate_file(R"([
    {"name": "$T"},
    {"name": "@W", "type": "word", "access": "wo", "value": 3, "min": 0, "max": 10},
    {"name": "$R", "dynamics": "ramp"},
    {"name": "$S", "dynamics": {"kind": "sine", "amplitude": 2, "period": 30, "max": 1}}
  ])");
  ASSERT_EQ(f.gates.size(), 4u);
  EXPECT_EQ(f.gates[0].type, GateType::Float);
  EXPECT_EQ(f.gates[0].access, Access::ReadWrite);
  EXPECT_EQ(f.gates[1].access, Access::WriteOnly);
  EXPECT_EQ(f.gates[1].write_max, 10.0);
  EXPECT_EQ(f.gates[2].dynamics.kind, DynamicsKind::Ramp);
  EXPECT_EQ(f.gates[3].dynamics.amplitude, 2.0);
  EXPECT_EQ(f.gates[3].dynamics.max, 1.0);
  EXPECT_EQ(f.controller.header, "00");
}

TEST(GateFileTest, RefusesMistakesWithAMessage) {
  struct Case {
    const char* json;
    const char* message_part;
  };
  const Case cases[] = {
      {"{", "not valid JSON"},
      {R"({"gates": [{"name": "$A", "valeu": 1}]})", "unknown key 'valeu'"},
      {R"([{"type": "word"}])", "needs a 'name'"},
      {R"([{"name": "$A", "type": "int"}])", "'type'"},
      {R"([{"name": "$A", "access": "r"}])", "'access'"},
      {R"([{"name": "$A", "value": "1"}])", "'value' must be a number"},
      {R"([{"name": "$A", "dynamics": "wobble"}])", "unknown dynamics"},
      {R"([{"name": "$A", "dynamics": {"kind": "sine", "amp": 1}}])", "unknown key 'amp'"},
      {R"({"controller": {"header": "0"}, "gates": []})", "two characters"},
      {R"({"controller": {"decimals": 2.5}, "gates": []})", "'decimals'"},
      {R"({"controller": {}})", "needs a 'gates'"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.json);
    try {
      parse_gate_file(tc.json);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(tc.message_part), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace prv2sim
