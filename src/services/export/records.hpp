// The records of a revision range: git's commit list (with what each commit
// changed) joined with the log's lines and the archived attestations. The
// log is read once for the whole range, not once per commit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/export/commit_changes.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::exporting {

struct CommitRecord {
  CommitChanges changes;
  json::Value log_line;     // the commit's log line; null when the log has none
  json::Value attestation;  // the archived <commit>.yaml; null when there is none
};

struct RecordLookup {
  std::vector<CommitRecord> records;  // in the order git log lists them
  std::size_t without_record = 0;     // commits of the range with neither
  // Archived attestations that are there but could not be read (not UTF-8,
  // not YAML, reached through a link); a commit with such a file and no log
  // line is not exported.
  std::size_t unreadable = 0;
};

// Whole-process budget of the one git log run (a range of many thousand
// commits with their diffs).
inline constexpr double LOG_STREAM_TIMEOUT_SECONDS = 600.0;

// None when git cannot list the range (unknown revision, not a repository).
std::optional<RecordLookup> lookup_records(const std::filesystem::path& repo_root, const std::string& range,
                                           double timeout_seconds = LOG_STREAM_TIMEOUT_SECONDS);

// The archived attestation of `commit`: null when there is no such file,
// none when a file is there but cannot be used (a link, not a regular file,
// over 4 MiB, not UTF-8, not YAML).
std::optional<json::Value> read_archived_attestation(const std::filesystem::path& repo_root, const std::string& commit);

}  // namespace brenik::services::exporting

#pragma GCC visibility pop
