#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "prv2sim/model.h"

namespace prv2sim {
namespace {

std::vector<GateDef> small_table() {
  return {
      {.name = "$SP", .type = GateType::Float, .access = Access::ReadWrite, .value = 21.0},
      {.name = "@VLV", .type = GateType::Word, .access = Access::ReadWrite, .value = 35},
      {.name = "$OAT", .type = GateType::Float, .access = Access::ReadOnly, .value = 8.25},
      {.name = "@RST", .type = GateType::Word, .access = Access::WriteOnly, .value = 0},
      {.name = "$LIM",
       .type = GateType::Float,
       .access = Access::ReadWrite,
       .value = 1,
       .write_min = 0.0,
       .write_max = 10.0},
  };
}

TEST(ControllerTest, ReadAnswerIsEchoBlockAndTrailer) {
  Controller c({}, small_table());
  EXPECT_EQ(c.handle("$SP", 0).bytes(),
            "$SP\r\x02"
            "0021.00\r\x03\r\n\x03");
  EXPECT_EQ(c.handle("@VLV", 0).bytes(),
            "@VLV\r\x02"
            "0035\r\x03\r\n\x03");
}

TEST(ControllerTest, WriteStoresValueAndAnswersWithIt) {
  Controller c({}, small_table());
  // By default the trailer follows a write too.
  EXPECT_EQ(c.handle("$SP=21.500000", 1).bytes(),
            "$SP=21.500000\r\x02"
            "0021.50\r\x03\r\n\x03");
  EXPECT_EQ(c.handle("$SP", 2).payload, "21.50");
  EXPECT_EQ(c.handle("@VLV=65535", 3).payload, "65535");
  EXPECT_EQ(c.handle("@VLV", 4).payload, "65535");
  EXPECT_EQ(c.handle("@RST=1", 5).payload, "1");
  EXPECT_EQ(c.handle("$SP=-2.500000", 6).payload, "-2.50");

  const auto sp = c.gates().snapshot(static_cast<std::size_t>(c.gates().find("$SP")), 7);
  EXPECT_DOUBLE_EQ(sp.value, -2.5);
  EXPECT_EQ(sp.writes, 2u);
  EXPECT_EQ(sp.reads, 1u);
  EXPECT_EQ(sp.last_payload, "-2.50");
}

TEST(ControllerTest, ErrorAnswers) {
  struct Case {
    const char* request;
    int error;
  };
  const Case cases[] = {
      {"$NOPE", 13},     {"$NOPE=1", 13},   {"", 13},         {"$SP=", 26},      {"$SP=abc", 26},
      {"$SP=1e999", 26}, {"$SP=nan", 26},   {"$SP=inf", 26},  {"$SP=21.5 ", 26}, {"@VLV=65536", 26},
      {"@VLV=-1", 26},   {"@VLV=12.7", 26}, {"@VLV=1=2", 26}, {"$LIM=10.5", 26}, {"$LIM=-0.1", 26},
      {"$OAT=1.0", 82},  {"@RST", 82},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.request);
    Controller c({}, small_table());
    const Reply r = c.handle(tc.request, 0);
    EXPECT_EQ(r.error, tc.error);
    EXPECT_EQ(r.payload, "ERROR " + std::to_string(tc.error));
    EXPECT_EQ(r.block,
              "\x02"
              "00ERROR " +
                  std::to_string(tc.error) + "\r\x03");
    // A refused write changes nothing.
    EXPECT_DOUBLE_EQ(c.gates().value(0, 0), 21.0);
    EXPECT_DOUBLE_EQ(c.gates().value(1, 0), 35.0);
  }
}

TEST(ControllerTest, FramingFollowsConfig) {
  ControllerConfig cfg;
  cfg.echo = false;
  cfg.header = "A7";
  cfg.float_decimals = 4;
  cfg.trailer = "OK";
  cfg.trailer_after_read = false;
  cfg.trailer_after_write = true;
  Controller c(cfg, small_table());
  EXPECT_EQ(c.handle("$OAT", 0).bytes(),
            "\x02"
            "A78.2500\r\x03");
  EXPECT_EQ(c.handle("$SP=1", 0).bytes(),
            "\x02"
            "A71.0000\r\x03OK\x03");
  // A refused read or write follows the same trailer rule as its kind.
  EXPECT_EQ(c.handle("$X", 0).trailer, "");
  EXPECT_EQ(c.handle("$X=1", 0).trailer, "OK\x03");
}

TEST(ControllerTest, NamesMatchWithoutCaseUnlessConfigured) {
  Controller c({}, small_table());
  EXPECT_EQ(c.handle("$sp", 0).payload, "21.00");
  EXPECT_EQ(c.handle("@vlv=7", 0).payload, "7");
  // The echo repeats the request as sent.
  EXPECT_EQ(c.handle("$oat", 0).echo, "$oat\r");

  ControllerConfig strict;
  strict.case_sensitive = true;
  c.set_config(strict);
  EXPECT_EQ(c.handle("$sp", 0).error, 13);
  EXPECT_EQ(c.handle("$SP", 0).error, 0);
  EXPECT_EQ(c.handle("@VLV", 0).payload, "7");  // state kept across the change
}

TEST(ControllerTest, RefuseDoesNotCarryOutTheRequest) {
  Controller c({}, small_table());
  const Reply r = c.refuse("$SP=5", 86);
  EXPECT_EQ(r.block,
            "\x02"
            "00ERROR 86\r\x03");
  EXPECT_EQ(r.trailer, "\r\n\x03");  // a write's trailer rule
  EXPECT_EQ(c.handle("$SP", 0).payload, "21.00");
}

TEST(WireTextTest, FloatTexts) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"21.500000", 21.5}, {"-2.500000", -2.5}, {"+3", 3.0},         {"0", 0.0},  {".5", 0.5},
      {"5.", 5.0},         {"1e3", 1000},       {"-1.5E-2", -0.015}, {"", {}},    {".", {}},
      {"-", {}},           {"1e", {}},          {" 1", {}},          {"1 ", {}},  {"0x10", {}},
      {"inf", {}},         {"1e400", {}},       {"1,5", {}},         {"--1", {}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    EXPECT_EQ(parse_float_text(tc.text), tc.value);
  }
}

TEST(WireTextTest, WordTexts) {
  EXPECT_EQ(parse_word_text("0"), 0);
  EXPECT_EQ(parse_word_text("65535"), 65535);
  EXPECT_EQ(parse_word_text("00042"), 42);
  for (const char* bad : {"", "65536", "-1", "+1", "1.0", "1 ", "99999999999999999999"}) {
    EXPECT_EQ(parse_word_text(bad), std::nullopt) << bad;
  }
}

TEST(WireTextTest, FormatValue) {
  EXPECT_EQ(format_value(GateType::Float, 21.5, 2), "21.50");
  EXPECT_EQ(format_value(GateType::Float, 21.456, 0), "21");
  EXPECT_EQ(format_value(GateType::Float, -0.001, 2), "0.00");
  EXPECT_EQ(format_value(GateType::Float, -0.5, 1), "-0.5");
  EXPECT_EQ(format_value(GateType::Word, 12.6, 2), "13");
  EXPECT_EQ(format_value(GateType::Word, 70000, 2), "65535");
}

TEST(GateTableTest, RefusesBadTables) {
  auto make = [](std::vector<GateDef> defs, bool case_sensitive = false) {
    return GateTable(std::move(defs), case_sensitive);
  };
  EXPECT_THROW(make({{.name = ""}}), std::invalid_argument);
  EXPECT_THROW(make({{.name = std::string(32, 'A')}}), std::invalid_argument);
  EXPECT_THROW(make({{.name = "$A=B"}}), std::invalid_argument);
  EXPECT_THROW(make({{.name = "$A\r"}}), std::invalid_argument);
  EXPECT_THROW(make({{.name = "$A"}, {.name = "$a"}}), std::invalid_argument);
  EXPECT_THROW(make({{.name = "@W", .type = GateType::Word, .value = 70000}}),
               std::invalid_argument);
  EXPECT_NO_THROW(make({{.name = "$A"}, {.name = "$a"}}, true));
  EXPECT_NO_THROW(make({{.name = std::string(31, 'A')}}));

  GateTable t({{.name = "$A"}, {.name = "$a"}}, true);
  EXPECT_THROW(t.set_case_sensitive(false), std::invalid_argument);
}

TEST(DynamicsTest, RampMovesWrapsAndRestartsFromAWrite) {
  GateDef g{.name = "$R", .value = 0.0};
  g.dynamics = {.kind = DynamicsKind::Ramp, .rate = 2.0, .min = 0.0, .max = 10.0};
  GateTable t({g}, false);
  EXPECT_DOUBLE_EQ(t.value(0, 1.0), 2.0);
  EXPECT_DOUBLE_EQ(t.value(0, 4.0), 8.0);
  EXPECT_NEAR(t.value(0, 6.0), 2.0, 1e-9);  // 12 wraps to 2
  t.store(0, 5.0, 10.0);
  EXPECT_DOUBLE_EQ(t.value(0, 10.0), 5.0);
  EXPECT_DOUBLE_EQ(t.value(0, 11.0), 7.0);

  GateDef w{.name = "@H", .type = GateType::Word, .value = 100};
  w.dynamics = {.kind = DynamicsKind::Ramp, .rate = -30.0, .min = 0.0};
  GateTable words({w}, false);
  EXPECT_DOUBLE_EQ(words.value(0, 1.01), 70.0);  // whole numbers
  EXPECT_DOUBLE_EQ(words.value(0, 10.0), 0.0);   // stops at the one bound
}

TEST(DynamicsTest, SineSwingsAroundItsValue) {
  GateDef g{.name = "$S", .value = 10.0};
  g.dynamics = {.kind = DynamicsKind::Sine, .amplitude = 5.0, .period = 40.0};
  GateTable t({g}, false);
  EXPECT_NEAR(t.value(0, 0.0), 10.0, 1e-9);
  EXPECT_NEAR(t.value(0, 10.0), 15.0, 1e-9);
  EXPECT_NEAR(t.value(0, 30.0), 5.0, 1e-9);
  EXPECT_NEAR(t.value(0, 50.0), 15.0, 1e-9);
  t.store(0, 20.0, 50.0);  // the swing continues around a moved centre
  EXPECT_NEAR(t.value(0, 50.0), 20.0, 1e-9);
  EXPECT_NEAR(t.value(0, 70.0), 10.0, 1e-9);
}

TEST(DynamicsTest, RandomWalkIsBoundedAndRepeatsForASeed) {
  GateDef g{.name = "$W", .value = 18.0};
  g.dynamics = {
      .kind = DynamicsKind::RandomWalk, .step = 0.5, .interval = 1.0, .min = 17.0, .max = 19.0};
  GateTable a({g}, false, 7);
  GateTable b({g}, false, 7);
  GateTable other({g}, false, 8);
  bool moved = false;
  bool differs = false;
  for (int s = 0; s <= 200; ++s) {
    const double now = s * 0.5;
    const double va = a.value(0, now);
    EXPECT_GE(va, 17.0);
    EXPECT_LE(va, 19.0);
    EXPECT_DOUBLE_EQ(va, b.value(0, now));
    moved = moved || va != 18.0;
    differs = differs || va != other.value(0, now);
  }
  EXPECT_TRUE(moved);
  EXPECT_TRUE(differs);
  // Between steps the value holds.
  EXPECT_DOUBLE_EQ(a.value(0, 100.2), a.value(0, 100.9));
  a.store(0, 18.5, 101.0);
  EXPECT_DOUBLE_EQ(a.value(0, 101.5), 18.5);
}

}  // namespace
}  // namespace prv2sim
