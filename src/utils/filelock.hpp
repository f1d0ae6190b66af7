// The cross-process file lock that serialises writers of one file:
// flock() on "<path>.lock" beside it. Exclusive between processes and
// between threads; re-entrant on the thread that holds it (a nested guard
// for the same path enters at once, at no cost); fail-open: when the lock
// cannot be taken within the timeout the guard is entered anyway and says so.
#pragma once

#include <filesystem>
#include <memory>

namespace brenik::utils {

inline constexpr double DEFAULT_LOCK_TIMEOUT_SECONDS = 10.0;

class Locked {
public:
  explicit Locked(const std::filesystem::path& path, double timeout_seconds = DEFAULT_LOCK_TIMEOUT_SECONDS);
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // The lock was taken (or was already held by this process).
  bool acquired() const noexcept { return acquired_; }
  explicit operator bool() const noexcept { return acquired_; }

private:
  std::filesystem::path key_;
  bool acquired_ = false;
};

// `locked(path, timeout)` as a scoped guard: `auto guard = locked(p);`
inline std::unique_ptr<Locked> locked(const std::filesystem::path& path,
                                      double timeout_seconds = DEFAULT_LOCK_TIMEOUT_SECONDS) {
  return std::make_unique<Locked>(path, timeout_seconds);
}

// Path of the lock file for `path`.
std::filesystem::path lock_file_for(const std::filesystem::path& path);

}  // namespace brenik::utils
