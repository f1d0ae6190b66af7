// Refreshing the local context cache from the server: the context fetch,
// six fetches in parallel, the cache files, the rules' constraints, and the
// skills, custom documents and memories caches. In hook mode
// (mutate_workspace false) every write stays inside `.brenik/`.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>

#include "utils/best_effort.hpp"
#include "utils/logging.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

struct RefreshResult {
  bool ok = false;
  std::optional<std::string> stage = std::nullopt;  // the stage that failed
  std::optional<std::string> error = std::nullopt;  // the error kind's name only
  std::optional<fs::path> log_path = std::nullopt;  // the debug log written for it

  explicit operator bool() const { return ok; }
};

struct RefreshOptions {
  bool mutate_workspace = true;
};

// Never throws: every error becomes a failed result naming its stage.
RefreshResult refresh_context_cache_detailed(const std::string& api_key, const std::string& api_url,
                                             const fs::path& repo_root, const std::string& project_id,
                                             const RefreshOptions& options = {});

// refresh_context_cache_detailed(...).ok
bool refresh_context_cache(const std::string& api_key, const std::string& api_url, const fs::path& repo_root,
                           const std::string& project_id, const RefreshOptions& options = {});

#pragma GCC visibility pop

namespace detail {
// Runs one fetch whose failure must not end the refresh: its value, or none
// after a debug line naming `label`. Safe to run on a worker thread.
template <typename F>
auto nf(const char* label, F&& fn) -> std::optional<std::invoke_result_t<F&>> {
  return utils::best_effort_or(std::nullopt, std::string(label) + " fetch failed (non-fatal)",
                               {.audible = false, .detail = utils::Detail::reason},
                               [&]() -> std::optional<std::invoke_result_t<F&>> { return fn(); });
}

// Rewrites the example attestation from the copy this build ships; never throws.
void refresh_local_static_files(const fs::path& repo_root);
}  // namespace detail

}  // namespace brenik::services::tolvern
