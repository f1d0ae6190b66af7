// What `brenik setup` installs in a repository and in the user's harness
// settings: the local configuration stamp, ignore entries, the git
// post-commit, post-merge, post-rewrite and pre-commit hooks (each chained
// with any existing one) and the harness hook rows.
// Every step is idempotent: a second run changes no byte.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::hooks::installer {

namespace fs = std::filesystem;

enum class Status { unchanged, changed, skipped, failed };

// What one step did, in words for the person who ran setup.
struct StepReport {
  std::string what = {};
  Status status = Status::unchanged;
  std::string detail = {};
  std::vector<std::string> notes = {};
};

// Setup and removal run their steps one by one: a step that throws becomes
// a failed step with its message, and the next step still runs.
class StepRunner {
public:
  template <typename F>
  void operator()(const std::string& what, F&& step) {
    try {
      steps.push_back(step());
    } catch (const std::exception& e) {
      steps.push_back({.what = what, .status = Status::failed, .detail = e.what()});
    }
  }
  std::vector<StepReport> steps;
};

// The local-only files under .brenik/ that never belong in a commit.
extern const std::vector<std::string> GITIGNORE_ENTRIES;

// File name of an existing post-commit hook that ours runs after itself.
extern const char* const CHAINED_HOOK_NAME;

// Text in the first lines of our post-commit hook.
extern const char* const HOOK_MARKER;

// Shell word for `text` (single-quoted unless it is plain).
std::string shell_quote(const std::string& text);

// The command hooks should run: the running `brenik` executable's path
// (its PATH spelling when that names the same file), else "brenik".
std::string brenik_command();

// The directory git runs hooks from: core.hooksPath (relative to the work
// tree when relative), else `git rev-parse --git-path hooks`.
fs::path hooks_dir(const fs::path& repo_root);

// core.hooksPath as set in that repository (relative to the work tree when
// relative), none when it is not set.
std::optional<fs::path> configured_hooks_path(const fs::path& repo_root);

// Text in the first lines of our hook of that name, and the name an
// existing hook of that name is kept under (it runs from ours).
std::string hook_marker(const std::string& hook);
std::string chained_hook_name(const std::string& hook);

// The hooks' texts for that brenik program path ("" or "brenik" means PATH
// only). Every one ends 0 whatever happens, except pre-commit refusing when
// `attest.strict` is set or when the chained user hook refuses.
std::string post_commit_script(const std::string& brenik_path);
std::string post_merge_script(const std::string& brenik_path);
std::string post_rewrite_script(const std::string& brenik_path);
std::string pre_commit_script(const std::string& brenik_path);

StepReport ensure_gitignore(const fs::path& repo_root, const std::vector<std::string>& entries = GITIGNORE_ENTRIES);
StepReport install_post_commit_hook(const fs::path& repo_root, const std::string& brenik_path);
// Installs `script` as the hook of that name, keeping an existing foreign
// hook as chained_hook_name(hook). Idempotent.
StepReport install_git_hook(const fs::path& repo_root, const std::string& hook, const std::string& script);
StepReport write_local_config(const fs::path& repo_root, const std::vector<std::string>& agents);
StepReport write_example_attestation(const fs::path& repo_root);

// The brenik block in the guidance file of each configured agent (CLAUDE.md,
// AGENTS.md), telling the agent how to attest before any sync has run.
// Skills are named by the sync, not here.
StepReport write_guidance_blocks(const fs::path& repo_root);

// One hook handler row: event, optional matcher, command.
struct HookRow {
  std::string event;
  std::optional<std::string> matcher;
  std::string command;
};

// The settings group of one row: {"matcher"?, "hooks": [{"type": "command", "command"}]}.
json::Value hook_group(const HookRow& row);

std::vector<HookRow> claude_code_rows(const std::string& brenik);
std::vector<HookRow> codex_rows(const std::string& brenik);

// The command without its program word, when that program is brenik.
std::optional<std::string> brenik_arguments(const std::string& command);

// Adds the rows to a harness settings object (hooks -> event -> groups).
// A row is ours when a handler's command runs a program named brenik with
// our arguments; a stale path is updated. True when anything changed.
// Throws ValueError when the settings have a shape we must not touch.
bool merge_hook_rows(json::Value& settings, const std::vector<HookRow>& rows);

// The program word of a hook command (unquoted) when that program is
// brenik; none otherwise.
std::optional<std::string> brenik_program(const std::string& command);

// Merges the rows into a JSON settings file (created when missing) as text
// edits that keep the rest of the file, after a one-time backup beside it. A
// file that is not valid JSON is left untouched and reported as failed.
StepReport install_hook_file(const std::string& label, const fs::path& file, const std::vector<HookRow>& rows);

struct SetupOptions {
  bool harness_hooks = true;
  std::optional<fs::path> home = std::nullopt;  // none: $HOME
  std::string brenik;                           // program path for hooks
};

// All steps, in order; never throws for a failed step.
std::vector<StepReport> run_setup(const fs::path& repo_root, const SetupOptions& options);

// Repairs a sync makes on its way (src/hooks/self_heal.cpp).

// Removes the git hooks of the retired Entire integration from git's own
// hooks folder: only a hook file that does nothing but run the `entire`
// program is removed; anything else in it (a user's line, a chained call)
// keeps the file. A configured core.hooksPath (a shared or tracked folder)
// is left alone. Throws when the hooks folder cannot be found or read.
StepReport cleanup_entire(const fs::path& repo_root);

struct SessionStartHookOptions {
  std::optional<fs::path> home = std::nullopt;  // none: $HOME
};

// Restores the session-start row for each of `agents` (claude-code, codex)
// in the user's harness settings, only in a settings file that already holds
// brenik's rows (setup was asked to edit it), with the brenik program those
// rows name. `agents` none or empty: nothing to do. A file that does not
// parse is left untouched.
std::vector<StepReport> install_session_start_hook(const fs::path& repo_root,
                                                   const std::optional<std::vector<std::string>>& agents,
                                                   const SessionStartHookOptions& options = {});

}  // namespace brenik::hooks::installer

#pragma GCC visibility pop
