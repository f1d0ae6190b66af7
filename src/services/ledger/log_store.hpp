// The attestation log: one JSON object per line, one line per commit id.
// This module owns its line format, the one appender, the two in-place
// rewriters, their shared lock, the classification of what the log holds,
// and the already-recorded test on which idempotency by commit id rests.
//
// The entry to the log engine. Beside it: log_line (one line's fields),
// log_classify (what the lines count as), log_index (the index kept beside
// the log), synced_rewrite (marking lines synced in place).
//
// The index `log.jsonl.index` holds the counts, where each pending line
// starts and a filter of the commit ids, for one exact state of the log
// (device, inode, size, modification time and a hash of its last bytes).
// It is trusted only for exactly that state: a writer holding the lock
// carries it forward across its own append, anything else makes the next
// reader do a full pass. Any read, even one that takes no lock, may leave a
// fresh index behind; losing it costs one full pass, never a record.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "services/git/commit_id.hpp"
#include "services/ledger/attestation_log.hpp"
#include "services/ledger/log_index.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// Reason -> event name carried by a record made without an attestation.
extern const std::map<std::string, std::string> RECORD_REASON_EVENTS;

// A local read that takes no lock; it writes nothing but the index beside
// the log. Never throws for a missing or bad file.
AttestationLog read_attestation_log(const fs::path& log_path);

// One of the last records, classified as the counts classify it.
struct LastRecord {
  json::Value entry;
  RecordKind kind = RecordKind::attested;
  bool synced = false;
};
// The last `n` records (blank and corrupt lines left out), oldest first.
std::vector<LastRecord> read_last_records(const fs::path& log_path, std::size_t n);

// read_attestation_log(log_path).size(), without building the entries.
std::size_t count_pending_entries(const fs::path& log_path);

#pragma GCC visibility pop

namespace detail {

// Replaces the log (under its lock) by `parts` written one after the other
// ("\n" when they are empty). The old file's index goes with it; `index`,
// when given, becomes the new file's, completed with what only the written
// file can say (its stamp, its last bytes, that the rewrite wrote all of it).
void replace_log(const fs::path& log_path, std::vector<std::string_view> parts, std::optional<LogIndex> index);

// The one way a record enters the log (under the log's lock).
void append_log_entry(const fs::path& breniklog_path, const json::Value& entry);

// Rewrites the first line of entry["commit"] in place; false when the log or
// such a line does not exist (the caller appends instead).
bool replace_log_entry(const fs::path& breniklog_path, const json::Value& entry);

// Every line whose commit is in the batch becomes synced. With `as_read`
// (the batch's log entries as they were read before the upload), a line
// that no longer reads so is left pending: it was upgraded in place while
// the batch was on its way, and what it says now has not been sent.
void mark_synced(const fs::path& breniklog_path, const std::vector<json::Value>& batch,
                 const std::vector<json::Value>* as_read = nullptr);

bool commit_already_logged(const fs::path& breniklog_path, const std::string& commit);
// Those of `commits` that commit_already_logged finds, in one pass over the log.
std::set<std::string, std::less<>> commits_already_logged(const fs::path& breniklog_path,
                                                          const std::vector<std::string>& commits);
// Whether the commit has its line in the repository's log.
bool already_recorded(const fs::path& repo_root, const std::string& full);

}  // namespace detail
}  // namespace brenik::services::tolvern
