// Linking a repository to its server-side project, once: ask the server
// (which finds or creates the project from the origin remote) and remember
// the answer in the local configuration.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/json.hpp"

#if __has_include("services/capture/pending.hpp")
#include "services/capture/pending.hpp"

#pragma GCC visibility push(default)
#define BRENIK_HAVE_PENDING 1
#endif

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

inline constexpr const char* NOT_SIGNED_IN = "not_signed_in";
inline constexpr const char* NO_ORIGIN = "no_origin";
inline constexpr const char* CONFIG_UNWRITABLE = "config_unwritable";

// The outcome of asking the server which project this repo belongs to.
struct ProjectResolution {
  std::optional<std::int64_t> project_id = std::nullopt;
  std::optional<std::string> title = std::nullopt;
  bool created = false;
  std::optional<std::string> reason = std::nullopt;
  std::optional<std::string> code = std::nullopt;

  bool ok() const { return project_id.has_value(); }
};

// Never throws.
ProjectResolution resolve_project_id(const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
                                     std::optional<std::int64_t> team_id = std::nullopt) noexcept;

#ifdef BRENIK_HAVE_PENDING
// Files the pending attestation first (offline), then resolves only when no
// project is linked yet; the resolution is none when none was attempted.
std::pair<AttestationResult, std::optional<ProjectResolution>> resolve_if_unlinked(
    const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
    std::optional<std::int64_t> team_id = std::nullopt);
#endif

// The one sentence of advice for a failure code.
std::string remedy(const std::optional<std::string>& code);

#pragma GCC visibility pop

namespace detail {

extern const std::vector<std::pair<std::string, std::string>> REMEDIES;
extern const char* const REMEDY_UNREACHABLE;

// projectId as the server sent it, as an integer: an integer, a finite
// number (truncated), or text holding a decimal integer; none otherwise.
std::optional<std::int64_t> to_project_id(const json::Value& value);

}  // namespace detail
}  // namespace brenik::services::tolvern
