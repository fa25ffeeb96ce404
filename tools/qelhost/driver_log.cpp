#include "tools/qelhost/driver_log.h"

#include "tools/qelhost/clock.h"
#include "tools/qelhost/terminal.h"

namespace qelhost {

namespace {

// One message on one line: control characters (the driver quotes reply texts, which hold CR,
// STX and ETX) are shown by name.
std::string Printable(const char* message) {
  static const char* const kNames[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                         "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                         "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                         "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  std::string out;
  for (const char* p = message; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 && byte != '\t') {
      out += std::string("<") + kNames[byte] + ">";
    } else if (byte == 0x7F) {
      out += "<DEL>";
    } else {
      out.push_back(*p);
    }
  }
  return out;
}

void Sink(void* context, int level, const char* message) {
  static_cast<DriverLog*>(context)->Write(level, message != nullptr ? message : "");
}

constexpr int kWarningLevel = 8;

}  // namespace

DriverLog& DriverLog::Get() {
  static DriverLog log;
  return log;
}

bool DriverLog::Open(bool quiet, const std::string& file, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  quiet_ = quiet;
  stderr_terminal_ = IsTerminal(stderr);
  if (!file.empty()) {
    file_ = std::fopen(file.c_str(), "a");
    if (file_ == nullptr) {
      *error = "cannot open the log file " + file;
      return false;
    }
  }
  return true;
}

bool DriverLog::Install(SaptorSetSinkFn set_sink) {
  set_sink_ = set_sink;
  if (set_sink_ == nullptr) return false;
  set_sink_(&Sink, this);
  return true;
}

void DriverLog::Close() {
  if (set_sink_ != nullptr) set_sink_(nullptr, nullptr);
  set_sink_ = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void DriverLog::Write(int level, const char* message) {
  const std::string line =
      TimeOfDay(WallClock::now()) + " [" + std::to_string(level) + "] " + Printable(message) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  ++lines_;
  if (file_ != nullptr) {
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
  }
  if (quiet_ && level == kWarningLevel) return;
  PrintAboveLiveArea(line);
}

void DriverLog::Note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrintAboveLiveArea("qelhost: " + text + "\n");
}

void DriverLog::SetLiveArea(LiveArea* area) {
  std::lock_guard<std::mutex> lock(mutex_);
  live_ = area;
}

void DriverLog::PrintAboveLiveArea(const std::string& line) {
  // Only a table on the same terminal needs to make room.
  LiveArea* live = stderr_terminal_ ? live_ : nullptr;
  if (live != nullptr) live->Erase();
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  if (live != nullptr) live->Redraw();
}

}  // namespace qelhost
