#include "agents/cursor.hpp"

#include <system_error>

#include "agents/skills_writer.hpp"
#include "agents/transcript_reader.hpp"

namespace brenik::agents {

namespace fs = std::filesystem;

bool CursorAdapter::is_active() const {
  // Set for the CLI agent and for the IDE agent's shells; ordinary Cursor
  // terminals carry neither.
  return detail::env_text("CURSOR_AGENT") == "1" || detail::env_text("CURSOR_EXTENSION_HOST_ROLE") == "agent-exec";
}

bool CursorAdapter::detect_in_repo(const fs::path& repo_root) const {
  std::error_code ec;
  return fs::is_directory(repo_root / ".cursor", ec) || fs::exists(repo_root / ".cursorrules", ec);
}

bool CursorAdapter::npx_covers_skills(const fs::path& repo_root) const {
  // Cursor 2.4+ reads the installer's shared .agents/skills as well as its
  // own directory.
  return detail::npx_skills_present(repo_root, {skills_dir(), ".agents/skills"});
}

fs::path CursorAdapter::skills_dir() const { return ".cursor/skills"; }

void CursorAdapter::write_skills(const fs::path& repo_root, const json::Value& skills) const {
  detail::write_skills_into(repo_root, skills_dir(), skills);
}

bool WindsurfAdapter::detect_in_repo(const fs::path& repo_root) const {
  std::error_code ec;
  return fs::is_directory(repo_root / ".windsurf", ec) || fs::exists(repo_root / ".windsurfrules", ec);
}

bool WindsurfAdapter::npx_covers_skills(const fs::path& repo_root) const {
  return detail::npx_skills_present(repo_root, {skills_dir()});
}

fs::path WindsurfAdapter::skills_dir() const { return ".windsurf/skills"; }

void WindsurfAdapter::write_skills(const fs::path& repo_root, const json::Value& skills) const {
  detail::write_skills_into(repo_root, skills_dir(), skills);
}

}  // namespace brenik::agents
