// Handing the project's skills to every configured agent: custom skills
// win over platform skills of the same slug; agents the installer already
// serves get no second copy of the platform skills.
#pragma once

#include <filesystem>
#include <vector>

#include "agents/adapter.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

// `skills_list` is the server's list of skill objects (possibly empty).
void distribute_skills(const std::filesystem::path& repo_root, const json::Value& skills_list,
                       const std::vector<agents::AdapterPtr>& adapters);

}  // namespace brenik::services::tolvern::detail
