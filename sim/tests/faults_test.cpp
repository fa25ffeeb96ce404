#include <gtest/gtest.h>

#include "prv2sim/faults.h"

namespace prv2sim {
namespace {

TEST(FaultListTest, ParsesItems) {
  const FaultPlan plan = FaultPlan::parse(
      " silence@3 , drop:p=0.01, delay:ms=200:before=trailer@5-7;9+, hangup:ms=50:after=4@10,"
      "echo:text=$X\\r, noise:n=5, long:n=150, error:code=13, corrupt:at=2:n=3, gap, notrailer");
  const auto& r = plan.rules();
  ASSERT_EQ(r.size(), 11u);
  EXPECT_EQ(r[0].kind, FaultKind::Silence);
  EXPECT_EQ(r[0].when, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{3, 3}}));
  EXPECT_DOUBLE_EQ(r[1].p, 0.01);
  EXPECT_TRUE(r[1].when.empty());
  EXPECT_EQ(r[2].ms, 200u);
  EXPECT_EQ(r[2].before, Section::Trailer);
  EXPECT_EQ(r[2].when.size(), 2u);
  EXPECT_TRUE(r[2].scheduled_at(6));
  EXPECT_FALSE(r[2].scheduled_at(8));
  EXPECT_TRUE(r[2].scheduled_at(1000000));
  EXPECT_EQ(r[3].ms, 50u);
  EXPECT_EQ(r[3].after, 4u);
  EXPECT_EQ(r[4].text, "$X\r");
  EXPECT_EQ(r[5].count, 5u);
  EXPECT_EQ(r[6].length, 150u);
  EXPECT_EQ(r[7].code, 13);
  EXPECT_EQ(r[8].at, 2u);
  EXPECT_EQ(r[8].count, 3u);
  EXPECT_EQ(r[9].ms, 10u);  // gap's own default
  EXPECT_EQ(plan.text(),
            "silence@3,drop:p=0.01,delay:ms=200:before=trailer@5-7;9+,hangup:ms=50:after=4@10,"
            "echo:text=$X\\r,noise:n=5,long:n=150,error:code=13,corrupt:at=2:n=3,gap,notrailer");
  EXPECT_TRUE(FaultPlan::parse("  ").empty());
}

TEST(FaultListTest, RefusesMistakes) {
  for (const char* bad :
       {"bogus", "drop:p=2", "drop:p=x", "silence:ms=5", "delay:ms=-1", "delay:ms", "drop@0",
        "drop@5-3", "drop@x", "long:n=98", "drop:n=0", "delay:before=middle", "echo:text=\\q",
        "noise:text=\\x4", "silence,,drop", "error:code=1000000"}) {
    EXPECT_THROW(FaultPlan::parse(bad), FaultListError) << bad;
  }
}

TEST(FaultListTest, FiringRepeatsForASeedAndFollowsTheChance) {
  const FaultPlan plan = FaultPlan::parse("drop:p=0.3,silence@4;7");
  int drops = 0;
  bool seeds_differ = false;
  for (std::uint64_t n = 1; n <= 1000; ++n) {
    const auto fired = plan.fire(n, 42);
    EXPECT_EQ(fired, plan.fire(n, 42));
    seeds_differ = seeds_differ || fired != plan.fire(n, 43);
    bool silence = false;
    for (auto i : fired) {
      drops += i == 0;
      silence = silence || i == 1;
    }
    EXPECT_EQ(silence, n == 4 || n == 7) << n;
  }
  EXPECT_GT(drops, 200);
  EXPECT_LT(drops, 400);
  EXPECT_TRUE(seeds_differ);
}

// The answer bytes of one read of $SP (21.00) or write under a fault list.
class TransactTest : public ::testing::Test {
 protected:
  Transmission run(const char* faults, const char* request = "$SP", std::uint64_t n = 1) {
    return transact(controller, FaultPlan::parse(faults), n, 7, request, 0.0);
  }
  Controller controller{{}, {{.name = "$SP", .value = 21.0}}};
  static constexpr const char* kClean =
      "$SP\r\x02"
      "0021.00\r\x03\r\n\x03";
};

TEST_F(TransactTest, ShapesTheAnswer) {
  struct Case {
    const char* faults;
    std::string wire;
  };
  const Case cases[] = {
      {"", kClean},
      {"notrailer",
       "$SP\r\x02"
       "0021.00\r\x03"},
      {"echo",
       "?SP\r\x02"
       "0021.00\r\x03\r\n\x03"},
      {"echo:text=$OAT\\r\\n",
       "$OAT\r\n\x02"
       "0021.00\r\x03\r\n\x03"},
      {"noise:text=\\x15ab",
       "\x15"
       "ab$SP\r\x02"
       "0021.00\r\x03\r\n\x03"},
      {"drop:at=4", "$SP\r0021.00\r\x03\r\n\x03"},
      {"drop:at=12:n=2",
       "$SP\r\x02"
       "0021.00\r\n\x03"},  // the block's CR and ETX
      {"error:code=13",
       "$SP\r\x02"
       "00ERROR 13\r\x03\r\n\x03"},
      {"silence", ""},
      {"drop@2", kClean},  // not its transaction
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.faults);
    EXPECT_EQ(run(tc.faults).wire(), tc.wire);
  }
}

TEST_F(TransactTest, RandomDropAndCorruptChangeWhatTheySay) {
  const std::string clean = kClean;
  const auto dropped = run("drop:n=3").wire();
  EXPECT_EQ(dropped.size(), clean.size() - 3);
  const auto corrupted = run("corrupt:n=1").wire();
  ASSERT_EQ(corrupted.size(), clean.size());
  int changed = 0;
  for (std::size_t i = 0; i < clean.size(); ++i) changed += corrupted[i] != clean[i];
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(run("corrupt:at=5").wire()[5] != clean[5], true);
  // Same seed and transaction, same damage; another transaction, other damage somewhere.
  EXPECT_EQ(run("corrupt:n=2", "$SP", 9).wire(), run("corrupt:n=2", "$SP", 9).wire());
  bool varies = false;
  for (std::uint64_t n = 1; n < 20 && !varies; ++n) {
    varies = run("drop", "$SP", n).wire() != run("drop", "$SP", n + 1).wire();
  }
  EXPECT_TRUE(varies);
}

TEST_F(TransactTest, LongAnswerHasTheLengthAndNoEarlyEtx) {
  const auto wire = run("long").wire();
  const auto etx = wire.find('\x03');
  EXPECT_GE(etx, 119u);
  EXPECT_EQ(wire.substr(0, 9),
            "$SP\r\x02"
            "0021");
  const auto wire99 = run("long:n=99").wire();
  EXPECT_EQ(wire99.find('\x03'), 98u);  // the block's ETX is the 99th byte
}

TEST_F(TransactTest, DelaysGoBeforeTheirSection) {
  auto tx = run("delay:ms=200");
  EXPECT_EQ(tx.bytes.front().delay_ms, 200.0);
  tx = run("delay:ms=150:before=trailer");
  const std::size_t trailer_start = std::string(kClean).size() - 3;
  for (std::size_t i = 0; i < tx.bytes.size(); ++i) {
    EXPECT_EQ(tx.bytes[i].delay_ms, i == trailer_start ? 150.0 : 0.0) << i;
  }
  tx = run("gap:ms=5");
  EXPECT_EQ(tx.bytes[0].delay_ms, 0.0);
  EXPECT_EQ(tx.bytes[1].delay_ms, 5.0);
  EXPECT_EQ(tx.bytes.back().delay_ms, 5.0);
}

TEST_F(TransactTest, SilenceAndErrorLeaveTheGateAlone) {
  for (const char* faults : {"silence", "error"}) {
    SCOPED_TRACE(faults);
    const auto tx = run(faults, "$SP=5");
    EXPECT_FALSE(tx.carried_out);
    EXPECT_EQ(controller.handle("$SP", 0).payload, "21.00");
  }
  const auto tx = run("hangup:ms=300:after=4", "$SP=5");
  EXPECT_TRUE(tx.carried_out);
  EXPECT_EQ(tx.hangup_ms, 300u);
  EXPECT_EQ(tx.hangup_after, 4u);
  EXPECT_EQ(controller.handle("$SP", 0).payload, "5.00");
}

TEST_F(TransactTest, ReportsWhatFired) {
  const auto tx = run("notrailer,drop@2,delay:ms=1");
  EXPECT_EQ(tx.injected, (std::vector<FaultKind>{FaultKind::NoTrailer, FaultKind::Delay}));
  EXPECT_EQ(tx.notes, "notrailer,delay:ms=1");
}

}  // namespace
}  // namespace prv2sim
