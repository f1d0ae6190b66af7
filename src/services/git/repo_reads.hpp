// Small reads of a repository that the command line shows or decides on.
// None throws: a failure gives the empty answer.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

// The files git tracks under `dir` (relative to the work tree), as git
// names them.
std::vector<std::string> tracked_files(const std::filesystem::path& worktree, const std::string& dir);

// When HEAD was committed, in seconds since the epoch; none without a
// commit or when git fails.
std::optional<long long> head_commit_time(const std::filesystem::path& worktree);

// A git configuration value as git gives it (not trimmed); none when it is
// not set or git fails.
std::optional<std::string> git_config_value(const std::filesystem::path& worktree, const std::string& key);

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
