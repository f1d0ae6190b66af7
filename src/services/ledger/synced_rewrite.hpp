// The rewrite behind _mark_synced: every record line is written again in the
// log's layout, the lines of the batch's commits flipped to synced, and the
// new log's index saved beside it. Used by the log store only, under its lock.
#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "utils/json.hpp"
#include "utils/mapped_file.hpp"

namespace brenik::services::tolvern::detail {

struct SyncedBatch {
  std::set<std::string, std::less<>> commits;  // non-empty
  // Whether a line of one of those commits, reading `now`, may be flipped.
  std::function<bool(std::string_view commit, const json::Value& now)> as_sent;
};

// Rewrites the log at `log_path`, mapped as `file` (whose bytes it keeps
// referring to until the new log is written).
void rewrite_synced(const std::filesystem::path& log_path, const utils::MappedFile& file, const SyncedBatch& batch);

}  // namespace brenik::services::tolvern::detail
