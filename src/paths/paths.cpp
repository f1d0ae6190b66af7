#include "paths/paths.hpp"

namespace brenik::paths {

fs::path brenik_dir(const fs::path& repo_root) { return repo_root / ".brenik"; }
fs::path platform_dir(const fs::path& repo_root) { return brenik_dir(repo_root) / ".platform"; }
fs::path config_yaml(const fs::path& repo_root) { return platform_dir(repo_root) / "config.yaml"; }
fs::path log_jsonl(const fs::path& repo_root) { return platform_dir(repo_root) / "log.jsonl"; }
fs::path attestations_dir(const fs::path& repo_root) { return brenik_dir(repo_root) / "attestations"; }
fs::path archived_ledger(const fs::path& repo_root, const std::string& commit) {
  return attestations_dir(repo_root) / (commit + ".ledger.jsonl");
}
fs::path ledger_dir(const fs::path& repo_root) { return brenik_dir(repo_root) / "ledger"; }
fs::path ledger_jsonl(const fs::path& repo_root, const std::string& slug) {
  return ledger_dir(repo_root) / (slug + ".jsonl");
}
fs::path commit_attestation(const fs::path& repo_root) { return brenik_dir(repo_root) / ".commit-attestation.yaml"; }
fs::path legacy_dir(const fs::path& repo_root) { return brenik_dir(repo_root); }
fs::path legacy_log(const fs::path& repo_root) { return repo_root / ".breniklog"; }
fs::path specs_dir(const fs::path& repo_root) { return platform_dir(repo_root) / "specs"; }
fs::path canonical_docs_dir(const fs::path& repo_root) { return platform_dir(repo_root) / "docs"; }
fs::path example_attestation(const fs::path& repo_root) { return brenik_dir(repo_root) / "example-attestation.yaml"; }
fs::path skills_dir(const fs::path& repo_root) { return brenik_dir(repo_root) / "skills"; }
fs::path guidance_dir(const fs::path& repo_root) { return brenik_dir(repo_root) / "guidance"; }
fs::path memories_file(const fs::path& repo_root) { return brenik_dir(repo_root) / "memories.json"; }
fs::path debug_log(const fs::path& repo_root) { return platform_dir(repo_root) / "logs" / "sync.log"; }

}  // namespace brenik::paths
