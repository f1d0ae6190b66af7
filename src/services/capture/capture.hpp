// Turning a commit into exactly one record in the attestation log, whichever
// trigger saw it: the git post-commit hook, the harness's post-tool hook, or
// the session-start catch-up.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "agents/adapter.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/types.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

struct CaptureOptions {
  std::optional<std::string> session_id = std::nullopt;
  std::optional<std::string> agent = std::nullopt;  // adapter name to ask first
  std::string source = "harness";
  std::string event = "commit_unattested";
  bool consume_pending = true;
  // The context around this process is the one that made the commit (the two
  // commit triggers); false for the catch-up.
  bool attribute_ambient = true;
  // For a trigger that must not stall on the log's lock (see RecordHandoff).
  std::optional<RecordHandoff> handoff = std::nullopt;
  // The worktree the commit was made in, when it is not repo_root (a linked
  // worktree sharing the main worktree's state): HEAD and its branch are read
  // there.
  std::optional<fs::path> worktree = std::nullopt;
};

// Never throws.
BackfillResult capture_commit(const fs::path& repo_root, const std::string& sha,
                              const CaptureOptions& options = {}) noexcept;

// The post-commit hook's entry: the full id of HEAD when it is recorded (now
// or before), none otherwise. Never throws.
std::optional<std::string> record_commit(const fs::path& repo_root, const std::string& event = "commit_unattested",
                                         const std::optional<RecordHandoff>& handoff = std::nullopt,
                                         const std::optional<fs::path>& worktree = std::nullopt) noexcept;

#pragma GCC visibility pop

namespace detail {

// The telemetry object an adapter gives for a session, stamped with the
// trigger and the adapter's name; none when the adapter knows nothing.
std::optional<json::Value> adapter_telemetry(const agents::Adapter& adapter, const fs::path& repo_root,
                                             const std::optional<std::string>& session_id, const std::string& source);

}  // namespace detail
}  // namespace brenik::services::tolvern
