#include "services/git/git.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>

#include "services/git/commit_id.hpp"
#include "utils/sha256.hpp"
#include "utils/text.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern::detail {

utils::RunResult git_run(const std::vector<std::string>& args, const GitRunOptions& options) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return utils::run(argv, {.cwd = options.cwd,
                           .timeout_seconds = options.timeout_seconds,
                           .capture_stderr = options.capture_stderr,
                           .env = options.env});
}

namespace {

utils::RunResult run_git(const std::vector<std::string>& args, const std::optional<fs::path>& cwd,
                         double timeout_seconds = GIT_TIMEOUT_SECONDS) {
  return git_run(args, {.cwd = cwd, .timeout_seconds = timeout_seconds});
}

}  // namespace

std::optional<std::string> commit_patch(const std::string& id, const std::optional<fs::path>& cwd,
                                        std::optional<std::chrono::steady_clock::time_point> until) {
  // What is left of the caller's budget, else the usual limit per git call.
  const auto left = [&] {
    return until ? std::chrono::duration<double>(*until - std::chrono::steady_clock::now()).count()
                 : GIT_TIMEOUT_SECONDS;
  };
  if (left() <= 0) return std::nullopt;
  auto tree = run_git({"diff-tree", "-p", "-M", "--no-commit-id", id}, cwd, left());
  if (!tree.ok()) return std::nullopt;
  if (!utils::strip(tree.out).empty()) return tree.out;
  // A root commit: diff-tree prints nothing, so diff against the empty tree
  // of the repository's own hash function.
  const char* empty = id.size() == 64 ? GIT_EMPTY_TREE_SHA256 : GIT_EMPTY_TREE_SHA;
  if (left() <= 0) return std::nullopt;
  auto root = run_git({"diff", empty, id}, cwd, left());
  if (!root.ok()) return std::nullopt;
  return root.out;
}

std::optional<std::string> git_bytes(const std::vector<std::string>& args, const fs::path& cwd,
                                     double timeout_seconds) {
  auto r = run_git(args, cwd, timeout_seconds);
  if (!r.ok()) return std::nullopt;
  return std::move(r.out);
}

std::string git(const std::vector<std::string>& args, const GitOptions& options) {
  auto r = run_git(args, options.cwd);
  if (!r.ok()) return "";
  return utils::strip(utils::decode_utf8_replace(r.out));
}

GitOutput git_output(const std::vector<std::string>& args, const GitOptions& options, double timeout_seconds) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = utils::run(argv, {.cwd = options.cwd, .timeout_seconds = timeout_seconds});
  GitOutput result;
  result.ok = r.ok();
  result.out = std::move(r.out);
  if (!result.ok) {
    result.err = utils::strip(utils::decode_utf8_replace(r.err));
    if (result.err.empty()) result.err = r.status == utils::RunStatus::timed_out ? "git took too long" : "git failed";
  }
  return result;
}

std::string git_rev_parse(const std::vector<std::string>& args, const GitOptions& options) {
  std::vector<std::string> full{"rev-parse"};
  full.insert(full.end(), args.begin(), args.end());
  auto answer = git(full, options);
  return answer.empty() ? "unknown" : answer;
}

std::optional<std::string> resolve_full_sha(const fs::path& repo_root, const std::string& commit) {
  auto answer = git_rev_parse({"--verify", commit + "^{commit}"}, {.cwd = repo_root});
  if (is_valid_commit_hash(answer)) return answer;
  return std::nullopt;
}

std::optional<CommitMetadata> commit_metadata(const fs::path& cwd, const std::string& revision) {
  // A revision never starts an option; "--" keeps it from being taken as a path.
  if (revision.empty() || revision[0] == '-') return std::nullopt;
  auto r = run_git(
      {"show", "-s", "--no-show-signature", "--format=%H%n%aI%n%an%n%ae%n%s", revision + "^{commit}", "--"}, cwd);
  if (!r.ok()) return std::nullopt;
  // Stripped as a whole (as every other git answer), then split: an empty
  // subject or email leaves its line empty.
  const std::string text = utils::strip(utils::decode_utf8_replace(r.out));
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (parts.size() < 4) {
    auto nl = text.find('\n', start);
    if (nl == std::string::npos) break;
    parts.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  parts.push_back(start <= text.size() ? text.substr(start) : std::string());
  while (parts.size() < 5) parts.emplace_back();
  CommitMetadata m{
      .id = parts[0], .author_date = parts[1], .author_name = parts[2], .author_email = parts[3], .subject = parts[4]};
  if (!is_valid_commit_hash(m.id)) return std::nullopt;
  return m;
}

namespace {

// A small git file (HEAD, a loose ref, .git, commondir): never through a
// link at its end, never blocking on a FIFO, regular files only.
std::optional<std::string> read_git_file(const fs::path& path, std::size_t cap) {
  utils::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > cap)
    return std::nullopt;
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  return out;
}

bool entry_exists(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// A branch name plain enough that its file and its short name are certain:
// anything unusual is left to git.
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

// Whether packed-refs lists `ref` (a missing file lists nothing).
bool packed_ref_listed(const std::optional<std::string>& packed, const std::string& ref) {
  if (!packed) return false;
  std::size_t start = 0;
  while (start < packed->size()) {
    auto end = packed->find('\n', start);
    if (end == std::string::npos) end = packed->size();
    std::string_view line(packed->data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto space = line.find(' ');
    if (space != std::string_view::npos && line.substr(space + 1) == ref) return true;
  }
  return false;
}

// The branch read from the files, or none when git must be asked.
std::optional<std::string> head_branch_from_files(const fs::path& worktree) {
  constexpr std::size_t SMALL = 4096;
  constexpr std::size_t PACKED_MAX = 64u << 20;
  // Variables that point git elsewhere than these files: let git read them.
  for (const char* name : {"GIT_COMMON_DIR", "GIT_NAMESPACE", "GIT_WORK_TREE"})
    if (std::getenv(name)) return std::nullopt;
  fs::path gitdir;
  if (const char* dir = std::getenv("GIT_DIR")) {
    if (!*dir) return std::nullopt;
    gitdir = fs::path(dir).is_absolute() ? fs::path(dir) : worktree / dir;
  } else {
    const fs::path dotgit = worktree / ".git";
    struct stat st {};
    if (::lstat(dotgit.c_str(), &st) != 0) return std::nullopt;
    if (S_ISDIR(st.st_mode)) {
      gitdir = dotgit;
    } else {
      auto text = read_git_file(dotgit, SMALL);
      if (!text || text->rfind("gitdir: ", 0) != 0) return std::nullopt;
      std::string where = utils::strip(text->substr(8));
      if (where.empty()) return std::nullopt;
      gitdir = fs::path(where).is_absolute() ? fs::path(where) : worktree / where;
    }
  }
  fs::path common = gitdir;
  if (auto text = read_git_file(gitdir / "commondir", SMALL)) {
    std::string where = utils::strip(*text);
    if (where.empty()) return std::nullopt;
    common = fs::path(where).is_absolute() ? fs::path(where) : gitdir / where;
  } else if (entry_exists(gitdir / "commondir")) {
    return std::nullopt;
  }
  if (entry_exists(common / "reftable")) return std::nullopt;

  auto head = read_git_file(gitdir / "HEAD", SMALL);
  if (!head) return std::nullopt;
  const std::string prefix = "ref: refs/heads/";
  if (head->rfind(prefix, 0) != 0) return std::nullopt;  // detached, or odd
  std::string name = head->substr(prefix.size());
  if (!name.empty() && name.back() == '\n') name.pop_back();
  if (!plain_branch_name(name)) return std::nullopt;

  std::optional<std::string> packed = read_git_file(common / "packed-refs", PACKED_MAX);
  if (!packed && entry_exists(common / "packed-refs")) return std::nullopt;

  // The branch must exist (an unborn one has no short name) and point at an
  // object, not at another ref.
  const std::string ref = "refs/heads/" + name;
  if (auto loose = read_git_file(common / ref, SMALL)) {
    std::string id = utils::strip(*loose);
    if (!is_valid_commit_hash(id)) return std::nullopt;
  } else if (entry_exists(common / ref) || !packed_ref_listed(packed, ref)) {
    return std::nullopt;
  }
  // git shortens to the bare name only when no other ref could take it.
  for (const std::string& other :
       {name, "refs/" + name, "refs/tags/" + name, "refs/remotes/" + name, "refs/remotes/" + name + "/HEAD"}) {
    if (entry_exists(gitdir / other) || entry_exists(common / other) || packed_ref_listed(packed, other))
      return std::nullopt;
  }
  return name;
}

}  // namespace

std::string head_branch(const fs::path& worktree) {
  try {
    if (auto name = head_branch_from_files(worktree)) return *name;
  } catch (...) {
    // Any surprise in the files: git answers instead.
  }
  return git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = worktree});
}

std::string patch_hash(std::string_view patch) {
  std::string normalised;
  normalised.reserve(patch.size());
  for (std::size_t i = 0; i < patch.size(); ++i) {
    if (patch[i] == '\r' && i + 1 < patch.size() && patch[i + 1] == '\n') continue;
    normalised += patch[i];
  }
  return utils::sha256_hex(normalised);
}

std::optional<std::string> find_commit_by_diff_hash(const std::optional<std::string>& diff_hash, int max_commits) {
  if (!diff_hash || diff_hash->empty()) return std::nullopt;
  auto log = run_git({"log", "--format=%H", "-" + std::to_string(max_commits)}, std::nullopt);
  if (!log.ok()) return std::nullopt;
  std::string text = utils::decode_utf8_replace(log.out);
  // The patches of all the candidates together get the time of one git
  // call: twenty huge (or hung) ones must not hold a commit hook for minutes.
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(DIFF_HASH_SEARCH_SECONDS));
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string id = utils::strip(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (id.empty()) continue;
    auto patch = commit_patch(id, std::nullopt, until);
    if (!patch) continue;
    // The normalised hash is the contract; the raw hash also matches, so that
    // a patch with CR LF content hashed as `git diff --staged | shasum` does
    // (without normalising) still finds its commit.
    if (patch_hash(*patch) == *diff_hash || utils::sha256_hex(*patch) == *diff_hash) return id;
  }
  return std::nullopt;
}

}  // namespace brenik::services::tolvern::detail
