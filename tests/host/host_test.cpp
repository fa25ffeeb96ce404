// qelhost as a user runs it: the built program, loading the built module, against the simulator
// on a pseudo-terminal (served by this test, whose view of the gates is the truth), or with
// --sim inside qelhost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "prv2sim/fixture.h"
#include "tests/host/host_run.h"

namespace {

using qelhost_test::HostRun;
using qelhost_test::Lines;
using qelhost_test::RunHost;
using qelhost_test::RunHostInTerminal;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// A short link for the simulator's pty: port names have at most 11 characters.
std::string LinkName() {
  static unsigned counter = 0;
  char name[32];
  std::snprintf(name, sizeof name, "/tmp/qt%04u",
                (static_cast<unsigned>(getpid()) * 10u + counter++) % 10000u);
  return name;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prv2sim::EngineOptions options;
    options.link = LinkName();
    sim_ = std::make_unique<prv2sim::InProcessSimulator>(options);
    port_ = options.link;
  }

  // The "RX" lines of the trace: what the controller received.
  std::vector<std::string> Received() const {
    std::vector<std::string> rx;
    for (const std::string& line : sim_->trace_lines()) {
      if (line.find(" RX #") != std::string::npos) rx.push_back(line);
    }
    return rx;
  }

  std::unique_ptr<prv2sim::InProcessSimulator> sim_;
  std::string port_;
};

// A log line as qelhost shows it: time of day, level, the driver's text.
const std::regex kLogLine(R"(^\d\d:\d\d:\d\d\.\d\d\d \[(8|32)\] .+$)");

std::vector<std::string> LogLines(const std::string& err) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(err)) {
    if (std::regex_match(line, kLogLine)) lines.push_back(line);
  }
  return lines;
}

TEST(HostInfo, ShowsTheDescriptionAndTheBannerInBoxDrawingCharacters) {
  const HostRun run = RunHost({"info"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, AllOf(HasSubstr("code              70"),
                             HasSubstr("short name        PRV - Landis & Staefa PRV2"),
                             HasSubstr("work area         80 bytes"),
                             HasSubstr("9600 baud, 8 data bits, parity none, 1 stop bit")));
  // Six banner lines of 62 characters, framed in box-drawing characters.
  std::vector<std::string> banner;
  for (const std::string& line : Lines(run.out)) {
    if (line.rfind("\u250C", 0) == 0 || line.rfind("\u2502", 0) == 0 ||
        line.rfind("\u2514", 0) == 0) {
      banner.push_back(line);
    }
  }
  ASSERT_EQ(banner.size(), 6u) << run.out;
  std::string top = "\u250C";
  for (int i = 0; i < 60; ++i) top += "\u2500";
  EXPECT_EQ(banner[0], top + "\u2510");
  EXPECT_THAT(banner[1], HasSubstr("\u2588\u2588\u2588\u2588\u2588\u2593"));
  EXPECT_THAT(banner[1], HasSubstr("\u2591 Q E L P R V \u2591"));
  EXPECT_THAT(banner[4], HasSubstr(" - Version 7.03"));
  for (const std::string& line : banner) {
    std::size_t characters = 0;
    for (const char ch : line) characters += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    EXPECT_EQ(characters, 62u) << line;
  }
  // No line was started: the driver said nothing.
  EXPECT_TRUE(LogLines(run.err).empty()) << run.err;
}

TEST_F(HostTest, ReadShowsTheControllersValuesAndTheDriversLogLines) {
  const HostRun run = RunHost({"read", "--port", port_, "$SP", "@VLV"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("$SP = 21 (float, ok)"));
  EXPECT_THAT(run.out, HasSubstr("@VLV = 35 (word, ok)"));
  EXPECT_EQ(sim_->gate("$SP")->reads, 1u);
  EXPECT_EQ(sim_->gate("@VLV")->reads, 1u);
  const std::vector<std::string> log = LogLines(run.err);
  ASSERT_FALSE(log.empty()) << run.err;
  EXPECT_THAT(log[0], HasSubstr("[32] QELPRV> version compiled on "));
  EXPECT_THAT(run.err, HasSubstr("[32] QELPRV: Landis&Stafea Driver loaded successfully."));
}

TEST_F(HostTest, WriteSendsTheValueByTheTypeOfTheName) {
  const HostRun run = RunHost({"write", "--port", port_, "$SP=22.5", "@VLV=70"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("$SP = 22.5 (float): ok (0)"));
  EXPECT_THAT(run.out, HasSubstr("@VLV = 70 (word): ok (0)"));
  EXPECT_DOUBLE_EQ(sim_->gate("$SP")->value, 22.5);
  EXPECT_DOUBLE_EQ(sim_->gate("@VLV")->value, 70.0);
  const auto rx = Received();
  ASSERT_EQ(rx.size(), 2u);
  EXPECT_THAT(rx[0], HasSubstr("$SP=22.500000<CR>"));
  EXPECT_THAT(rx[1], HasSubstr("@VLV=70<CR>"));
}

TEST_F(HostTest, TypeOptionOverridesTheName) {
  const HostRun run = RunHost({"write", "--port", port_, "--type", "word", "$SP=3"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto rx = Received();
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_THAT(rx[0], HasSubstr("$SP=3<CR>"));
  // A value that is no word is refused before anything is started.
  EXPECT_EQ(RunHost({"write", "--port", port_, "--type", "6", "$SP=2.5"}).status, 3);
  EXPECT_EQ(Received().size(), 1u);
}

TEST_F(HostTest, DefineShowsTheResultAndTheFields) {
  const HostRun run =
      RunHost({"define", "--port", port_, "--value", "7", "$temp1", "@flag", "temp1", "$x"});
  EXPECT_EQ(run.status, 1) << run.err;  // one refused
  EXPECT_THAT(run.out, HasSubstr("$temp1: accepted (0), type 3 (float)\n"
                                 "  value 7, copy 7, max 255, bits 32, zero fields 0 0\n"
                                 "  work area name \"$TEMP1\""));
  EXPECT_THAT(run.out, HasSubstr("@flag: accepted (0), type 6 (word)\n"
                                 "  value 7, copy 7, max 255, bits 16"));
  EXPECT_THAT(run.out, HasSubstr("temp1: refused (1), type 3 (float)\n"
                                 "  value 7, copy 0, max 255, bits 16, zero fields 0 0\n"
                                 "  work area name \"TEMP1\""));
  // The definition check sends nothing on the line.
  EXPECT_TRUE(Received().empty());
  // Without a port the line starts unused and the check still answers.
  EXPECT_EQ(RunHost({"define", "$a"}).status, 0);
}

// Exit status: 0 carried out, 1 refused or rejected, 2 failed, 3 qelhost could not start.
TEST_F(HostTest, ExitStatusTellsTheWorstOutcome) {
  const std::string module_path = std::filesystem::path(QELHOST_PATH).parent_path() / "none.so";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* err;  // a part of standard error
  } cases[] = {
      {"read carried out", {"read", "--port", port_, "$SP"}, 0, ""},
      {"write of a read-only gate",
       {"write", "--port", port_, "$OAT=1"},
       1,
       "CheckResponseData() Error: Tag $OAT, ERROR 82"},
      {"read of a write-only gate", {"read", "--port", port_, "@RST"}, 1, "ERROR 82"},
      {"a gate the definition check refuses",
       {"read", "--port", port_, "SP"},
       1,
       "SP: refused by the driver's definition check (1)"},
      {"a port that does not open",
       {"read", "--port", "/tmp/qtnone", "$SP"},
       2,
       "QELPR : Fail to open /tmp/qtnone"},
      {"no port", {"read", "$SP"}, 3, "--port"},
      {"no gate", {"poll", "--port", port_}, 3, "GATE"},
      {"a port name of 12 characters",
       {"read", "--port", "/tmp/qt12345", "$SP"},
       3,
       "11 characters"},
      {"no module", {"info", "--module", module_path}, 3, "cannot load"},
      {"no such option", {"read", "--bogus"}, 3, ""},
      {"no value", {"write", "--port", port_, "$SP"}, 3, "GATE=VALUE"},
      {"help", {"--help"}, 0, ""},
  };
  for (const Case& c : cases) {
    const HostRun run = RunHost(c.args);
    EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.err)) << c.what;
  }
}

TEST_F(HostTest, ReadThatGetsNoUsableAnswerFails) {
  // Five overlong answers in a row: the read is given up.
  sim_->set_faults("long@1-5");
  const HostRun run = RunHost({"read", "--port", port_, "$SP"});
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_THAT(run.out, HasSubstr("$SP: failed (2)"));
  EXPECT_THAT(run.err, HasSubstr("[32] QELPRV: SingleRead() Tag $SP: Read failed. rc = 2 "));
}

TEST_F(HostTest, PollWritesPlainLinesWhenTheOutputIsNoTerminal) {
  const HostRun run =
      RunHost({"poll", "--port", port_, "--count", "3", "--interval", "100", "$SP", "@HRS"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 7u) << run.out;
  EXPECT_THAT(lines[0], AllOf(HasSubstr("CYCLE"), HasSubstr("LAST CHANGE"), HasSubstr("FAILURES")));
  const std::regex row(R"(^\d\d:\d\d:\d\d\.\d\d\d (\d) +(\S+) +(float|word) +ok +(\S+) +)"
                       R"(\d\d:\d\d:\d\d\.\d\d\d 0$)");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, row)) << lines[i];
    EXPECT_EQ(m[1], std::to_string((i + 1) / 2));
    EXPECT_EQ(m[2], i % 2 == 1 ? "$SP" : "@HRS");
  }
  EXPECT_THAT(lines[1], HasSubstr(" 21 "));
  EXPECT_THAT(run.err, HasSubstr("qelhost: 3 cycles, 6 reads, 0 not carried out"));
  EXPECT_EQ(sim_->gate("$SP")->reads, 3u);
}

TEST_F(HostTest, PollCsvCountsFailuresAndKeepsTheLastValue) {
  // The second read of $SP (transactions 3 to 7) gets only overlong answers.
  sim_->set_faults("long@3-7");
  const HostRun run =
      RunHost({"poll", "--port", port_, "--count", "3", "--interval", "0", "--csv", "$SP", "@VLV"});
  EXPECT_EQ(run.status, 2) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 7u) << run.out;
  EXPECT_EQ(lines[0], "time,cycle,gate,type,result,rc,value,last_change,failures");
  const std::regex row(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z),(\d),([^,]+),(float|word),)"
                       R"((ok|failed),(\d),([^,]*),([^,]*),(\d+)$)");
  std::vector<std::smatch> rows(7);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    ASSERT_TRUE(std::regex_match(lines[i], rows[i], row)) << lines[i];
  }
  EXPECT_EQ(rows[1][3], "$SP");
  EXPECT_EQ(rows[1][7], "21");
  EXPECT_EQ(rows[3][3], "$SP");  // cycle 2: failed, the value held from cycle 1
  EXPECT_EQ(rows[3][5], "failed");
  EXPECT_EQ(rows[3][6], "2");
  EXPECT_EQ(rows[3][7], "21");
  EXPECT_EQ(rows[3][8], rows[1][1]);  // last change: the first read
  EXPECT_EQ(rows[3][9], "1");
  EXPECT_EQ(rows[5][5], "ok");  // cycle 3: carried out again, the failure still counted
  EXPECT_EQ(rows[5][9], "1");
  EXPECT_EQ(rows[6][3], "@VLV");
  EXPECT_EQ(rows[6][7], "35");
  EXPECT_EQ(rows[6][9], "0");
}

TEST_F(HostTest, PollJsonGivesOneObjectPerRead) {
  const HostRun run = RunHost(
      {"poll", "--port", port_, "--count", "2", "--interval", "50", "--json", "$SP", "@FAN"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto j = nlohmann::json::parse(lines[i]);
    EXPECT_EQ(j["cycle"], i / 2 + 1);
    EXPECT_EQ(j["gate"], i % 2 == 0 ? "$SP" : "@FAN");
    EXPECT_EQ(j["type"], i % 2 == 0 ? "float" : "word");
    EXPECT_EQ(j["type_code"], i % 2 == 0 ? 3 : 6);
    EXPECT_EQ(j["result"], "ok");
    EXPECT_EQ(j["rc"], 0);
    EXPECT_DOUBLE_EQ(j["value"].get<double>(), i % 2 == 0 ? 21.0 : 1.0);
    EXPECT_TRUE(j["time"].is_string());
    EXPECT_TRUE(j["last_change"].is_string());
    EXPECT_EQ(j["failures"], 0);
  }
  // Standard output carries the objects only; the log lines are on standard error.
  EXPECT_FALSE(LogLines(run.err).empty());
}

TEST_F(HostTest, PollRedrawsATableInATerminal) {
  const HostRun run = RunHostInTerminal(
      {"poll", "--port", port_, "--count", "2", "--interval", "100", "$SP", "@HRS"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.out, HasSubstr("qelhost poll: line 1 on " + port_ + ", cycle 2 of 2"));
  EXPECT_THAT(run.out, AllOf(HasSubstr("GATE"), HasSubstr("VALUE"), HasSubstr("TYPE"),
                             HasSubstr("RESULT"), HasSubstr("LAST CHANGE"), HasSubstr("FAILURES")));
  // Drawn again in place: the cursor goes back up over the table and clears below it.
  EXPECT_THAT(run.out, HasSubstr("\x1b[4F\x1b[J"));
  // The log lines appear in the same terminal, above the table.
  EXPECT_THAT(run.out, HasSubstr("[32] QELPRV: Landis&Stafea Driver loaded successfully."));
  // Asked for plain lines, the terminal gets no escapes.
  const HostRun plain =
      RunHostInTerminal({"poll", "--plain", "--port", port_, "--count", "1", "$SP"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_THAT(plain.out, Not(HasSubstr("\x1b[")));
}

TEST_F(HostTest, QuietHidesLevel8AndTheLogFileKeepsEveryLine) {
  const std::string file = ::testing::TempDir() + "qelhost_log_" + std::to_string(getpid());
  std::filesystem::remove(file);
  sim_->set_faults("echo@1");  // a wrong echo: the driver warns at level 8
  const HostRun loud = RunHost({"read", "--port", port_, "$SP"});
  EXPECT_EQ(loud.status, 0);
  EXPECT_THAT(loud.err, HasSubstr("[8] QELPRV: CheckResponseData() The response"));

  sim_->set_faults("echo@1");
  const HostRun quiet = RunHost({"read", "--port", port_, "-q", "--log", file, "$SP"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_THAT(quiet.err, Not(HasSubstr("[8]")));
  EXPECT_THAT(quiet.err, HasSubstr("[32] QELPRV: Landis&Stafea Driver loaded successfully."));
  std::ifstream in(file);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_THAT(kept.str(), HasSubstr("[8] QELPRV: CheckResponseData() The response"));
  EXPECT_THAT(kept.str(), HasSubstr("[32] QELPRV> version compiled on "));
  for (const std::string& line : Lines(kept.str())) EXPECT_TRUE(std::regex_match(line, kLogLine));
  // Appended, not replaced.
  EXPECT_EQ(RunHost({"define", "--log", file, "$a"}).status, 0);
  std::ifstream again(file);
  std::stringstream both;
  both << again.rdbuf();
  EXPECT_GT(Lines(both.str()).size(), Lines(kept.str()).size());
  EXPECT_THAT(both.str(), HasSubstr("[8] QELPRV: CheckResponseData() The response"));
  std::filesystem::remove(file);
}

TEST(HostLine, WorkdirAndLineNumberChooseTheSettingsFile) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / ("qelhost_wd_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "QELPRV03.INT") << "MSG_TRAILER_TIMEOUT = 250\n";
  const HostRun run = RunHost({"define", "--workdir", dir.string(), "--line", "3", "$a"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("[32] QelPRV: MSG_TRAILER_TIMEOUT = 250"));
  // Line 1 has no file there.
  const HostRun other = RunHost({"define", "--workdir", dir.string(), "$a"});
  EXPECT_THAT(other.err, HasSubstr("[32] QelPRV : Init File QELPRV.INT not found !"));
  std::filesystem::remove_all(dir);
}

// What qelhost hands the module, seen by a module that records each request.
class HostRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = ::testing::TempDir() + "qelhost_records_" + std::to_string(getpid());
    std::filesystem::remove(file_);
    ::setenv("QEL_RECORD", file_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("QEL_RECORD");
    std::filesystem::remove(file_);
  }
  std::vector<std::string> Records() const {
    std::ifstream in(file_);
    std::stringstream text;
    text << in.rdbuf();
    return Lines(text.str());
  }
  std::string file_;
};

TEST_F(HostRecords, LineOptionsGoIntoTheLineSetupOfAZeroedWorkArea) {
  const HostRun run = RunHost({"define", "--module", QEL_RECORDING_MODULE, "--port", "ttyS1",
                               "--baud", "4800", "--data-bits", "7", "--parity", "space",
                               "--stop-bits", "1.5", "--timeout", "250", "--line", "4", "$a"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(Records(),
              ::testing::ElementsAre(
                  "start line=4 work=zeroed port=ttyS1 in_use=1 timeout=250 baud=4800 data=7 "
                  "stop=1 parity=4",
                  "define line=4 name=$a type=3 value=0", "stop line=4 handle=7"));
  struct Case {
    std::vector<std::string> args;
    const char* start;
  } cases[] = {
      {{"--parity", "odd", "--stop-bits", "2"}, "baud=9600 data=8 stop=2 parity=1"},
      {{"--parity", "EVEN"}, "baud=9600 data=8 stop=0 parity=2"},
      {{"--parity", "mark"}, "baud=9600 data=8 stop=0 parity=3"},
      {{}, "timeout=100 baud=9600 data=8 stop=0 parity=0"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(file_);
    std::vector<std::string> args = {"define", "--module", QEL_RECORDING_MODULE, "--port", "X"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("$a");
    ASSERT_EQ(RunHost(args).status, 0);
    ASSERT_FALSE(Records().empty());
    EXPECT_THAT(Records()[0], HasSubstr(c.start));
  }
  // Without a port the line starts unused.
  std::filesystem::remove(file_);
  ASSERT_EQ(RunHost({"define", "--module", QEL_RECORDING_MODULE, "$a"}).status, 0);
  EXPECT_THAT(Records()[0], HasSubstr("port= in_use=0"));
}

TEST_F(HostRecords, EachGateIsDefinedFirstAndKeepsItsValueArea) {
  const HostRun poll = RunHost({"poll", "--module", QEL_RECORDING_MODULE, "--port", "X", "--count",
                                "2", "--interval", "0", "$f", "@w"});
  ASSERT_EQ(poll.status, 0) << poll.err;
  EXPECT_THAT(Records(), ::testing::ElementsAre(
                             HasSubstr("start line=1"), "define line=1 name=$f type=3 value=0",
                             "define line=1 name=@w type=6 value=0",
                             "read line=1 handle=7 name=$f type=3 bytes=00000000 float=0",
                             "read line=1 handle=7 name=@w type=6 bytes=00000000 float=0",
                             "read line=1 handle=7 name=$f type=3 bytes=0000c03f float=1.5",
                             HasSubstr("read line=1 handle=7 name=@w type=6 bytes=00003412"),
                             "stop line=1 handle=7"));
  EXPECT_THAT(poll.out, HasSubstr(" @w "));
  EXPECT_THAT(poll.out, HasSubstr(" 4660 "));

  std::filesystem::remove(file_);
  const HostRun write =
      RunHost({"write", "--module", QEL_RECORDING_MODULE, "--port", "X", "$f=-2.5", "@w=65535"});
  ASSERT_EQ(write.status, 0) << write.err;
  auto records = Records();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_THAT(records[1], HasSubstr("define line=1 name=$f type=3"));
  EXPECT_THAT(records[2], HasSubstr("write line=1 handle=7 name=$f type=3 bytes=000020c0"));
  EXPECT_THAT(records[3], HasSubstr("define line=1 name=@w type=6"));
  EXPECT_THAT(records[4], HasSubstr("write line=1 handle=7 name=@w type=6 bytes=0000ffff"));

  std::filesystem::remove(file_);
  ASSERT_EQ(
      RunHost({"write", "--module", QEL_RECORDING_MODULE, "--port", "X", "--type", "word", "$f=7"})
          .status,
      0);
  records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_THAT(records[1], HasSubstr("define line=1 name=$f type=6"));
  EXPECT_THAT(records[2], HasSubstr("write line=1 handle=7 name=$f type=6 bytes=00000700"));
}

TEST(HostLine, LineOptionsReachThePort) {
  // A pty of the test's own: the settings that the driver gives the port stay on it.
  int master = -1;
  int slave = -1;
  char name[64] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  const std::string port = std::string(name).substr(5);  // "pts/N", under /dev
  const HostRun run =
      RunHost({"define", "--port", port, "--baud", "4800", "--stop-bits", "2", "$a"});
  EXPECT_EQ(run.status, 0) << run.err;
  // A pty keeps 8 data bits and no parity whatever it is given; speed and stop bits stay.
  termios t{};
  ASSERT_EQ(tcgetattr(master, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  ::close(master);
}

// --sim: the simulator inside qelhost.
TEST(HostSim, PollsEveryReadableGateOfTheSimulator) {
  const HostRun run = RunHost({"poll", "--sim", "--count", "2", "--interval", "0", "--csv"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 13u) << run.out;  // header, 6 gates twice (@RST is write-only)
  for (const char* gate : {"$OAT", "$SAT", "$SP", "@FAN", "@VLV", "@HRS"}) {
    EXPECT_THAT(run.out, HasSubstr(std::string(",") + gate + ","));
  }
  EXPECT_THAT(run.out, Not(HasSubstr("@RST")));
  EXPECT_THAT(run.err, HasSubstr("qelhost: simulator on /dev/pts/"));
  EXPECT_THAT(run.err, HasSubstr("[32] QELPRV: Landis&Stafea Driver loaded successfully."));
  // Without a subcommand qelhost polls.
  const HostRun main_job = RunHost({"--sim", "--count", "1", "--json"});
  EXPECT_EQ(main_job.status, 0) << main_job.err;
  EXPECT_EQ(Lines(main_job.out).size(), 6u) << main_job.out;
}

TEST(HostSim, GatesFaultsAndPacing) {
  const std::filesystem::path file = std::filesystem::path(::testing::TempDir()) /
                                     ("qelhost_gates_" + std::to_string(getpid()) + ".json");
  std::ofstream(file) << R"({"gates": [{"name": "$T1", "value": 5.25},
                                       {"name": "@W1", "type": "word", "value": 9}]})";
  const HostRun custom =
      RunHost({"read", "--sim", "--sim-gates", file.string(), "--sim-baud", "9600"});
  EXPECT_EQ(custom.status, 0) << custom.err;
  EXPECT_THAT(custom.out, HasSubstr("$T1 = 5.25 (float, ok)"));
  EXPECT_THAT(custom.out, HasSubstr("@W1 = 9 (word, ok)"));
  std::filesystem::remove(file);

  // A controller error: the driver reports it and the read ends refused.
  const HostRun fault = RunHost({"read", "--sim", "--sim-fault", "error:code=86@1", "$SP"});
  EXPECT_EQ(fault.status, 1) << fault.err;
  EXPECT_THAT(fault.err, HasSubstr("CheckResponseData() Error: Tag $SP, ERROR 86"));

  // The simulator's refusals stop qelhost before the line starts.
  EXPECT_EQ(RunHost({"read", "--sim", "--sim-fault", "nonsense@1", "$SP"}).status, 3);
  EXPECT_EQ(RunHost({"read", "--sim-fault", "silence@1", "$SP"}).status, 3);  // needs --sim
  EXPECT_EQ(RunHost({"read", "--sim", "--port", "ttyS0", "$SP"}).status, 3);
}

}  // namespace
