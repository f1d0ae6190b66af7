// One sync of a repository from end to end: file the pending attestation,
// refresh the shipped static files, repair the installation (each repair
// isolated), then, with a project and a key, upload and refresh the cache.
#pragma once

#include <filesystem>
#include <string>

#include "utils/json.hpp"

namespace brenik::services::tolvern {

// {"attestations_uploaded": bool, "cache_refreshed": bool}. Prints nothing.
json::Value run_sync(const std::filesystem::path& repo_root, const std::string& api_key, const std::string& api_url,
                     const json::Value& project_id);

}  // namespace brenik::services::tolvern
