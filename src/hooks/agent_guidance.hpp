// What the agents are told and given: skill files, the skills the `npx
// skills` installer put in, Cursor and Windsurf skill folders, and the
// marked guidance block in each agent's own instructions file.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/json.hpp"

namespace brenik::hooks::agent_guidance {

namespace fs = std::filesystem;

// A slug that is not safe as a file name ("..", "/", NUL, too long, a
// leading dot...).
class UnsafeSlugError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The skill's file-safe slug; throws UnsafeSlugError.
std::string extract_slug(const json::Value& skill);
// Returns when the slug is safe; throws UnsafeSlugError naming `source`.
void validate_slug(const std::string& slug, const std::string& source = "skill");

// The text of the skill's file; `fmt` "skill_md": Markdown with front matter.
std::string build_skill_file(const json::Value& skill, const std::string& fmt = "skill_md");

// Names of the agents whose traces are in the repository (may be empty).
std::vector<std::string> detect_agents(const fs::path& repo_root);

// Slugs of the platform skills the installer's lock manifest lists.
std::vector<std::string> installed_platform_slugs(const fs::path& repo_root);
// The installer's skill objects (empty when none are installed).
json::Value read_platform_skills_from_npx(const fs::path& repo_root);

void write_cursor_skills(const fs::path& repo_root, const json::Value& skills);
void write_windsurf_skills(const fs::path& repo_root, const json::Value& skills);

// Replaces the marked block of the agent's guidance file (CLAUDE.md,
// AGENTS.md...) and leaves every byte outside it as it was. `skills` absent:
// the block names no skills.
void write_agent_guidance(const fs::path& repo_root, const std::string& agent, const std::string& project_id,
                          const std::optional<json::Value>& skills = std::nullopt);

}  // namespace brenik::hooks::agent_guidance
