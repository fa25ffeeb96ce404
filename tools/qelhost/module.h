// The driver module as a host loads it: the file is loaded, QelMain is the one symbol taken from
// it, and the sink of the log library that the module imports is looked up in that library.
#pragma once

#include <string>

#include "driver/host/records.h"

namespace qelhost {

// The log library's sink, as its header declares it: each formatted message and its level.
using SaptorSink = void (*)(void* context, int level, const char* message);
using SaptorSetSinkFn = void (*)(SaptorSink sink, void* context);

class DriverModule {
 public:
  DriverModule() = default;
  ~DriverModule();
  DriverModule(const DriverModule&) = delete;
  DriverModule& operator=(const DriverModule&) = delete;

  // Loads the module and resolves QelMain. False with a message in error() when either fails.
  bool Load(const std::string& path);
  // SaptorSetSink of the loaded log library, or nullptr when it is not found (a log library
  // that has no sink writes its lines itself).
  SaptorSetSinkFn FindSetSink() const;

  QelMainFn qel_main() const { return qel_main_; }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

  // The module's file name in the folder of the running program: libqelprv.so or QELPRV.DLL.
  static std::string DefaultPath();
  // The module's file name alone.
  static const char* FileName();

 private:
  void* handle_ = nullptr;
  QelMainFn qel_main_ = nullptr;
  std::string path_;
  std::string error_;
};

// The folder of the running program, with its trailing separator.
std::string ProgramFolder();
bool FileExists(const std::string& path);

}  // namespace qelhost
