// Cursor and Windsurf: their local stores hold no token counts, and no
// session id reaches the commands they run, so these adapters name the
// agent and place its skills but report no session or telemetry.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "agents/adapter.hpp"

namespace brenik::agents {

// Shared behaviour of adapters without a readable session store.
class StorelessAdapter : public Adapter {
public:
  std::optional<std::string> get_session_id(const std::filesystem::path&) const override { return std::nullopt; }
  std::optional<TelemetryRecord> get_telemetry_for_session(const std::filesystem::path&,
                                                           const std::optional<std::string>&) const override {
    return std::nullopt;
  }
  std::map<std::string, std::vector<std::string>> sessions_mentioning(
      const std::filesystem::path&, const std::vector<std::string>&,
      const SessionsMentioningOptions& = {}) const override {
    return {};
  }
};

class CursorAdapter final : public StorelessAdapter {
public:
  std::string name() const override { return "cursor"; }
  // Cursor routes to several model vendors; none can be named.
  std::string provider() const override { return ""; }
  bool is_active() const override;
  bool detect_in_repo(const std::filesystem::path& repo_root) const override;
  bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  std::filesystem::path skills_dir() const override;
  void write_skills(const std::filesystem::path& repo_root, const json::Value& skills) const override;
};

class WindsurfAdapter final : public StorelessAdapter {
public:
  std::string name() const override { return "windsurf"; }
  std::string provider() const override { return ""; }
  // No environment variable marks a Cascade terminal.
  bool is_active() const override { return false; }
  bool detect_in_repo(const std::filesystem::path& repo_root) const override;
  bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  std::filesystem::path skills_dir() const override;
  void write_skills(const std::filesystem::path& repo_root, const json::Value& skills) const override;
};

}  // namespace brenik::agents
