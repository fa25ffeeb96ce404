// A small Win32 host for the end-to-end run under Wine: it loads QELPRV.DLL with LoadLibrary,
// takes QelMain with GetProcAddress, catches the driver's log lines through SAPTOR.DLL's
// SaptorSetSink, and drives one line on a COM port behind which the native simulator plays the
// controller (its built-in plant):
//   win32_host COM7
// It starts the line, defines, reads and writes a float and a word gate and reads them back,
// then takes the controller's refusals (an unknown gate, a read-only gate), and stops the line.
// Exit status 0 when every check held; each failed check is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/host/records.h"

namespace {

struct LogLine {
  int level;
  std::string text;
};
std::vector<LogLine> g_log;

void Sink(void*, int level, const char* message) {
  g_log.push_back({level, message});
}
using SinkFn = void (*)(void*, int, const char*);
using SetSinkFn = void (*)(SinkFn, void*);

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

bool Logged(int level, const std::string& text) {
  for (const LogLine& l : g_log) {
    if (l.level == level && l.text == text) return true;
  }
  return false;
}

void PrintLog() {
  for (const LogLine& l : g_log) std::printf("    log [%d] %s\n", l.level, l.text.c_str());
}

QelMainFn g_qel_main = nullptr;
qel::LineWorkArea g_work{};

int Call(int32_t command, void* arg) {
  qel::DriverRequest request{&g_work, command, 1, 0, arg};
  return g_qel_main(&request);
}

int Read(const char* name, int32_t type, unsigned char (&value)[4]) {
  qel::GateTransfer gate{};
  gate.name = name;
  gate.type = type;
  gate.value = value;
  return Call(qel::kCmdSingleRead, &gate);
}

int Write(const char* name, int32_t type, unsigned char (&value)[4]) {
  qel::GateTransfer gate{};
  gate.name = name;
  gate.type = type;
  gate.value = value;
  return Call(qel::kCmdSingleWrite, &gate);
}

float AsFloat(const unsigned char (&v)[4]) {
  float f = 0;
  std::memcpy(&f, v, sizeof f);
  return f;
}
void SetFloat(unsigned char (&v)[4], float f) {
  std::memcpy(v, &f, sizeof f);
}
unsigned AsWord(const unsigned char (&v)[4]) {
  return v[2] | (v[3] << 8);
}
void SetWord(unsigned char (&v)[4], unsigned w) {
  v[0] = 0xA5;
  v[1] = 0x5A;
  v[2] = static_cast<unsigned char>(w & 0xFF);
  v[3] = static_cast<unsigned char>((w >> 8) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strlen(argv[1]) >= qel::kPortNameSize) {
    std::printf("usage: win32_host PORT   (a name of at most 11 characters, such as COM7)\n");
    return 2;
  }
  HMODULE module = LoadLibraryA("QELPRV.DLL");
  if (module == nullptr) {
    std::printf("FAIL QELPRV.DLL does not load (error %lu)\n", GetLastError());
    return 1;
  }
  g_qel_main =
      reinterpret_cast<QelMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "QelMain")));
  HMODULE log = GetModuleHandleA("SAPTOR.DLL");
  SetSinkFn set_sink = log == nullptr ? nullptr
                                      : reinterpret_cast<SetSinkFn>(reinterpret_cast<void*>(
                                            GetProcAddress(log, "SaptorSetSink")));
  if (g_qel_main == nullptr || set_sink == nullptr) {
    std::printf("FAIL QelMain or SAPTOR.DLL's SaptorSetSink is missing\n");
    return 1;
  }
  set_sink(Sink, nullptr);

  // Start the line.
  qel::LineSetup setup{};
  std::memcpy(setup.port_name, argv[1], std::strlen(argv[1]));
  setup.in_use = 1;
  setup.reply_timeout = 100;
  setup.params = {9600, 8, 0, 0};
  Check(Call(qel::kCmdLineStart, &setup) == qel::kOk, "LineStart answers 0");
  Check(g_work.port_handle != 0, "the port is open");
  Check(Logged(32, "QELPRV: Landis&Stafea Driver loaded successfully."), "the start-up line");
  if (g_work.port_handle == 0) {
    PrintLog();
    return 1;
  }

  qel::GateDefinition definition{};
  definition.name = "$SP";
  definition.type = qel::kTypeFloat;
  Check(Call(qel::kCmdGateDefine, &definition) == qel::kOk && definition.bits == 32,
        "GateDefine accepts $SP as a float");

  // Reads and writes, each read back.
  unsigned char value[4] = {};
  SetFloat(value, -1.0f);
  Check(Read("$SP", qel::kTypeFloat, value) == qel::kOk, "read $SP answers 0");
  Check(AsFloat(value) == 21.0f, "$SP reads 21.0");

  SetFloat(value, 22.5f);
  Check(Write("$SP", qel::kTypeFloat, value) == qel::kOk, "write $SP = 22.5 answers 0");
  SetFloat(value, 0.0f);
  Check(Read("$SP", qel::kTypeFloat, value) == qel::kOk && AsFloat(value) == 22.5f,
        "$SP reads back 22.5");

  SetWord(value, 0);
  Check(Read("@VLV", qel::kTypeWord, value) == qel::kOk && AsWord(value) == 35, "@VLV reads 35");
  Check(value[0] == 0xA5 && value[1] == 0x5A, "bytes 0 and 1 of a word stay the host's");
  SetWord(value, 65535);
  Check(Write("@VLV", qel::kTypeWord, value) == qel::kOk, "write @VLV = 65535 answers 0");
  SetWord(value, 0);
  Check(Read("@VLV", qel::kTypeWord, value) == qel::kOk && AsWord(value) == 65535,
        "@VLV reads back 65535");

  // The controller's refusals.
  g_log.clear();
  SetFloat(value, 7.25f);
  Check(Read("$NONE", qel::kTypeFloat, value) == qel::kRefused,
        "read of an unknown gate answers 1");
  Check(AsFloat(value) == 7.25f, "nothing stored");
  Check(Logged(32, "QELPRV: Tag $NONE: Invalid Gate Name"), "the Invalid Gate Name line");

  g_log.clear();
  SetWord(value, 9);
  Check(Write("@HRS", qel::kTypeWord, value) == qel::kRefused,
        "write of a read-only gate answers 1");
  Check(Logged(32, "QELPRV: Tag @HRS: Write failed. rc = 1 "), "the write's failure line");
  Check(Logged(32, "QELPRV: Tag @HRS: Read Only / Write Only gate"), "the error 82 line");

  Check(Call(qel::kCmdLineStop, nullptr) == qel::kOk && g_work.port_handle == 0,
        "LineStop closes the port");
  set_sink(nullptr, nullptr);

  if (g_failures != 0) {
    PrintLog();
    std::printf("%d check(s) failed\n", g_failures);
    return 1;
  }
  std::printf("all checks passed\n");
  return 0;
}
