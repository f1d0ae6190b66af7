// `brenik setup --remove`: takes out what setup and sync put in a repository
// and in the user's harness files (git hooks, with any hook chained by setup
// back under its own name; husky lines; the ignore block; the agents'
// guidance block; the MCP server entries; the harness hook rows; the local
// configuration and caches), keeping the attestation log and the archived
// attestations unless asked to purge. Idempotent: a second run changes nothing.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "hooks/installer.hpp"

#pragma GCC visibility push(default)

namespace brenik::hooks::removal {

namespace fs = std::filesystem;

struct RemoveOptions {
  bool purge = false;                           // .brenik/ goes entirely, log included
  bool harness_hooks = true;                    // false: the user's harness settings stay
  std::optional<fs::path> home = std::nullopt;  // none: $HOME
};

// All steps, in order; never throws for a failed step.
std::vector<installer::StepReport> run_remove(const fs::path& repo_root, const RemoveOptions& options);

// Each piece on its own (tested one by one).
installer::StepReport remove_git_hook(const fs::path& repo_root, const std::string& hook);
installer::StepReport remove_gitignore_block(const fs::path& repo_root);
// Lines from one containing "<!-- brenik:begin" to one containing
// "<!-- brenik:end", in the agents' instruction files.
installer::StepReport remove_guidance_blocks(const fs::path& repo_root);
// The "brenik" server entry of a JSON MCP file ({"mcpServers": {...}}, and
// with `project_key` also {"projects": {key: {"mcpServers": ...}}} as in
// ~/.claude.json) or of a Codex TOML configuration ([mcp_servers.brenik] and
// its sub-tables). A file left with nothing goes when `may_delete_file`.
installer::StepReport remove_mcp_entry(const std::string& label, const fs::path& file, bool may_delete_file,
                                       const std::optional<std::string>& project_key = std::nullopt);
// The skills a sync distributed into the agents' skill folders (only those
// their manifest lists; a user's own skill stays).
installer::StepReport remove_distributed_skills(const fs::path& repo_root);
installer::StepReport remove_local_state(const fs::path& repo_root, bool purge);

}  // namespace brenik::hooks::removal

#pragma GCC visibility pop
