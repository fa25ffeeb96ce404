// The prv2sim command, run as a child process the way CTest suites and users run it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "port.h"
#include "prv2sim/fixture.h"
#include "prv2sim/gatefile.h"

namespace prv2sim {
namespace {

using namespace std::chrono_literals;
using test_support::Port;

// Runs prv2sim to its end and returns its standard output and exit status.
std::pair<std::string, int> run_to_end(const std::string& args) {
  const std::string cmd = ChildSimulator::default_executable() + " " + args + " 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(CommandTest, PrintsThePathFirstAndStopsCleanlyOnSigterm) {
  char dir_template[] = "/tmp/prv2simXXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string link = std::string(dir_template) + "/c";
  ChildSimulator sim({"--pty", "--link", link, "--trace", "--decimals", "1"});
  EXPECT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();
  {
    Port port(link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask("$SP\r"),
              "$SP\r\x02"
              "0021.0\r\x03\r\n\x03");
  }
  EXPECT_EQ(sim.stop(), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);  // link removed
  rmdir(dir_template);
}

TEST(CommandTest, PrintsEachNewPathAfterAHangup) {
  ChildSimulator sim({"--fault", "hangup:ms=200@1"});
  {
    Port port(sim.path());
    port.ask("@FAN\r", 2, 2s);
    EXPECT_TRUE(port.hung_up());
  }
  const auto next = sim.read_line(5s);
  ASSERT_TRUE(next.has_value());
  Port port(*next);
  EXPECT_EQ(port.ask("@FAN\r"),
            "@FAN\r\x02"
            "001\r\x03\r\n\x03");
}

TEST(CommandTest, ServesAGateFileWithItsControllerSettings) {
  char path[] = "/tmp/prv2simgatesXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << R"({"controller": {"header": "A1", "trailer": "END"},
                            "gates": [{"name": "$T", "value": 3.25}]})";
  ChildSimulator sim({"--gates", path, "--write-trailer"});
  Port port(sim.path());
  EXPECT_EQ(port.ask("$T\r"),
            "$T\r\x02"
            "A13.25\r\x03"
            "END\x03");
  EXPECT_EQ(port.ask("$T=1\r"),
            "$T=1\r\x02"
            "A11.00\r\x03"
            "END\x03");
  EXPECT_EQ(port.ask("$SP\r"),
            "$SP\r\x02"
            "A1ERROR 13\r\x03"
            "END\x03");
  unlink(path);
}

TEST(CommandTest, HelpExplainsEveryOptionAndTheFaultList) {
  const auto [out, status] = run_to_end("--help");
  EXPECT_EQ(status, 0);
  for (const char* word : {"--pty",
                           "--link",
                           "--device",
                           "--gates",
                           "--dump-gates",
                           "--baud",
                           "--format",
                           "--fault",
                           "--seed",
                           "--trace",
                           "--hex",
                           "--header",
                           "--decimals",
                           "--no-echo",
                           "--trailer",
                           "--no-read-trailer",
                           "--write-trailer",
                           "--case-sensitive",
                           "silence",
                           "drop",
                           "corrupt",
                           "delay",
                           "gap",
                           "echo",
                           "notrailer",
                           "noise",
                           "long",
                           "error",
                           "hangup",
                           "Examples"}) {
    EXPECT_NE(out.find(word), std::string::npos) << word;
  }
}

TEST(CommandTest, DumpedGatesAreAGateFile) {
  const auto [out, status] = run_to_end("--dump-gates --header 7F");
  EXPECT_EQ(status, 0);
  const GateFile f = parse_gate_file(out);
  EXPECT_EQ(f.controller.header, "7F");
  EXPECT_EQ(f.gates.size(), default_gates().size());
}

TEST(CommandTest, RefusesBadArguments) {
  for (const char* args :
       {"--fault bogus", "--format 9X1", "--header ABC", "--decimals 12",
        "--gates /nonexistent.json", "--baud 1234 --device /dev/null", "--trailer '\\q'"}) {
    EXPECT_NE(run_to_end(args).second, 0) << args;
  }
}

}  // namespace
}  // namespace prv2sim
