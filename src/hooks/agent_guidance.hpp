// What the agents are told and given: skill files, the skills the `npx
// skills` installer put in, Cursor and Windsurf skill folders, and the
// marked guidance block in each agent's own instructions file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace brenik::hooks::agent_guidance {

namespace fs = std::filesystem;

// A slug that is not safe as a file name ("..", "/", NUL, too long, a
// leading dot...). The library's own error kind, so that a caller reporting
// the kind says "UnsafeSlugError".
using UnsafeSlugError = brenik::UnsafeSlugError;

// The package of the platform's own skills, as `npx skills add` names it and
// as its lock manifest records the source.
inline constexpr const char* PLATFORM_SKILLS_PACKAGE = "brenik/engineering";

// Longest slug accepted, in bytes: a file name with room for ".md".
inline constexpr std::size_t MAX_SLUG_BYTES = 128;

// Markers of the guidance block: each on a line of its own.
inline constexpr const char* GUIDANCE_BEGIN_MARKER = "<!-- brenik:begin";
inline constexpr const char* GUIDANCE_END_MARKER = "<!-- brenik:end";

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
// the block names no skills. A file whose markers are damaged is left
// untouched (said in the debug log). Throws OSError when the file is a link
// leading out of the repository, is not a regular file, or cannot be written.
void write_agent_guidance(const fs::path& repo_root, const std::string& agent, const std::string& project_id,
                          const std::optional<json::Value>& skills = std::nullopt);

// The guidance file of that agent, relative to the repository root:
// CLAUDE.md for Claude Code, AGENTS.md for the others.
fs::path guidance_file_name(const std::string& agent);

enum class GuidanceOutcome { written, unchanged, damaged_markers, too_large };

// write_agent_guidance, saying what it did (for callers that report it).
GuidanceOutcome update_agent_guidance(const fs::path& repo_root, const std::string& agent,
                                      const std::string& project_id,
                                      const std::optional<json::Value>& skills = std::nullopt);

namespace detail {
// The block, markers included, with LF line ends.
std::string guidance_block(const std::string& project_id, const std::optional<json::Value>& skills);
// `text` with the block put in place of the marked one, or appended when
// there is none, in the text's own line ends (CRLF when its first line
// ends so); none when the markers are damaged (an end without a begin, two
// begins, an end before its begin...).
std::optional<std::string> replace_guidance_block(const std::string& text, const std::string& block_lf);
}  // namespace detail

}  // namespace brenik::hooks::agent_guidance
