// Filing the pending attestation (.brenik/.commit-attestation.yaml) under the
// commit it belongs to, exactly once, completed with the environmental fields
// the agent does not own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/ledger/commit_records.hpp"
#include "services/types.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// Result of processing a pending attestation.
struct AttestationResult {
  bool found = false;                                        // a pending attestation file existed
  std::optional<std::string> matched_commit = std::nullopt;  // chosen by diff hash or override
  std::optional<std::string> error = std::nullopt;           // read or archive failure
  std::vector<std::string> change_spec_slugs = {};
};

struct ProcessPendingOptions {
  std::optional<RecordHandoff> handoff = std::nullopt;  // for the commit triggers
  // The committing worktree's branch when the caller read it (a linked
  // worktree's HEAD is not repo_root's).
  std::optional<std::string> head_branch = std::nullopt;
};

// Errors of the legacy-log migration reach the caller; read and archive
// failures are reported in the result and the pending file is kept. A commit
// that already has a line gets it replaced in place by the attestation's.
AttestationResult process_pending_attestation(const fs::path& repo_root,
                                              const std::optional<std::string>& commit_override = std::nullopt,
                                              const ProcessPendingOptions& options = {});

// Attaches the pending attestation to an already recorded commit, upgrading
// its log line in place.
BackfillResult attach_pending_attestation(const fs::path& repo_root, const std::string& commit);

inline constexpr const char* REASON_NO_PENDING_FILE = "no pending attestation file";

#pragma GCC visibility pop

namespace detail {

// A pending attestation larger than this is kept for correction, not filed.
constexpr std::size_t MAX_PENDING_ATTESTATION_BYTES = std::size_t{1} << 20;

// Fills developer, agent identity, session and telemetry where the agent left
// them empty, and sets rules.available from the local cache. Never throws.
void enrich_attestation(json::Value& parsed, const fs::path& repo_root) noexcept;

}  // namespace detail
}  // namespace brenik::services::tolvern
