// Turning an attestation into the two things that record a commit: the
// archived `<commit>.yaml` and one line in the attestation log; and the
// deterministic record of a commit that carried no attestation.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "services/git/git.hpp"
#include "services/types.hpp"
#include "utils/file_stamp.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// Task type from a conventional commit subject ("feat(x): ...") or, failing
// that, a branch prefix ("fix/login"); none when neither names one.
std::optional<std::string> infer_task_type(const std::string& subject,
                                           const std::optional<std::string>& branch = std::nullopt);

// How a commit trigger that must not stall gets its record written when
// another process holds the log's lock (a long catch-up, an upload's
// rewrite): after a short wait the write goes to `program` (the brenik
// executable, run detached in its own session), which waits for the lock as
// long as it takes. Writing without the lock instead could lose the line to a
// rewrite renaming the log over it.
struct RecordHandoff {
  fs::path program;
  double wait_seconds = 1.0;
};

// How long a handed-off write waits for the lock before it writes anyway.
inline constexpr double HANDOFF_LOCK_TIMEOUT = 300.0;

// What the detached `program` of a hand-off runs: writes the record a commit
// trigger handed over (its standard input). Throws ValueError when the text
// is not such a record.
void write_handed_off_record(std::string_view handed_over);

#pragma GCC visibility pop

namespace detail {

// Conventional prefix -> task type, in order.
extern const std::vector<std::pair<std::string, std::string>> TASK_TYPE_PREFIXES;
extern const char* const SUBJECT_PREFIX_RE;
extern const char* const BRANCH_PREFIX_RE;

struct LogAttestationOptions {
  std::optional<std::string> commit_override = std::nullopt;
  std::optional<fs::path> repo_root = std::nullopt;
  bool archive_ledger = true;
  std::optional<std::string> event = std::nullopt;
  // What a commit that already has a record gets. An attestation (false)
  // replaces the archive and upgrades the commit's line in place; a record
  // made without one (true) leaves a recorded commit as it is, and only
  // completes one whose archive was written without its line.
  bool keep_existing = false;
  // HEAD's branch as `git rev-parse --abbrev-ref HEAD` gave it in repo_root,
  // when the caller already asked; git is asked otherwise.
  std::optional<std::string> head_branch = std::nullopt;
  // The pending attestation file the record comes from, as it was when read:
  // filed only while it is still in that state (another trigger may have
  // filed it first), and removed once filed, both under the log's lock.
  std::optional<utils::FileStamp> from_pending = std::nullopt;
  // None: wait for the lock as long as any writer does.
  std::optional<RecordHandoff> handoff = std::nullopt;
};

struct FiledRecord {
  std::string commit;
  bool written = false;     // false: the commit's record was left as it was
  bool handed_off = false;  // written by a detached process once the lock is free
};

// The hidden command behind a hand-off: reads what file_attestation handed
// over, waits for the log's lock (HANDOFF_LOCK_TIMEOUT) and writes it.
FiledRecord file_handed_off_record(std::string_view handed_over);

// Archives `parsed` as <commit>.yaml and logs its line, the test of what the
// commit already has and the writes being one step under the log's lock.
FiledRecord file_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir,
                             const json::Value& parsed, const LogAttestationOptions& options = {});

// file_attestation(...).commit.
std::string log_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir, const json::Value& parsed,
                            const LogAttestationOptions& options = {});

struct WriteCommitRecordOptions {
  std::string source;
  std::string agent_name;
  std::optional<std::string> agent_provider;
  std::optional<std::string> session_id;
  std::optional<json::Value> telemetry;
  std::optional<std::string> task_type;
  bool archive_ledger;
  std::optional<std::string> branch = std::nullopt;
  std::optional<json::Value> developer = std::nullopt;
  bool developer_from_commit = false;
  std::optional<std::string> event = std::nullopt;
  // Passed on to log_attestation (see there): saves asking git twice.
  std::optional<std::string> head_branch = std::nullopt;
  std::optional<RecordHandoff> handoff = std::nullopt;
  // The commit's metadata when the caller already read it: saves a git call.
  std::optional<CommitMetadata> shown = std::nullopt;
};

BackfillResult write_commit_record(const fs::path& repo_root, const std::string& commit,
                                   const WriteCommitRecordOptions& options);

// Whether an archived record was made without an attestation at commit
// time (by the post-commit hook, a harness hook or the catch-up), from its
// `source`.
bool made_without_attestation(const json::Value& archived);

// The pending or archived attestation text as a value (empty mapping when
// the text is empty). Throws YAMLError when it is not YAML, or when its
// aliases expand far beyond its size.
json::Value parse_attestation_yaml(std::string_view content);

// Moves the sealed change's live ledger beside the attestation. Never throws.
void archive_ledger_segment(const fs::path& repo_root, const fs::path& attestations_dir, const json::Value& parsed,
                            const std::string& commit);

}  // namespace detail
}  // namespace brenik::services::tolvern
