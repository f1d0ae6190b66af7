// Claude Code: transcripts under ${CLAUDE_CONFIG_DIR:-~/.claude}/projects/
// <folder named after the working directory>/<session>.jsonl.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents/adapter.hpp"

namespace brenik::agents {

class ClaudeCodeAdapter final : public Adapter {
public:
  std::string name() const override { return "claude-code"; }
  std::string provider() const override { return "anthropic"; }
  bool is_active() const override;
  bool detect_in_repo(const std::filesystem::path& repo_root) const override;
  std::optional<std::string> get_session_id(const std::filesystem::path& repo_root) const override;
  std::optional<TelemetryRecord> get_telemetry_for_session(const std::filesystem::path& repo_root,
                                                           const std::optional<std::string>& session_id) const override;
  std::map<std::string, std::vector<std::string>> sessions_mentioning(
      const std::filesystem::path& repo_root, const std::vector<std::string>& commits,
      const SessionsMentioningOptions& options = {}) const override;
  bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  std::filesystem::path skills_dir() const override;
  void write_skills(const std::filesystem::path& repo_root, const json::Value& skills) const override;
};

namespace detail {

// Claude Code's folder name for a working directory: every character other
// than an ASCII letter or digit becomes "-". Names over 200 characters are
// cut to 200 and given a hash suffix by Claude Code; this returns the
// uncut name.
std::string claude_folder_name(std::string_view path);

// The projects directories to look in: ${CLAUDE_CONFIG_DIR:-~/.claude}/projects
// and ${XDG_CONFIG_HOME:-~/.config}/claude/projects, those that exist.
std::vector<std::filesystem::path> claude_projects_dirs();

// Project folders that may hold this repository's sessions: the folder of
// the repository root and of its subdirectories (names extending the root's
// name with "-"), under every projects directory. The mapping is lossy, so
// callers still check the cwd recorded in each transcript.
std::vector<std::filesystem::path> claude_repo_folders(const std::filesystem::path& repo_root);

// Telemetry of one transcript file (see claude_code.cpp for the figures).
TelemetryRecord claude_transcript_telemetry(const std::filesystem::path& transcript, const std::string& session_id);

}  // namespace detail

}  // namespace brenik::agents
