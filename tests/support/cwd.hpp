#pragma once

#include <filesystem>

namespace brenik::testing {

// Changes the process's working directory for the lifetime of the object.
class ScopedCwd {
public:
  explicit ScopedCwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
  std::filesystem::path old_;
};

}  // namespace brenik::testing
