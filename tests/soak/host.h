// A small host for the soak, thread and hang-up suites: it loads the built module with dlopen,
// takes its log lines through the stand-in log library's sink, and drives lines only through
// QelMain with the host records, as a real host does.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host/records.h"

namespace qel::soak {

// The built module and its log library, loaded once per process.
class Module {
 public:
  static Module& Get() {
    static Module module;
    return module;
  }

  int Call(DriverRequest* request) const { return main_(request); }

  // Log lines since the last Take(), from every thread.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(lines_);
    return out;
  }
  uint64_t LineCount() const { return count_.load(); }
  // Keeps no lines, only counts them (long runs).
  void KeepLines(bool keep) { keep_ = keep; }

 private:
  using SetSinkFn = void (*)(void (*)(void*, int, const char*), void*);

  Module() {
    handle_ = dlopen(QEL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) Die(dlerror());
    main_ = reinterpret_cast<QelMainFn>(dlsym(handle_, "QelMain"));
    void* log = dlopen(QEL_SAPTOR_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (main_ == nullptr || log == nullptr) Die("QelMain or the log library is missing");
    auto set_sink = reinterpret_cast<SetSinkFn>(dlsym(log, "SaptorSetSink"));
    if (set_sink == nullptr) Die("SaptorSetSink is missing");
    set_sink(&Module::Sink, this);
  }
  static void Die(const char* what) {
    std::fprintf(stderr, "cannot load the module: %s\n", what);
    std::exit(2);
  }
  static void Sink(void* context, int, const char* message) {
    auto* self = static_cast<Module*>(context);
    self->count_.fetch_add(1);
    if (!self->keep_) return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(message);
  }

  void* handle_ = nullptr;
  QelMainFn main_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::atomic<uint64_t> count_{0};
  std::atomic<bool> keep_{true};
};

// One line as a host keeps it: its work area and the records it passes.
class Line {
 public:
  explicit Line(int number = 1) : number_(number) {}

  int Start(const std::string& port, int32_t reply_timeout = 100) {
    LineSetup setup{};
    CopyName(setup.port_name, port);
    setup.in_use = 1;
    setup.reply_timeout = reply_timeout;
    setup.params = LineParameters{9600, 8, 0, 0};
    return Call(kCmdLineStart, &setup);
  }
  // A new port name and reply timeout (ticks; no lower bound here).
  int Update(const std::string& port, int32_t reply_timeout) {
    PortUpdateRecord update{};
    CopyName(update.port_name, port);
    update.reply_timeout = reply_timeout;
    update.params = LineParameters{9600, 8, 0, 0};
    return Call(kCmdPortUpdate, &update);
  }
  int Close() { return Call(kCmdPortClose, nullptr); }
  int Open() { return Call(kCmdPortOpen, nullptr); }
  int Flush() { return Call(kCmdLineFlush, nullptr); }

  int ReadFloat(const char* name, float* value) {
    return Transfer(kCmdSingleRead, name, kTypeFloat, value);
  }
  int ReadWord(const char* name, uint16_t* value) {
    uint8_t area[4] = {0xA5, 0x5A, 0, 0};
    std::memcpy(area + 2, value, 2);
    const int rc = Transfer(kCmdSingleRead, name, kTypeWord, area);
    std::memcpy(value, area + 2, 2);
    return rc;
  }
  int WriteFloat(const char* name, float value) {
    return Transfer(kCmdSingleWrite, name, kTypeFloat, &value);
  }
  int WriteWord(const char* name, uint16_t value) {
    uint8_t area[4] = {0, 0, 0, 0};
    std::memcpy(area + 2, &value, 2);
    return Transfer(kCmdSingleWrite, name, kTypeWord, area);
  }

  int Transfer(int32_t command, const char* name, int32_t type, void* value) {
    GateTransfer gate{};
    gate.name = name;
    gate.type = type;
    gate.value = value;
    return Call(command, &gate);
  }

  const LineWorkArea& work() const { return work_; }

 private:
  static void CopyName(char (&field)[kPortNameSize], const std::string& port) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, port.data(), port.size() < sizeof field ? port.size() : sizeof field);
  }
  int Call(int32_t command, void* arg) {
    DriverRequest request{&work_, command, number_, 0, arg};
    return Module::Get().Call(&request);
  }

  int number_;
  LineWorkArea work_{};
};

// Open file descriptors of this process.
inline int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    --n;  // the directory's own descriptor
  }
  return n;
}

// A link name of at most 11 characters that nothing uses yet, for the simulator's link.
inline std::string FreeLinkName(const char* prefix) {
  for (int i = 0; i < 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "/tmp/%s%03d", prefix,
                  (static_cast<int>(getpid()) + i) % 1000);
    if (access(name, F_OK) != 0 && std::strlen(name) <= 11) return name;
  }
  std::fprintf(stderr, "no free link name\n");
  std::exit(2);
}

// A slave path as a port name of at most 11 characters: "pts/N" is taken under /dev/.
inline std::string PortName(const std::string& path) {
  return path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
}

}  // namespace qel::soak
