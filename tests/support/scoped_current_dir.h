// A new empty directory made the process's current directory for the life of the object; the
// previous current directory comes back and the directory is removed with everything in it.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace qel::test {

class ScopedCurrentDir {
 public:
  ScopedCurrentDir() : previous_(std::filesystem::current_path()) {
    const auto base = std::filesystem::temp_directory_path();
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0;; ++attempt) {
      path_ = base / ("qeltest-" + std::to_string(stamp) + "-" + std::to_string(attempt));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
    }
    std::filesystem::current_path(path_);
  }
  ~ScopedCurrentDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Writes a file in the directory byte for byte (no line-end translation).
  void Write(const std::string& name, const std::string& contents) const {
    std::FILE* f = std::fopen((path_ / name).string().c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
  }
  void Remove(const std::string& name) const {
    std::error_code ec;
    std::filesystem::remove(path_ / name, ec);
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace qel::test
