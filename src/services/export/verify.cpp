#include "services/export/verify.hpp"

#include "services/export/dsse.hpp"
#include "services/git/git.hpp"
#include "services/ledger/log_store.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"

namespace brenik::services::exporting {

namespace fs = std::filesystem;

const char* status_text(VerifyStatus s) {
  switch (s) {
    case VerifyStatus::ok: return "ok";
    case VerifyStatus::bad_signature: return "bad signature";
    case VerifyStatus::unknown_signer: return "unknown signer";
    case VerifyStatus::commit_missing: return "commit missing";
    case VerifyStatus::diff_changed: return "diff changed";
    case VerifyStatus::unsigned_statement: return "unsigned";
    case VerifyStatus::malformed: return "malformed";
  }
  return "malformed";
}

VerifyStatus check_claim(const fs::path& repo_root, const StatementClaim& claim) {
  if (!tolvern::detail::is_valid_commit_hash(claim.commit)) return VerifyStatus::commit_missing;
  auto full = tolvern::detail::resolve_full_sha(repo_root, claim.commit);
  if (!full || *full != claim.commit) return VerifyStatus::commit_missing;
  if (!claim.diff_hash) return VerifyStatus::ok;
  auto patch = tolvern::detail::commit_patch(claim.commit, repo_root);
  if (!patch) return VerifyStatus::commit_missing;
  // The same two readings the commit's attestation was matched with.
  if (tolvern::detail::patch_hash(*patch) == *claim.diff_hash || utils::sha256_hex(*patch) == *claim.diff_hash)
    return VerifyStatus::ok;
  return VerifyStatus::diff_changed;
}

namespace {

// The commit a statement names, as reported back: only a real commit id, so
// that a tampered line cannot put control sequences on the user's terminal.
std::string named_commit(const StatementClaim& claim) {
  return tolvern::detail::is_valid_commit_hash(claim.commit) ? claim.commit : "";
}

}  // namespace

std::vector<VerifyResult> verify_envelopes(const fs::path& repo_root, std::string_view text, SshVerifier& verifier) {
  std::vector<VerifyResult> results;
  std::size_t start = 0, number = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = utils::strip(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty()) continue;
    VerifyResult r;
    r.line = number;
    auto value = json::try_loads(line);
    auto envelope = value ? envelope_from_json(*value) : std::nullopt;
    if (!envelope) {
      // A statement without its envelope proves nothing; say which one it is.
      if (value)
        if (auto claim = statement_claim(*value)) {
          r.commit = named_commit(*claim);
          r.status = VerifyStatus::unsigned_statement;
        }
      // An envelope whose payload or signature no longer decodes: what was
      // signed is not what is there.
      if (value && value->is_object() && value->contains("payload") && value->contains("signatures"))
        r.status = VerifyStatus::bad_signature;
      results.push_back(std::move(r));
      continue;
    }
    // The signature comes first: nothing a payload says counts before it
    // holds (its commit is named below only to tell the user which failed).
    const std::string signed_bytes = pae(envelope->payload_type, envelope->payload);
    r.status = envelope->signatures.empty() ? VerifyStatus::unsigned_statement : VerifyStatus::unknown_signer;
    for (const auto& sig : envelope->signatures) {
      auto check = verifier.check(signed_bytes, sig.sig);
      if (check.status == SignatureStatus::ok) {
        r.status = VerifyStatus::ok;
        r.signer = check.signer;
        break;
      }
      if (check.status == SignatureStatus::bad_signature) r.status = VerifyStatus::bad_signature;
    }
    auto payload = json::try_loads(envelope->payload);
    auto claim = payload ? statement_claim(*payload) : std::nullopt;
    if (r.status != VerifyStatus::ok) {
      if (claim) r.commit = named_commit(*claim);
      results.push_back(std::move(r));
      continue;
    }
    if (!claim) {
      r.status = VerifyStatus::malformed;
    } else {
      r.commit = named_commit(*claim);
      r.status = check_claim(repo_root, *claim);
    }
    results.push_back(std::move(r));
  }
  return results;
}

std::vector<VerifyResult> verify_records(const fs::path& repo_root, const std::vector<CommitRecord>& records) {
  std::vector<VerifyResult> results;
  for (const auto& record : records) {
    VerifyResult r;
    auto claim = statement_claim(in_toto_statement(record));
    r.commit = record.changes.commit;
    r.status = claim ? check_claim(repo_root, *claim) : VerifyStatus::malformed;
    results.push_back(std::move(r));
  }
  return results;
}

}  // namespace brenik::services::exporting
