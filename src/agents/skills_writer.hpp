// Writing skills into an agent's skill directory inside the repository, and
// telling whether the `npx skills` installer already serves an agent.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "utils/json.hpp"

namespace brenik::agents::detail {

// Manifest of the skill folders this tool wrote, kept in the skills
// directory; only those are ever replaced or removed.
inline constexpr const char* MANAGED_MANIFEST = ".brenik-managed.json";

// ^[a-z0-9][a-z0-9._-]{0,127}$ and no "..".
bool is_safe_skill_slug(std::string_view slug);

// The SKILL.md text of a skill: its content as is when it opens with front
// matter, else front matter (name, description) followed by the content.
std::string skill_md_text(const std::string& slug, const json::Value& skill);

// Replaces the managed skills in `<repo_root>/<skills_rel>` with `skills`
// (a JSON list of skill objects: "slug" or "name", "content", optional
// "description"): each as `<slug>/SKILL.md`, written atomically. Folders
// not listed in the manifest (a user's own skill, an installer's link) are
// never touched; managed folders whose skill is gone lose their SKILL.md
// (and the folder when nothing else is left in it). Unsafe slugs are skipped.
// Throws OSError when the directory cannot be made or leads out of the
// repository through a symbolic link; TypeError when `skills` is no list.
void write_skills_into(const std::filesystem::path& repo_root, const std::filesystem::path& skills_rel,
                       const json::Value& skills);

// Undoes write_skills_into: every skill folder the manifest in
// `<repo_root>/<skills_rel>` lists loses its SKILL.md (and goes when nothing
// else is left in it), the manifest goes, and so does the skills directory
// when that leaves it empty. Returns the slugs the manifest listed; none when
// there is no manifest. Throws OSError as write_skills_into does.
std::vector<std::string> remove_managed_skills(const std::filesystem::path& repo_root,
                                               const std::filesystem::path& skills_rel);

// Names of the skills the installer's project lock file `skills-lock.json`
// lists; empty when it is missing or unreadable.
std::vector<std::string> npx_locked_skills(const std::filesystem::path& repo_root);

// Those of them whose lock entry names `source` (the package, "owner/repo",
// compared without regard to case) as where they came from.
std::vector<std::string> npx_locked_skills_from(const std::filesystem::path& repo_root, std::string_view source);

// True when the lock lists skills and every one of them has a SKILL.md in
// `<repo_root>/<dir>/<name>/` for at least one of `dirs`.
bool npx_skills_present(const std::filesystem::path& repo_root, const std::vector<std::filesystem::path>& dirs);

}  // namespace brenik::agents::detail
