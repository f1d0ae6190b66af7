// What a failed sync tells the outside (the error's kind only) and what it
// keeps for the developer (the full report, in a local file, only when
// debugging is switched on).
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// BRENIK_DEBUG, trimmed and lower-cased, is one of "1", "true", "yes", "on".
bool brenik_debug_enabled();

// When debugging is on, keeps the full report of the failed stage in the
// local debug log and gives its path; none otherwise or when nothing could
// be written.
std::optional<fs::path> keep_debug_report(const fs::path& repo_root, const std::string& stage,
                                          const std::exception& exc);

#pragma GCC visibility pop

namespace detail {

inline constexpr std::uintmax_t DEBUG_LOG_MAX_BYTES = 256000;
inline constexpr std::uintmax_t DEBUG_LOG_KEEP_BYTES = 128000;

// The error's kind name, never its message.
std::string short_exc(const std::exception& exc);
std::string short_exc(const std::exception_ptr& exc);

// Appends one entry for the failed stage to <platform dir>/logs/sync.log and
// returns its path; none when nothing could be written. Never throws.
std::optional<fs::path> write_sync_debug_log(const fs::path& repo_root, const std::string& stage,
                                             const std::exception_ptr& exc) noexcept;
std::optional<fs::path> write_sync_debug_log(const fs::path& repo_root, const std::string& stage,
                                             const std::exception& exc);

// The full report of an error: heading, where it was raised, each chained
// cause, and the final "Kind: message" line.
std::string format_error_report(const std::exception_ptr& exc);

}  // namespace detail
}  // namespace brenik::services::tolvern
