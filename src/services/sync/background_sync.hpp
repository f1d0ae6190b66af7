// The network work of a commit, done after the commit has returned: the
// upload of the unsynced records, then a refresh of the context cache that
// writes nothing outside `.brenik/`. One run at a time per repository (a run
// that finds another in progress is skipped, not queued); each run leaves a
// small state file that `brenik status` reads.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// `background_sync: false` in the local configuration turns the work off.
bool background_sync_enabled(const json::Value& config);

// A commit starts the work only for a linked repository with the switch on
// (credentials are the caller's to check).
bool wants_background_sync(const json::Value& config);

struct BackgroundSyncState {
  std::string started_at;                                 // UTC, ISO 8601
  std::optional<std::string> finished_at = std::nullopt;  // none while running (or when the run was killed)
  bool ok = false;
  std::optional<std::string> failure = std::nullopt;  // what failed: the upload's error, the refresh's stage and kind
};

struct BackgroundSyncOutcome {
  bool ran = false;  // false: another run held the lock
  bool ok = false;
};

// Runs the upload, then the refresh in hook mode, under the repository's
// background lock; records the state before and after. Never throws.
BackgroundSyncOutcome run_background_sync(const fs::path& repo_root, const std::string& api_key,
                                          const std::string& api_url, const json::Value& project_id) noexcept;

// The last run's state, or none when no run was ever recorded.
std::optional<BackgroundSyncState> read_background_sync_state(const fs::path& repo_root) noexcept;

// True while a run holds the lock. Only looks when a state file exists (it
// creates nothing in a repository that never ran one).
bool background_sync_running(const fs::path& repo_root) noexcept;

#pragma GCC visibility pop

namespace detail {
fs::path background_sync_state_file(const fs::path& repo_root);
// The path whose lock file ("<path>.lock") serialises the runs.
fs::path background_sync_lock_target(const fs::path& repo_root);
}  // namespace detail

}  // namespace brenik::services::tolvern
