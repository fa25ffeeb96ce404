// Runs the built qelhost as a child process, as a user does, and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qelhost_test {

struct HostRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;  // standard output (in a terminal: everything the terminal showed)
  std::string err;  // standard error
};

// qelhost with these arguments; stdout and stderr on pipes. Killed after the timeout.
HostRun RunHost(const std::vector<std::string>& args, const std::string& cwd = {},
                std::chrono::seconds timeout = std::chrono::seconds(60));
// The same with a pseudo-terminal as its standard output and standard error.
HostRun RunHostInTerminal(const std::vector<std::string>& args,
                          std::chrono::seconds timeout = std::chrono::seconds(60));

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace qelhost_test
