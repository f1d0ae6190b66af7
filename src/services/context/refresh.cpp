// PLACEHOLDER until the context refresh lands: reports a failed refresh.
#include "services/context/refresh.hpp"

namespace brenik::services::tolvern {

RefreshResult refresh_context_cache_detailed(const std::string&, const std::string&, const fs::path&,
                                             const std::string& project_id, const RefreshOptions&) {
  if (project_id.empty()) return {.ok = false, .stage = "missing_project_id"};
  return {.ok = false, .stage = "fetch_context", .error = "NotImplementedError"};
}

bool refresh_context_cache(const std::string& api_key, const std::string& api_url, const fs::path& repo_root,
                           const std::string& project_id, const RefreshOptions& options) {
  return refresh_context_cache_detailed(api_key, api_url, repo_root, project_id, options).ok;
}

namespace detail {
void refresh_local_static_files(const fs::path&) {}
}  // namespace detail

}  // namespace brenik::services::tolvern
