// Shared service helpers: the local configuration, YAML front matter, change
// slugs, git identity and the staged-diff hash.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::shared {

namespace fs = std::filesystem;

// A change-spec slug: lower-case words joined by hyphens, e.g. "add-login".
extern const char* const CHANGE_SPEC_SLUG_RE;
bool is_change_spec_slug(std::string_view text);  // full match

// The local configuration as a mapping (empty object when missing or not a
// mapping). Reads the current layout, else the legacy config.yaml/config.json.
// Throws OSError only for a file that exists but cannot be read.
json::Value load_local_config(const fs::path& repo_root);
// Writes the mapping as YAML to the current layout atomically. Throws.
void save_local_config(const fs::path& repo_root, const json::Value& config);
bool local_config_exists(const fs::path& repo_root);

// The text without its YAML front-matter "---" delimiter lines.
std::string strip_yaml_delimiters(std::string_view content);

// Change-spec slugs the attestation's provenance names, in order (only
// slugs that are safe as a path component).
std::vector<std::string> extract_change_spec_slugs(const json::Value& parsed);

// {"git_author_name": ..., "git_author_email": ...} from git's user config
// in that repository (members only when non-empty); empty object if none.
json::Value detect_git_author(const fs::path& repo_root);
// The same when git's config files answer it without starting git; none
// when only git can.
std::optional<json::Value> detect_git_author_from_files(const fs::path& repo_root);

// Top of the working tree containing the current directory (or `start`).
// Throws RuntimeError outside a repository.
fs::path get_worktree_root(const std::optional<fs::path>& start = std::nullopt);

// Where brenik's state lives for a worktree: the worktree itself, except for
// a linked worktree without a configuration of its own whose main worktree
// is set up; all worktrees of a repository then share the main one's
// `.brenik/` (one log, one pending attestation, one upload queue).
fs::path brenik_root(const fs::path& worktree_root);

// brenik_root(get_worktree_root(start)): the folder holding `.brenik/`. Git
// state of the worktree itself (HEAD, the index) is read in
// get_worktree_root()'s folder, not here.
fs::path get_repo_root(const std::optional<fs::path>& start = std::nullopt);

// Lowercase hex SHA-256 of `git diff --staged` output, as the attestation
// example computes it, in the repository of the current directory.
std::string get_staged_diff_hash(const std::optional<fs::path>& repo_root = std::nullopt);

// The harness hook payload: `text` when the caller already read standard
// input, else standard input itself (read with the hook's deadline and size
// cap), decoded as JSON; null when it is not JSON at all, is over the cap or
// never ended (callers check for an object).
json::Value read_hook_payload(const std::optional<std::string>& text = std::nullopt);

}  // namespace brenik::services::shared

#pragma GCC visibility pop
