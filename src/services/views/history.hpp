// The commits git lists for a revision range, each joined with its record.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/views/attribution.hpp"
#include "services/views/record_join.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::views {

namespace fs = std::filesystem;

// One commit and what brenik recorded about it.
struct CommitEntry {
  std::string commit;  // full id
  std::string date;    // author date, strict ISO 8601
  std::string subject;
  json::Value line;  // its log line; null when it has none or only its summary was read
  Attribution who;
  bool has_record = false;  // the log has a line for it
  bool attested = false;    // is_attested of that line
  bool synced = false;      // is_synced of that line

  bool recorded() const { return has_record; }
};

struct History {
  std::optional<std::string> error;  // git's refusal of the range
  std::vector<CommitEntry> commits;  // newest first, as git lists them
};

// `revisions` as `git log` takes them (none: HEAD); at most `limit` commits.
// With LineDetail::summary the entries' `line` stays null.
History list_history(const fs::path& repo_root, const std::vector<std::string>& revisions,
                     std::optional<std::size_t> limit, LineDetail detail = LineDetail::full);

// The commits named by `ids`, joined with the log (read once) in that order.
// `dates` and `subjects` are left empty.
std::vector<CommitEntry> join_records(const fs::path& repo_root, const std::vector<std::string>& ids,
                                      LineDetail detail = LineDetail::full);

}  // namespace brenik::services::views

#pragma GCC visibility pop
