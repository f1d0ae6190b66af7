// The closing steps of a context refresh: the skills cache, the custom
// guidance documents, the adapters that receive skills, and the memories.
// Each step is best-effort on its own: a failure is logged and the refresh
// goes on.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "agents/adapter.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// A built skill file longer than this many characters is not written.
inline constexpr std::size_t SKILL_FILE_MAX_CHARS = 100000;

// The skill objects of a skills answer: the answer itself when it is a
// list, its `skills` list when it is a mapping, else none. Rows that are not
// mappings are dropped with a warning.
json::Value skills_list_of(const std::optional<json::Value>& skills_result);

// Step "skills cache": one `<slug>.md` per served skill in the skills cache
// folder; files of skills no longer served are deleted. An empty list leaves
// the folder as it is. Never throws.
void cache_skills(const fs::path& repo_root, const fs::path& cache_dir, const json::Value& skills_list) noexcept;

// Step "custom documents": each scope folder (system, project) holds exactly
// the server's current documents. Never throws.
void cache_custom_docs(const fs::path& repo_root, const json::Value& custom_docs) noexcept;

// Step "adapters": the configured agents known to the registry, else the
// running harness's adapter. Never throws.
std::vector<agents::AdapterPtr> skill_adapters(const fs::path& repo_root) noexcept;

// Step "memories": fetched now; a non-empty list replaces the memories
// file. Never throws.
void cache_memories(const fs::path& repo_root, const std::string& project_id, const std::string& api_key,
                    const std::string& api_url) noexcept;

// Number of characters of UTF-8 text (code points; invalid bytes count one each).
std::size_t char_count(const std::string& text) noexcept;

}  // namespace brenik::services::tolvern::detail
