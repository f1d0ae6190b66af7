// Recording commits no live trigger recorded: the session-start catch-up
// (everything since the last recorded commit, attributed to a session only
// when exactly one session claims it) and the one-commit backfill.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "services/types.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

inline constexpr int CATCH_UP_DEFAULT_LIMIT = 50;
inline constexpr double CATCH_UP_LOCK_TIMEOUT = 30.0;

// Newest first; empty when nothing was done. Never throws.
std::vector<BackfillResult> catch_up_commits(const fs::path& repo_root, int limit = CATCH_UP_DEFAULT_LIMIT) noexcept;

struct BackfillOptions {
  std::string commit;      // short or full id
  std::string session_id;  // the transcript session that made it
  std::string task_type;
};

// Refuses rather than records as unknown: a session no adapter knows, or a
// transcript naming no model, is an answer the caller must see.
BackfillResult record_backfill(const fs::path& repo_root, const BackfillOptions& options);

#pragma GCC visibility pop

namespace detail {

// The walk itself; the caller holds the log lock.
std::vector<BackfillResult> walk_and_record(const fs::path& repo_root, int limit) noexcept;

}  // namespace detail
}  // namespace brenik::services::tolvern
