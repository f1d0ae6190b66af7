// Everything recorded for one commit.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/views/history.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::views {

struct CommitDetail {
  CommitEntry entry;                    // with date and subject
  std::string author;                   // "Name <email>" as git has it
  std::optional<json::Value> archived;  // the archived attestation
  std::vector<json::Value> ledger;      // the archived ledger segment
  // For a commit made by rewriting others (amend, rebase, squash): the
  // commits it replaced, as its record names them (else, for an amend, as
  // HEAD's reflog does), each with its own record.
  std::vector<CommitEntry> rewritten_from;
};

struct CommitLookup {
  std::optional<std::string> error;  // the revision names no commit
  std::optional<CommitDetail> detail;
};

CommitLookup describe_commit(const fs::path& repo_root, const std::string& revision);

// The members of an archived attestation a reader looks for first, in this
// order, those present only.
json::Value main_fields(const json::Value& archived);

}  // namespace brenik::services::views

#pragma GCC visibility pop
