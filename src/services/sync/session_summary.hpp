// The few lines an agent is shown when its session starts: what the local
// context cache holds, whether it can be relied on, and how many records wait
// for upload. Local files only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

// project_id: an integer or text, or null; agent_name: shown when non-empty.
std::string generate_session_summary(const std::filesystem::path& cache_dir, const json::Value& project_id,
                                     const std::optional<std::string>& agent_name);

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
