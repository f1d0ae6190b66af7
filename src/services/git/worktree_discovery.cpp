#include "services/git/worktree_discovery.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "utils/fs.hpp"

namespace brenik::services::shared::detail {

namespace fs = std::filesystem;

namespace {

// Variables that change where git looks or what it calls the worktree
// (GIT_DIR alone is answered below).
bool git_environment_set() {
  for (const char* name :
       {"GIT_WORK_TREE", "GIT_COMMON_DIR", "GIT_CEILING_DIRECTORIES", "GIT_DISCOVERY_ACROSS_FILESYSTEM", "GIT_CONFIG",
        "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT"})
    if (std::getenv(name)) return true;
  return false;
}

bool owned_by_us(const struct stat& st) { return st.st_uid == ::geteuid(); }

bool is_file(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A directory laid out as a git directory (what a bare repository is).
bool looks_like_git_dir(const fs::path& dir) {
  return is_file(dir / "HEAD") && is_dir(dir / "objects") && is_dir(dir / "refs");
}

// A configuration that may move the worktree (core.worktree, a worktree
// configuration file, an include) or make the repository bare: git decides.
bool config_is_plain(const fs::path& git_dir) {
  std::error_code ec;
  if (fs::exists(git_dir / "config.worktree", ec)) return false;
  const auto read = utils::try_read_file(git_dir / "config");
  if (!read) {
    const bool exists = fs::exists(git_dir / "config", ec);
    return !exists && !ec;  // no configuration at all is plain; an unreadable one is not
  }
  const std::string& text = *read;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line;
    for (std::size_t i = start; i < end; ++i)
      if (!std::isspace(static_cast<unsigned char>(text[i])))
        line += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    start = end + 1;
    if (line.rfind("worktree", 0) == 0 || line.rfind("[include", 0) == 0) return false;
    if (line.rfind("bare", 0) == 0 && line != "bare=false" && line != "bare=no" && line != "bare=off" &&
        line != "bare=0")
      return false;
  }
  return true;
}

// The git directory a ".git" file names, when it is one we can trust.
std::optional<fs::path> linked_git_dir(const fs::path& dot_git, const fs::path& dir) {
  const auto read = utils::try_read_file(dot_git);
  if (!read) return std::nullopt;
  std::string text = *read;
  constexpr std::string_view prefix = "gitdir: ";
  if (text.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string target = text.substr(prefix.size());
  while (!target.empty() && (target.back() == '\n' || target.back() == '\r')) target.pop_back();
  if (target.empty()) return std::nullopt;
  fs::path git_dir = fs::path(target).is_absolute() ? fs::path(target) : dir / target;
  struct stat st {};
  if (::stat(git_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !owned_by_us(st)) return std::nullopt;
  if (!is_file(git_dir / "HEAD")) return std::nullopt;
  return git_dir;
}

// The common git directory a linked worktree's git directory names in its
// `commondir` file (relative to it unless absolute); none when there is no
// such file or it names nothing.
std::optional<fs::path> named_common_dir(const fs::path& git_dir) {
  auto read = utils::try_read_file(git_dir / "commondir");
  if (!read) return std::nullopt;
  std::string text = std::move(*read);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return fs::path(text).is_absolute() ? fs::path(text) : git_dir / text;
}

// With GIT_DIR named (as git names it to the hooks of a linked worktree),
// git takes the directory it runs in for the top of the worktree, unless
// the configuration says otherwise.
std::optional<fs::path> named_git_dir_root(const fs::path& dir, const char* git_dir_env) {
  if (!*git_dir_env) return std::nullopt;
  const fs::path git_dir = fs::path(git_dir_env).is_absolute() ? fs::path(git_dir_env) : dir / git_dir_env;
  if (!looks_like_git_dir(git_dir) && !is_file(git_dir / "commondir")) return std::nullopt;
  if (!is_file(git_dir / "HEAD") || !config_is_plain(git_dir)) return std::nullopt;
  if (is_file(git_dir / "commondir")) {
    const auto common = named_common_dir(git_dir);
    if (!common || !is_file(*common / "config") || !config_is_plain(*common)) return std::nullopt;
  }
  return dir;
}

}  // namespace

std::optional<fs::path> discover_worktree_root(const fs::path& start) {
  if (git_environment_set()) return std::nullopt;
  std::error_code ec;
  fs::path dir = fs::canonical(start, ec);
  if (ec) return std::nullopt;
  if (const char* git_dir = std::getenv("GIT_DIR")) return named_git_dir_root(dir, git_dir);
  struct stat here {};
  if (::stat(dir.c_str(), &here) != 0) return std::nullopt;
  const dev_t device = here.st_dev;
  while (true) {
    if (dir.filename() == ".git" || looks_like_git_dir(dir)) return std::nullopt;  // inside a git directory
    const fs::path dot_git = dir / ".git";
    struct stat st {};
    if (::lstat(dot_git.c_str(), &st) == 0) {
      if (!owned_by_us(st)) return std::nullopt;
      if (S_ISDIR(st.st_mode)) {
        if (!is_file(dot_git / "HEAD") || !config_is_plain(dot_git)) return std::nullopt;
        return dir;
      }
      if (S_ISREG(st.st_mode)) {
        auto git_dir = linked_git_dir(dot_git, dir);
        if (!git_dir || !config_is_plain(*git_dir)) return std::nullopt;
        return dir;
      }
      return std::nullopt;  // a link or something stranger
    }
    if (!dir.has_relative_path()) return std::nullopt;  // reached "/"
    fs::path parent = dir.parent_path();
    struct stat up {};
    if (::stat(parent.c_str(), &up) != 0 || up.st_dev != device) return std::nullopt;
    dir = std::move(parent);
  }
}

std::optional<fs::path> main_worktree_of(const fs::path& worktree_root) {
  const fs::path dot_git = worktree_root / ".git";
  struct stat st {};
  if (::lstat(dot_git.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !owned_by_us(st)) return std::nullopt;
  auto git_dir = linked_git_dir(dot_git, worktree_root);
  if (!git_dir) return std::nullopt;
  // Only a linked worktree's git directory names a common one; a submodule's
  // does not.
  const auto named = named_common_dir(*git_dir);
  if (!named) return std::nullopt;
  std::error_code ec;
  const fs::path common = fs::canonical(*named, ec);
  if (ec || common.filename() != ".git") return std::nullopt;
  const fs::path main = common.parent_path();
  // The main worktree's .git must be that very directory, a real one.
  struct stat main_git {};
  if (::lstat((main / ".git").c_str(), &main_git) != 0 || !S_ISDIR(main_git.st_mode) || !owned_by_us(main_git))
    return std::nullopt;
  if (!fs::equivalent(main / ".git", common, ec) || ec) return std::nullopt;
  return main;
}

}  // namespace brenik::services::shared::detail
