#include "tests/e2e/module_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>

namespace qel::e2e {

namespace {

std::mutex g_log_mutex;
std::vector<LogLine> g_log;

void CaptureLine(void*, int level, const char* message) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log.push_back({level, message});
}

using SinkFn = void (*)(void*, int, const char*);
using SetSinkFn = void (*)(SinkFn, void*);

// The port name field holds at most 11 characters and the NUL.
bool CopyPortName(const std::string& port, char (&field)[kPortNameSize]) {
  std::memset(field, 0, kPortNameSize);
  if (port.size() >= kPortNameSize) {
    ADD_FAILURE() << "port name longer than 11 characters: " << port;
    return false;
  }
  std::memcpy(field, port.data(), port.size());
  return true;
}

constexpr LineParameters k9600_8N1{9600, 8, 0, 0};

}  // namespace

void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "[" << line.level << "] \"" << line.text << "\"";
}

LoadedModule* LoadedModule::Get() {
  static LoadedModule module;
  static const bool loaded = module.Load();
  if (!loaded) {
    ADD_FAILURE() << "the module " << QEL_MODULE_PATH << " could not be loaded";
    return nullptr;
  }
  return &module;
}

bool LoadedModule::Load() {
  void* handle = dlopen(QEL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << "dlopen: " << dlerror();
    return false;
  }
  qel_main_ = reinterpret_cast<QelMainFn>(dlsym(handle, "QelMain"));
  if (qel_main_ == nullptr) {
    ADD_FAILURE() << "QelMain is not exported";
    return false;
  }
  // The log library came in as the module's dependency; take that very copy.
  void* log = dlopen(QEL_SAPTOR_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (log == nullptr) {
    ADD_FAILURE() << "the log library was not loaded with the module";
    return false;
  }
  auto set_sink = reinterpret_cast<SetSinkFn>(dlsym(log, "SaptorSetSink"));
  if (set_sink == nullptr) {
    ADD_FAILURE() << "SaptorSetSink is missing";
    return false;
  }
  set_sink(CaptureLine, nullptr);
  return true;
}

std::vector<LogLine> LoadedModule::Log() const {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  return g_log;
}

void LoadedModule::ClearLog() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log.clear();
}

int HostLine::Call(int32_t command, void* arg) {
  DriverRequest request{&work, command, line_, 0, arg};
  return qel_main_(&request);
}

int HostLine::Start(const std::string& port, int32_t reply_ticks) {
  LineSetup setup{};
  if (!CopyPortName(port, setup.port_name)) return -1;
  setup.in_use = 1;
  setup.reply_timeout = reply_ticks;
  setup.params = k9600_8N1;
  return Call(kCmdLineStart, &setup);
}

int HostLine::Define(const char* name, int32_t type, GateDefinition* definition) {
  GateDefinition local{};
  GateDefinition* d = definition != nullptr ? definition : &local;
  d->name = name;
  d->type = type;
  return Call(kCmdGateDefine, d);
}

int HostLine::Read(const char* name, int32_t type, ValueArea* value) {
  GateTransfer gate{};
  gate.name = name;
  gate.type = type;
  gate.value = value->bytes;
  return Call(kCmdSingleRead, &gate);
}

int HostLine::Write(const char* name, int32_t type, ValueArea value) {
  GateTransfer gate{};
  gate.name = name;
  gate.type = type;
  gate.value = value.bytes;
  return Call(kCmdSingleWrite, &gate);
}

int HostLine::Update(const std::string& port, int32_t reply_ticks) {
  PortUpdateRecord update{};
  if (!CopyPortName(port, update.port_name)) return -1;
  update.reply_timeout = reply_ticks;
  update.params = k9600_8N1;
  return Call(kCmdPortUpdate, &update);
}

}  // namespace qel::e2e
