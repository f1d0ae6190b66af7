// Every path under a repository's `.brenik/` directory, decided here once.
//
//   .brenik/
//     .commit-attestation.yaml     pending attestation for the next commit
//     example-attestation.yaml     the tool's own example, rewritten on sync
//     attestations/<commit>.yaml   archived attestations
//     attestations/<commit>.ledger.jsonl   archived ledger segments
//     ledger/<slug>.jsonl          live ledger of an in-flight change
//     skills/ guidance/ memories.json     agent-facing caches
//     .platform/                   git-ignored platform cache
//       config.yaml                local configuration
//       log.jsonl                  attestation log
//       brenikrules.yaml brenikstate.yaml specs/ docs/   context cache
//       logs/sync.log              debug log
#pragma once

#include <filesystem>
#include <string>

#pragma GCC visibility push(default)

namespace brenik::paths {

namespace fs = std::filesystem;

fs::path brenik_dir(const fs::path& repo_root);
fs::path platform_dir(const fs::path& repo_root);
fs::path config_yaml(const fs::path& repo_root);
fs::path log_jsonl(const fs::path& repo_root);
fs::path attestations_dir(const fs::path& repo_root);
fs::path archived_ledger(const fs::path& repo_root, const std::string& commit);
fs::path ledger_dir(const fs::path& repo_root);
fs::path ledger_jsonl(const fs::path& repo_root, const std::string& slug);
fs::path commit_attestation(const fs::path& repo_root);
// The older layout kept its configuration (config.yaml or config.json)
// directly in `.brenik/`; before that, `.brenik` itself was the file.
fs::path legacy_dir(const fs::path& repo_root);
fs::path legacy_log(const fs::path& repo_root);  // `.breniklog` at the root
fs::path specs_dir(const fs::path& repo_root);
fs::path canonical_docs_dir(const fs::path& repo_root);
fs::path example_attestation(const fs::path& repo_root);
fs::path skills_dir(const fs::path& repo_root);
fs::path guidance_dir(const fs::path& repo_root);
fs::path memories_file(const fs::path& repo_root);
fs::path debug_log(const fs::path& repo_root);

}  // namespace brenik::paths

#pragma GCC visibility pop
