// OpenAI Codex CLI: rollout files under ${CODEX_HOME:-~/.codex}/sessions/
// YYYY/MM/DD/rollout-<time>-<uuid>.jsonl and archived_sessions/.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "agents/adapter.hpp"

namespace brenik::agents {

class CodexAdapter final : public Adapter {
public:
  std::string name() const override { return "codex"; }
  std::string provider() const override { return "openai"; }
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

// ${CODEX_HOME:-~/.codex}, or none without a home directory.
std::optional<std::filesystem::path> codex_home();

struct Rollout {
  std::filesystem::path path;
  std::string session_id;  // the uuid of the file name
  double mtime = 0;
};

// Every rollout file of sessions/ and archived_sessions/.
std::vector<Rollout> codex_rollouts();

// Telemetry of one rollout file (see codex.cpp for the figures).
TelemetryRecord codex_rollout_telemetry(const std::filesystem::path& rollout, const std::string& session_id);

}  // namespace detail

}  // namespace brenik::agents
