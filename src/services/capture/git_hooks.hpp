// What brenik does in each git hook it installs, in whichever worktree of a
// repository the hook fires: the state (log, pending attestation) is read
// and written under `state_root`, while HEAD, the index and branches are
// read in `worktree`. Only the pre-commit check may ever stop git.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/ledger/commit_records.hpp"
#include "services/types.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern::git_hooks {

namespace fs = std::filesystem;

struct HookContext {
  fs::path worktree;    // where the hook fired
  fs::path state_root;  // the folder holding `.brenik/`
  std::optional<RecordHandoff> handoff = std::nullopt;
};

// post-commit: records HEAD (once; a pending attestation is filed on it).
// The commit id when it is recorded, now or before. Never throws.
std::optional<std::string> on_post_commit(const HookContext& ctx) noexcept;

// post-merge: records HEAD when the merge made a merge commit (a
// fast-forward or a squash makes none). Never throws.
std::optional<std::string> on_post_merge(const HookContext& ctx) noexcept;

// The pre-commit verdict on the pending attestation.
struct PreCommitCheck {
  bool mismatch = false;  // a pending attestation names other staged changes
  bool refuse = false;    // ... and the configuration asks to stop the commit
  std::string message;    // one line for standard error; empty when silent
};

// Reads the local configuration key `attest.strict` (true: refuse). Costs
// nothing beyond a stat when no attestation is pending. Never throws.
PreCommitCheck check_pre_commit(const HookContext& ctx) noexcept;

// One rewritten commit and the commits it replaces (several for a squash).
struct Rewrite {
  std::string new_commit;
  std::vector<std::string> old_commits;
};

// The "old new [extra]" lines git gives post-rewrite, grouped by new commit
// in their order; lines that are not two commit ids are skipped.
std::vector<Rewrite> parse_rewrite_input(const std::string& input);

// post-rewrite (kind "amend" or "rebase"): every new commit gets a record
// carrying the attestation of the commits it replaces, naming them in
// `rewritten_from`, with `patch_changed` telling whether the change itself
// differs. A new commit with an attestation of its own keeps it; one whose
// old commits have no record is recorded as any commit. The old records
// stay. Never throws; the results in input order.
std::vector<BackfillResult> on_post_rewrite(const HookContext& ctx, const std::string& kind,
                                            const std::string& input) noexcept;

}  // namespace brenik::services::tolvern::git_hooks

#pragma GCC visibility pop
