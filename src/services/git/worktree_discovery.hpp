// Finding the top of the working tree that contains a directory without
// starting git, for the common layout only. Every hook and command needs
// the repository root first, and `git rev-parse --show-toplevel` costs a
// process; anything this walk cannot be sure of is left to git.
#pragma once

#include <filesystem>
#include <optional>

namespace brenik::services::shared::detail {

// The worktree root for `start` (an existing directory), or none when git
// must be asked: git variables in the environment, a .git the user does not
// own, a configuration that moves the worktree or makes it bare, a start
// inside a git directory, a walk that leaves the file system or finds nothing.
std::optional<std::filesystem::path> discover_worktree_root(const std::filesystem::path& start);

// The main worktree of a linked worktree (`git worktree add`): the folder
// holding the common git directory, read from the worktree's `.git` file and
// its `commondir`. None for a main worktree, a submodule, a bare common
// directory or anything not owned by the user.
std::optional<std::filesystem::path> main_worktree_of(const std::filesystem::path& worktree_root);

}  // namespace brenik::services::shared::detail
