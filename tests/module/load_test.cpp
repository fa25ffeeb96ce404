// Loads the built module into a process that does not define err itself, makes the driver log,
// and checks that the process survived and the line arrived at the stand-in log library.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host/records.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Captured {
  int level;
  std::string text;
};
std::vector<Captured> g_lines;

void Sink(void*, int level, const char* message) { g_lines.push_back({level, message}); }

using SetSinkFn = void (*)(void (*)(void*, int, const char*), void*);

int Fail(const char* what) {
  std::fprintf(stderr, "FAIL: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Fail("usage: load_test MODULE LOGLIBRARY");
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) return Fail("the module does not load");
  auto qel_main = reinterpret_cast<QelMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "QelMain")));
  HMODULE log = GetModuleHandleA(argv[2]);
  if (log == nullptr) return Fail("the log library is not loaded with the module");
  auto set_sink = reinterpret_cast<SetSinkFn>(reinterpret_cast<void*>(GetProcAddress(log, "SaptorSetSink")));
#else
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return Fail(dlerror());
  auto qel_main = reinterpret_cast<QelMainFn>(dlsym(module, "QelMain"));
  void* log = dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD);
  if (log == nullptr) return Fail("the log library is not loaded with the module");
  auto set_sink = reinterpret_cast<SetSinkFn>(dlsym(log, "SaptorSetSink"));
#endif
  if (qel_main == nullptr) return Fail("QelMain is not exported");
  if (set_sink == nullptr) return Fail("SaptorSetSink is missing from the stand-in");
  set_sink(Sink, nullptr);

  // A refused block read logs one line at level 32.
  const char* name = "$TEMP1";
  qel::GateTransfer gate{};
  gate.name = name;
  qel::LineWorkArea work{};
  qel::DriverRequest request{&work, qel::kCmdBlockRead, 1, 0, &gate};
  const int rc = qel_main(&request);
  set_sink(nullptr, nullptr);

  if (rc != 1) return Fail("BlockRead did not answer 1");
  if (g_lines.size() != 1) return Fail("expected exactly one log line");
  if (g_lines[0].level != 32) return Fail("wrong level");
  if (g_lines[0].text != "QELPR: BlockRead() not supported! Tag '$TEMP1'") return Fail("wrong text");
  std::printf("module loaded, QelMain answered %d, log line arrived: %s\n", rc,
              g_lines[0].text.c_str());
  return 0;
}
