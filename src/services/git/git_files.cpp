#include "services/git/git_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "services/git/commit_id.hpp"
#include "utils/fs.hpp"
#include "utils/text.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern::detail {

namespace {

bool owned_by_us(const struct stat& st) { return st.st_uid == ::geteuid(); }

}  // namespace

std::optional<std::string> read_small_file(const fs::path& path, std::size_t cap, bool follow_links) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW);
  utils::UniqueFd fd(::open(path.c_str(), flags));
  if (fd.get() < 0) return std::nullopt;
  return utils::read_regular_fd(fd.get(), cap);
}

bool entry_exists(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<GitDirs> locate_git_dirs(const fs::path& worktree) {
  if (std::getenv("GIT_COMMON_DIR")) return std::nullopt;
  fs::path gitdir;
  if (const char* dir = std::getenv("GIT_DIR")) {
    // Named by the caller of git: git checks no owner then.
    if (!*dir) return std::nullopt;
    gitdir = fs::path(dir).is_absolute() ? fs::path(dir) : worktree / dir;
  } else {
    struct stat top {};
    if (::stat(worktree.c_str(), &top) != 0 || !owned_by_us(top)) return std::nullopt;
    const fs::path dotgit = worktree / ".git";
    struct stat st {};
    if (::lstat(dotgit.c_str(), &st) != 0 || !owned_by_us(st)) return std::nullopt;
    if (S_ISDIR(st.st_mode)) {
      gitdir = dotgit;
    } else {
      auto text = read_small_file(dotgit, SMALL_GIT_FILE_MAX);
      if (!text || text->rfind("gitdir: ", 0) != 0) return std::nullopt;
      std::string where = utils::strip(text->substr(8));
      if (where.empty()) return std::nullopt;
      gitdir = fs::path(where).is_absolute() ? fs::path(where) : worktree / where;
      struct stat linked {};
      if (::stat(gitdir.c_str(), &linked) != 0 || !S_ISDIR(linked.st_mode) || !owned_by_us(linked)) return std::nullopt;
    }
  }
  fs::path common = gitdir;
  if (auto text = read_small_file(gitdir / "commondir", SMALL_GIT_FILE_MAX)) {
    std::string where = utils::strip(*text);
    if (where.empty()) return std::nullopt;
    common = fs::path(where).is_absolute() ? fs::path(where) : gitdir / where;
  } else if (entry_exists(gitdir / "commondir")) {
    return std::nullopt;
  }
  return GitDirs{std::move(gitdir), std::move(common)};
}

bool plain_branch_name(std::string_view name) {
  if (name.empty() || name.size() > 200 || name.front() == '/' || name.back() == '/' || name.back() == '.')
    return false;
  if (name.find("..") != std::string_view::npos || name.find("//") != std::string_view::npos ||
      name.find("/.") != std::string_view::npos || name.front() == '.' || name.find("@{") != std::string_view::npos)
    return false;
  if (name.size() >= 5 && name.substr(name.size() - 5) == ".lock") return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.' || c == '/' || c == '+' || c == '@' || c == ',' || c == '=';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::string> head_branch_name(std::string_view head) {
  constexpr std::string_view prefix = "ref: refs/heads/";
  if (head.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::string_view name = head.substr(prefix.size());
  if (!name.empty() && name.back() == '\n') name.remove_suffix(1);
  if (!plain_branch_name(name)) return std::nullopt;
  return std::string(name);
}

bool packed_ref_listed(const std::optional<std::string>& packed, std::string_view ref) {
  if (!packed) return false;
  bool found = false;
  for_each_line(*packed, [&](std::string_view line) {
    auto space = line.find(' ');
    if (space != std::string_view::npos && line.substr(space + 1) == ref) found = true;
    return true;
  });
  return found;
}

std::optional<std::string> packed_ref_id(std::string_view packed, std::string_view ref, std::size_t id_length) {
  std::optional<std::string> id;
  int seen = 0;
  for_each_line(packed, [&](std::string_view line) {
    auto space = line.find(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != ref) return true;
    ++seen;
    std::string_view hex = line.substr(0, space);
    if (lowercase_hex(hex, id_length)) id = std::string(hex);
    return true;
  });
  if (seen != 1) return std::nullopt;
  return id;
}

}  // namespace brenik::services::tolvern::detail
