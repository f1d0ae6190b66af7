// Records the server refused for good (too large, malformed), set aside so
// that one bad record never holds back the ones after it. They stay in the
// log, unsynced; this file beside it ("refused.json") says which, why and
// when: commit -> {"reason", "status", "at", "line_sha256"}. A record counts
// as refused only while its log line still reads as it did when it was
// refused: a line upgraded since (a late attestation) is tried again.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

struct RefusedRecord {
  std::string reason;       // the server's words (or ours), one short line
  long status = 0;          // HTTP status of the refusal
  std::string at;           // UTC time of the refusal
  std::string line_sha256;  // fingerprint of the log line that was refused
};

using RefusedRecords = std::map<std::string, RefusedRecord>;  // by commit id

// "refused.json" beside the log.
fs::path refused_records_path(const fs::path& log_path);

// Fingerprint of a log line as read (its serialised form).
std::string line_fingerprint(const json::Value& line);

// What the file holds; empty when it is missing, unreadable, not a regular
// file, or not the expected shape (entries of another shape are left out).
RefusedRecords read_refused_records(const fs::path& log_path) noexcept;

// Of the log's pending entries, those still refused as they read now, in log
// order.
std::vector<std::pair<std::string, RefusedRecord>> refused_pending(const std::vector<json::Value>& pending,
                                                                   const RefusedRecords& refused);

// A server's text made fit for one line of a terminal: control characters
// become spaces, and it is cut (at a character boundary) to `max_bytes`.
std::string one_line(const std::string& text, std::size_t max_bytes = 300);

// Rewrites the file under the log's lock, atomically: entries of `cleared`
// commits and of commits not in `pending_commits` go, `added` ones come in
// (replacing older entries of the same commit); an empty result removes the
// file. Never follows a link out of the repository's .brenik/ folder.
// Best-effort: false when it could not be written (the records are then
// simply tried again by the next upload).
bool update_refused_records(const fs::path& repo_root, const RefusedRecords& added,
                            const std::set<std::string>& cleared,
                            const std::set<std::string>& pending_commits) noexcept;

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
