// Modification times as epoch seconds (the clock the rest of the code uses).
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>

namespace brenik::utils {

// Seconds since the epoch with fraction; none when the file cannot be stat'ed.
inline std::optional<double> mtime_epoch(const std::filesystem::path& path) noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

// Whole seconds (st_mtime itself), none when the file cannot be stat'ed.
inline std::optional<double> mtime_whole_seconds(const std::filesystem::path& path) noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<double>(st.st_mtim.tv_sec);
}

}  // namespace brenik::utils
