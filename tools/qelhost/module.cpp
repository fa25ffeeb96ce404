#include "tools/qelhost/module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>

namespace qelhost {

#if defined(_WIN32)

namespace {
std::string LastErrorText() {
  const DWORD code = GetLastError();
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string s(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return "error " + std::to_string(code) + (s.empty() ? "" : ": " + s);
}
}  // namespace

DriverModule::~DriverModule() = default;  // the module stays loaded until the process ends

bool DriverModule::Load(const std::string& path) {
  path_ = path;
  // The module's own folder is searched for the DLLs it imports (SAPTOR.DLL).
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    error_ = "cannot load " + path + " (" + LastErrorText() + ")";
    return false;
  }
  handle_ = module;
  qel_main_ =
      reinterpret_cast<QelMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "QelMain")));
  if (qel_main_ == nullptr) {
    error_ = path + " exports no QelMain";
    return false;
  }
  return true;
}

SaptorSetSinkFn DriverModule::FindSetSink() const {
  HMODULE saptor = GetModuleHandleA("SAPTOR.DLL");
  if (saptor == nullptr) return nullptr;
  return reinterpret_cast<SaptorSetSinkFn>(
      reinterpret_cast<void*>(GetProcAddress(saptor, "SaptorSetSink")));
}

const char* DriverModule::FileName() {
  return "QELPRV.DLL";
}

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string s(path, n);
  const auto slash = s.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : s.substr(0, slash + 1);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string DriverModule::DefaultPath() {
  return ProgramFolder() + FileName();
}

#else

DriverModule::~DriverModule() = default;  // the module stays loaded until the process ends

bool DriverModule::Load(const std::string& path) {
  path_ = path;
  // A name without a slash would be looked for on the library path: a host names the file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* text = dlerror();
    error_ = "cannot load " + path + " (" + (text != nullptr ? text : "unknown error") + ")";
    return false;
  }
  dlerror();
  void* symbol = dlsym(handle_, "QelMain");
  if (symbol == nullptr) {
    error_ = path + " exports no QelMain";
    return false;
  }
  qel_main_ = reinterpret_cast<QelMainFn>(symbol);
  return true;
}

SaptorSetSinkFn DriverModule::FindSetSink() const {
  // The log library that the module brought in, found by its name among the loaded objects.
  void* saptor = dlopen("libsaptor.so", RTLD_NOW | RTLD_NOLOAD);
  if (saptor == nullptr) return nullptr;
  void* symbol = dlsym(saptor, "SaptorSetSink");
  dlclose(saptor);  // drops the reference taken here; the module keeps the library loaded
  return reinterpret_cast<SaptorSetSinkFn>(symbol);
}

const char* DriverModule::FileName() {
  return "libqelprv.so";
}

std::string ProgramFolder() {
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string s(path, static_cast<std::size_t>(n));
  return s.substr(0, s.find_last_of('/') + 1);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DriverModule::DefaultPath() {
  // Beside the program, as built; in an installed tree the module lies in ../lib.
  const std::string folder = ProgramFolder();
  const std::string beside = folder + FileName();
  if (FileExists(beside)) return beside;
  const std::string installed = folder + "../lib/" + FileName();
  if (FileExists(installed)) return installed;
  return beside;
}

#endif

}  // namespace qelhost
