// One sync of a repository from end to end: file the pending attestation,
// refresh the shipped static files, repair the installation (each repair
// isolated), then, with a project and a key, upload and refresh the cache.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "services/context/refresh.hpp"
#include "services/upload/upload.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

// {"attestations_uploaded": bool, "cache_refreshed": bool}. Prints nothing.
json::Value run_sync(const std::filesystem::path& repo_root, const std::string& api_key, const std::string& api_url,
                     const json::Value& project_id);

// What one run did, for a caller that tells the user more than the result.
struct SyncRunReport {
  json::Value result;                    // as run_sync returns it
  std::optional<UploadResult> upload;    // none: no key or no project
  std::optional<RefreshResult> refresh;  // none: no key or no project
};

// run_sync with the detailed outcome.
SyncRunReport run_sync_reported(const std::filesystem::path& repo_root, const std::string& api_key,
                                const std::string& api_url, const json::Value& project_id);

#pragma GCC visibility pop

namespace detail {

using Agents = std::optional<std::vector<std::string>>;

// The operations a sync run calls, in the order it calls them. The defaults
// are the real ones; tests put stand-ins in to watch the order and isolation.
struct SyncSteps {
  std::function<void(const std::filesystem::path&)> process_pending;
  std::function<void(const std::filesystem::path&)> refresh_static_files;
  std::function<void(const std::filesystem::path&)> cleanup_entire;
  std::function<void(const std::filesystem::path&)> ensure_gitignore;
  std::function<void(const std::filesystem::path&, const Agents&)> install_session_start_hook;
  std::function<void(const std::filesystem::path&, const Agents&)> install_mcp_for_agents;
  std::function<UploadResult(const std::string&, const std::string&, const std::filesystem::path&,
                             const std::filesystem::path&, const json::Value&)>
      upload;
  std::function<RefreshResult(const std::string&, const std::string&, const std::filesystem::path&, const std::string&)>
      refresh;
};

SyncSteps default_sync_steps();

// run_sync with the steps given and the detailed outcome. The cache is
// refreshed once; its result's truth is `cache_refreshed`.
SyncRunReport run_sync_detailed(const std::filesystem::path& repo_root, const std::string& api_key,
                                const std::string& api_url, const json::Value& project_id,
                                const SyncSteps& steps = default_sync_steps());

// The `agents` list of the local configuration; none when missing or empty.
Agents configured_agents(const std::filesystem::path& repo_root);

// The project id as the refresh takes it: integer as its digits, text as
// is, anything else empty.
std::string project_id_text(const json::Value& project_id);

}  // namespace detail

}  // namespace brenik::services::tolvern
