// What the library asks of an agent harness: who it is, which session is
// running in a repository, what a session cost, which sessions made or
// mention a commit, and where its skills go.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::agents {

// Telemetry of one session. to_dict() gives the JSON object that rides on an
// attestation: "model" (empty when the transcript names none), "tokens" (an
// object of token counts, empty when unknown) and any other figures.
struct TelemetryRecord {
  json::Value data = json::Value::object();
  json::Value to_dict() const { return data; }
  explicit operator bool() const { return data.is_object() && !data.empty(); }
};

struct SessionsMentioningOptions {
  std::optional<double> since = std::nullopt;       // epoch seconds: older transcripts unread
  std::map<std::string, double> commit_times = {};  // commit id -> committer time
};

class Adapter {
public:
  virtual ~Adapter() = default;

  virtual std::string name() const = 0;
  virtual std::string provider() const = 0;

  // The harness runs this process (from its environment).
  virtual bool is_active() const = 0;
  // The repository shows signs of this agent (its config or rules files).
  virtual bool detect_in_repo(const std::filesystem::path& repo_root) const = 0;

  // This harness's current session in the repository, or none.
  virtual std::optional<std::string> get_session_id(const std::filesystem::path& repo_root) const = 0;

  // Telemetry of that session, or none when this adapter does not know it.
  virtual std::optional<TelemetryRecord> get_telemetry_for_session(
      const std::filesystem::path& repo_root, const std::optional<std::string>& session_id) const = 0;

  // commit id -> ids of this adapter's sessions that made the commit (ran
  // `git commit` shortly before its committer time) or, failing that,
  // mention it (its transcript holds the full id or a prefix of >= 7).
  virtual std::map<std::string, std::vector<std::string>> sessions_mentioning(
      const std::filesystem::path& repo_root, const std::vector<std::string>& commits,
      const SessionsMentioningOptions& options = {}) const = 0;

  // The platform skill install already serves this agent in the repository.
  virtual bool npx_covers_skills(const std::filesystem::path& repo_root) const = 0;
  // The folder of the repository, relative to its root, that holds this
  // agent's skills: where write_skills puts them and removal looks.
  virtual std::filesystem::path skills_dir() const = 0;
  // Replaces this agent's skills in the repository with `skills` (a list of
  // skill objects with at least "slug"/"name" and "content").
  virtual void write_skills(const std::filesystem::path& repo_root, const json::Value& skills) const = 0;
};

using AdapterPtr = std::shared_ptr<const Adapter>;

}  // namespace brenik::agents

#pragma GCC visibility pop
