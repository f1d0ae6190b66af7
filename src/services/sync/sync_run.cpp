#include "services/sync/sync_run.hpp"

#include "hooks/installer.hpp"
#include "hooks/mcp_registration.hpp"
#include "paths/paths.hpp"
#include "services/capture/pending.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/logging.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

namespace detail {

Agents configured_agents(const fs::path& repo_root) {
  const json::Value config = shared::load_local_config(repo_root);
  if (!config.is_object()) return std::nullopt;
  auto it = config.find("agents");
  if (it == config.end() || !it->is_array() || it->empty()) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& a : *it)
    if (a.is_string() && !a.get_ref<const std::string&>().empty()) names.push_back(a.get<std::string>());
  if (names.empty()) return std::nullopt;
  return names;
}

std::string project_id_text(const json::Value& project_id) {
  if (project_id.is_string()) return project_id.get<std::string>();
  if (project_id.is_number_integer() || project_id.is_number_unsigned()) return json::dumps(project_id);
  return {};
}

SyncSteps default_sync_steps() {
  SyncSteps s;
  s.process_pending = [](const fs::path& root) { process_pending_attestation(root); };
  s.refresh_static_files = [](const fs::path& root) { refresh_local_static_files(root); };
  s.cleanup_entire = [](const fs::path& root) { hooks::installer::cleanup_entire(root); };
  s.ensure_gitignore = [](const fs::path& root) {
    const auto report = hooks::installer::ensure_gitignore(root, hooks::installer::GITIGNORE_ENTRIES);
    // A refused ignore file (a link leading out) is a failed repair too.
    if (report.status == hooks::installer::Status::failed) throw RuntimeError(report.detail);
  };
  s.install_session_start_hook = [](const fs::path& root, const Agents& agents) {
    for (const auto& report : hooks::installer::install_session_start_hook(root, agents))
      if (report.status == hooks::installer::Status::failed)
        logging::debug("Session-start row not restored: %s", report.detail);
  };
  s.install_mcp_for_agents = [](const fs::path& root, const Agents& agents) {
    hooks::mcp_registration::install_mcp_for_agents(root, agents);
  };
  s.upload = [](const std::string& key, const std::string& url, const fs::path& root, const fs::path& dir,
                const json::Value& project) { return upload_attestations(key, url, root, dir, project); };
  s.refresh = [](const std::string& key, const std::string& url, const fs::path& root, const std::string& project) {
    return refresh_context_cache_detailed(key, url, root, project);
  };
  return s;
}

SyncRunReport run_sync_detailed(const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
                                const json::Value& project_id, const SyncSteps& steps) {
  SyncRunReport report;
  report.result = {{"attestations_uploaded", false}, {"cache_refreshed", false}};

  // Local steps first, whatever the network and the credentials.
  steps.process_pending(repo_root);
  steps.refresh_static_files(repo_root);
  utils::best_effort("Entire hook strip skipped (best-effort)", {.audible = false},
                     [&] { steps.cleanup_entire(repo_root); });
  utils::best_effort("Gitignore self-heal skipped (best-effort)", {.audible = false},
                     [&] { steps.ensure_gitignore(repo_root); });
  utils::best_effort("Agent hook self-heal skipped (best-effort)", {.audible = false},
                     [&] { steps.install_session_start_hook(repo_root, configured_agents(repo_root)); });
  utils::best_effort("Agent MCP self-heal skipped (best-effort)", {.audible = false},
                     [&] { steps.install_mcp_for_agents(repo_root, configured_agents(repo_root)); });

  if (!truthy(project_id) || api_key.empty()) return report;

  report.upload = steps.upload(api_key, api_url, repo_root, paths::attestations_dir(repo_root), project_id);
  report.result["attestations_uploaded"] = report.upload->ok;
  // The refresh runs whatever the upload's outcome.
  report.refresh = steps.refresh(api_key, api_url, repo_root, project_id_text(project_id));
  report.result["cache_refreshed"] = report.refresh->ok;
  return report;
}

}  // namespace detail

json::Value run_sync(const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
                     const json::Value& project_id) {
  return detail::run_sync_detailed(repo_root, api_key, api_url, project_id).result;
}

SyncRunReport run_sync_reported(const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
                                const json::Value& project_id) {
  return detail::run_sync_detailed(repo_root, api_key, api_url, project_id);
}

}  // namespace brenik::services::tolvern
