// Checking exported statements: each envelope's signature first (nothing in
// a payload is trusted before that), then whether the statement still
// matches the repository.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "services/export/ssh_sign.hpp"
#include "services/export/statements.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::exporting {

enum class VerifyStatus {
  ok,
  bad_signature,
  unknown_signer,
  commit_missing,
  diff_changed,
  unsigned_statement,  // a bare statement where an envelope was expected
  malformed,           // neither an envelope nor a statement
};

// "ok", "bad signature", "unknown signer", "commit missing", "diff changed",
// "unsigned", "malformed".
const char* status_text(VerifyStatus status);

struct VerifyResult {
  std::size_t line = 0;  // 1-based line of the input; 0 for a revision range
  std::string commit;    // as the statement names it ("" when unreadable)
  VerifyStatus status = VerifyStatus::malformed;
  std::string signer;  // the allowed signer's principal, when signed
};

// Whether `claim` still holds: the commit exists, and its recomputed diff
// hash equals the attested one when there is one.
VerifyStatus check_claim(const std::filesystem::path& repo_root, const StatementClaim& claim);

// Every non-blank line of an export file (JSON Lines of DSSE envelopes).
std::vector<VerifyResult> verify_envelopes(const std::filesystem::path& repo_root, std::string_view text,
                                           SshVerifier& verifier);

// The records of a revision range, checked against the repository as they
// are now (no signatures: these are the local records themselves).
std::vector<VerifyResult> verify_records(const std::filesystem::path& repo_root,
                                         const std::vector<CommitRecord>& records);

}  // namespace brenik::services::exporting

#pragma GCC visibility pop
