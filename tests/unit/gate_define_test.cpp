// The gate definition check: which definitions are accepted, what it writes into the definition
// and into the line's gate-name field, and that it never writes or reads beyond them.
#include "driver/gate/define.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/gate_line.h"

namespace qel {
namespace {

constexpr int32_t kUnset = 0x5A5A5A5A;  // what the host left in the fields before the call
constexpr unsigned char kFill = 0xA5;   // what the host left in the work area

GateDefinition FreshDefinition(const char* name, int32_t type) {
  GateDefinition d{};
  d.name = name;
  d.value = 0x01020304;
  d.type = type;
  d.untouched = kUnset;
  d.zero1 = d.zero2 = d.copy = d.max = d.bits = kUnset;
  return d;
}

LineWorkArea FilledWorkArea() {
  LineWorkArea w;
  std::memset(&w, kFill, sizeof w);
  return w;
}

// Every byte of the work area outside the gate-name field is as the host left it.
void ExpectOnlyTheNameFieldTouched(const LineWorkArea& w) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&w);
  for (std::size_t i = 0; i < sizeof w; ++i) {
    if (i >= offsetof(LineWorkArea, gate_name) &&
        i < offsetof(LineWorkArea, gate_name) + kGateNameFieldSize) {
      continue;
    }
    EXPECT_EQ(bytes[i], kFill) << "work area byte " << i;
  }
}

struct DefineCase {
  std::string name;
  int32_t type;
  int32_t result;
  std::string field;  // the gate-name field; zero bytes fill the rest
  bool copied;        // +24 holds the copy of +4
  int32_t bits;
};

TEST(GateDefineTest, Definitions) {
  const std::string name31 = "$" + std::string(30, 'q');
  const DefineCase cases[] = {
      {"$temp1", 3, 0, "$TEMP1", true, 32},
      {"@flag", 6, 0, "@FLAG", true, 16},
      {"temp1", 3, 1, "TEMP1", false, 16},
      {"$x", 5, 1, "$X", true, 16},
      {"$x", 0x10003, 1, "$X", true, 16},  // the type is compared as a whole
      {"", 3, 1, "", false, 16},
      {"$a{b~", 3, 0, "$A[B^", true, 32},
      {name31, 6, 0, "$" + std::string(30, 'Q'), true, 16},
      {"`abc", 3, 1, "`ABC", false, 16},  // 0x60 is not lowered to "@"
      {"$\x7f\x80\xff", 3, 0, "$_\x60\xdf", true, 32},
      {"@$@", 6, 0, "@$@", true, 16},
  };
  for (const DefineCase& c : cases) {
    SCOPED_TRACE("name " + test::Visible(c.name) + " type " + std::to_string(c.type));
    test::FakeLine line;
    test::ClearLog();
    LineWorkArea work = FilledWorkArea();
    GateDefinition d = FreshDefinition(c.name.c_str(), c.type);
    DriverRequest request{&work, kCmdGateDefine, 1, 0, &d};
    EXPECT_EQ(GateDefine(&request), c.result);

    std::string field = c.field;
    field.resize(kGateNameFieldSize, '\0');
    EXPECT_EQ(test::Visible(std::string(work.gate_name, kGateNameFieldSize)), test::Visible(field));
    ExpectOnlyTheNameFieldTouched(work);
    EXPECT_EQ(d.zero1, 0);
    EXPECT_EQ(d.zero2, 0);
    EXPECT_EQ(d.max, 255);
    EXPECT_EQ(d.bits, c.bits);
    EXPECT_EQ(d.copy, c.copied ? d.value : kUnset);
    EXPECT_EQ(d.untouched, kUnset);
    EXPECT_EQ(d.value, 0x01020304);
    EXPECT_EQ(d.type, c.type);
    EXPECT_TRUE(line.Calls().empty());
    EXPECT_TRUE(test::LoggedLines().empty());
  }
}

TEST(GateDefineTest, TheFieldHoldsTheLastNamePresented) {
  LineWorkArea work{};
  GateDefinition first = FreshDefinition("$longername", 3);
  DriverRequest request{&work, kCmdGateDefine, 1, 0, &first};
  EXPECT_EQ(GateDefine(&request), 0);
  GateDefinition second = FreshDefinition("no", 3);
  request.arg = &second;
  EXPECT_EQ(GateDefine(&request), 1);
  EXPECT_EQ(std::string(work.gate_name, kGateNameFieldSize),
            std::string("NO") + std::string(30, '\0'));
}

TEST(GateDefineTest, RefusesBadInputWithoutWritingOutsideTheField) {
  test::FakeLine line;
  test::ClearLog();
  // A name of exactly 32 characters with no terminator after it: its end is never looked for
  // beyond the 32nd byte (the sanitizers watch the heap block).
  std::unique_ptr<char[]> name32(new char[32]);
  std::memset(name32.get(), '$', 32);
  const std::string name40 = "$" + std::string(39, 'a');
  for (const char* name : {static_cast<const char*>(name32.get()), name40.c_str(),
                           static_cast<const char*>(nullptr)}) {
    LineWorkArea work = FilledWorkArea();
    const LineWorkArea before = work;
    GateDefinition d = FreshDefinition(name, 3);
    DriverRequest request{&work, kCmdGateDefine, 1, 0, &d};
    EXPECT_EQ(GateDefine(&request), 1);
    EXPECT_EQ(std::memcmp(&work, &before, sizeof work), 0) << "the work area is left alone";
    // The fields every definition gets; the copy is not made.
    EXPECT_EQ(d.max, 255);
    EXPECT_EQ(d.bits, 16);
    EXPECT_EQ(d.zero1, 0);
    EXPECT_EQ(d.zero2, 0);
    EXPECT_EQ(d.copy, kUnset);
  }
  // No definition at all, and no work area.
  LineWorkArea work = FilledWorkArea();
  DriverRequest no_definition{&work, kCmdGateDefine, 1, 0, nullptr};
  EXPECT_EQ(GateDefine(&no_definition), 1);
  GateDefinition d = FreshDefinition("$ok", 3);
  DriverRequest no_work{nullptr, kCmdGateDefine, 1, 0, &d};
  EXPECT_EQ(GateDefine(&no_work), 1);
  EXPECT_EQ(d.copy, kUnset);
  EXPECT_EQ(GateDefine(nullptr), 1);
  EXPECT_TRUE(line.Calls().empty());
  EXPECT_TRUE(test::LoggedLines().empty());
}

}  // namespace
}  // namespace qel
