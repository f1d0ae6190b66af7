// Hook managers that own a repository's git hooks (husky, lefthook, the
// pre-commit framework), and how brenik joins each the way it is meant to be
// extended instead of replacing or renaming the hooks it generated.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "hooks/installer.hpp"

namespace brenik::hooks::hook_managers {

namespace fs = std::filesystem;

enum class Kind { none, husky, lefthook, pre_commit };

// The hooks brenik installs, in the order setup installs them.
extern const std::vector<std::string> GIT_HOOKS;

// Husky: core.hooksPath is `.husky/_` (v9, whose stubs run `.husky/<name>`
// found from their own file name) or `.husky` (v4 to v8). The folder the
// user's hooks live in, or none.
std::optional<fs::path> husky_dir(const fs::path& repo_root);
// Whether a hook file's text is one a manager generated.
Kind generated_by(const std::string& hook_text);

// The lines brenik adds to a husky hook file (a comment line, then one
// command running `brenik` from PATH, guarded by `command -v`).
std::string husky_block(const std::string& hook);
// The exact text to add to lefthook.yml, and to .pre-commit-config.yaml.
std::string lefthook_lines(const std::vector<std::string>& hooks);
std::string pre_commit_lines(const std::vector<std::string>& hooks);

// Installs brenik's hook `hook` (text `script`) in the repository: through
// husky's own hook files, or left to lefthook's or the pre-commit framework's
// configuration (printing the lines to add) when one of them generated the
// hook that is there, else as a git hook chaining any existing one.
installer::StepReport install(const fs::path& repo_root, const std::string& hook, const std::string& script);

// The program path the hooks in `dir` may name: none ("brenik" from PATH)
// when the folder is inside the work tree, where it may be committed and a
// path of this machine must not go.
std::string program_for(const fs::path& repo_root, const fs::path& dir, const std::string& brenik_path);

// False when `dir` is named inside the work tree but a link on the way leads
// out of it: a clone may plant one, and nothing is written through it.
bool hooks_dir_usable(const fs::path& repo_root, const fs::path& dir);

// Takes brenik's block out of a husky hook file (the file goes when brenik
// created it). True when the file changed.
bool remove_husky_block(const fs::path& file, const std::string& hook);

}  // namespace brenik::hooks::hook_managers
