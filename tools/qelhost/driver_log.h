// The driver's log lines as qelhost shows them: the log library's sink receives each message
// with its level, and qelhost writes it with the time of day:
//   14:03:07.125 [32] QELPRV: Landis&Stafea Driver loaded successfully.
// to standard error (level 8 left out with -q) and, with --log FILE, appends every line to the
// file. A live table at the bottom of the terminal is cleared and drawn again around each line,
// so the log scrolls above it.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "tools/qelhost/module.h"

namespace qelhost {

// Something drawn at the bottom of the terminal that log lines must not overwrite.
class LiveArea {
 public:
  virtual ~LiveArea() = default;
  virtual void Erase() = 0;
  virtual void Redraw() = 0;
};

class DriverLog {
 public:
  static DriverLog& Get();

  // Opens the log file for appending (empty: none). False with a message when it cannot.
  bool Open(bool quiet, const std::string& file, std::string* error);
  // Installs qelhost's sink in the log library. False when the library has no sink; its lines
  // then reach standard error in the library's own form.
  bool Install(SaptorSetSinkFn set_sink);
  // Gives the log library its own output back and closes the file.
  void Close();

  // Writes one message of the driver.
  void Write(int level, const char* message);
  // A note of qelhost's own on standard error, kept clear of the live table.
  void Note(const std::string& text);

  void SetLiveArea(LiveArea* area);
  bool stderr_is_terminal() const { return stderr_terminal_; }
  unsigned long lines() const { return lines_; }

 private:
  void PrintAboveLiveArea(const std::string& line);

  std::mutex mutex_;
  bool quiet_ = false;
  std::FILE* file_ = nullptr;
  SaptorSetSinkFn set_sink_ = nullptr;
  LiveArea* live_ = nullptr;
  bool stderr_terminal_ = false;
  unsigned long lines_ = 0;
};

}  // namespace qelhost
