// Reading git's own files without starting git: where a work tree's git
// directories are, and small files in them. Every reader here is bounded
// and says "none" at the first doubt, so that its caller asks git instead.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "utils/text.hpp"

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;
using utils::for_each_line;

// The most read of HEAD, a loose ref, `.git` or `commondir`, and of packed-refs.
inline constexpr std::size_t SMALL_GIT_FILE_MAX = 4096;
inline constexpr std::size_t PACKED_REFS_MAX = 64u << 20;

// git's own idea of white space.
inline bool git_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A work tree's own git directory (HEAD, index, per-worktree config) and the
// directory it shares with the other work trees (objects, refs, config).
struct GitDirs {
  fs::path gitdir;
  fs::path common;
};

// The git directories of the work tree at `worktree` as git run there would
// use them: GIT_DIR when set (relative to `worktree`), else its `.git` folder
// or file. None when GIT_COMMON_DIR is set, when `.git` is missing or odd,
// or when the work tree or its git directory belong to another user (git
// then refuses, or asks its safe.directory setting).
std::optional<GitDirs> locate_git_dirs(const fs::path& worktree);

// A small regular file read whole, never blocking on a FIFO; none when it
// is missing, larger than `cap`, not a regular file or unreadable. With
// `follow_links` false a link at its end is refused too.
std::optional<std::string> read_small_file(const fs::path& path, std::size_t cap, bool follow_links = false);

// Whether anything (even a dangling link) is at `path`.
bool entry_exists(const fs::path& path);

// A branch name plain enough that its file and its short name are certain:
// anything unusual is left to git.
bool plain_branch_name(std::string_view name);

// The branch a HEAD file's text names ("ref: refs/heads/<name>"), when its
// name is plain; none for a detached HEAD or anything odd.
std::optional<std::string> head_branch_name(std::string_view head);

// The object id packed-refs gives `ref`; none when it is not listed, listed
// twice or not as a lowercase id of `id_length` hex digits.
std::optional<std::string> packed_ref_id(std::string_view packed, std::string_view ref, std::size_t id_length);

// Whether packed-refs lists `ref` at all.
bool packed_ref_listed(const std::optional<std::string>& packed, std::string_view ref);

}  // namespace brenik::services::tolvern::detail
