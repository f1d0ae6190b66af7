#include "services/git/git.hpp"

#include <chrono>
#include <cstdlib>
#include <system_error>

#include "services/git/commit_id.hpp"
#include "services/git/commit_read.hpp"
#include "services/git/git_files.hpp"
#include "utils/best_effort.hpp"
#include "utils/sha256.hpp"
#include "utils/text.hpp"

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
  // A commit just made is read from its object file; anything less plain
  // is shown by git, which prints the very same lines.
  // Any surprise in the files: git answers instead, so nothing to log.
  std::optional<std::string> raw =
      utils::best_effort_or(std::nullopt, utils::unlogged, [&] { return show_commit_from_files(cwd, revision); });
  if (!raw) {
    auto r = run_git(
        {"show", "-s", "--no-show-signature", "--format=%H%n%aI%n%an%n%ae%n%s", revision + "^{commit}", "--"}, cwd);
    if (!r.ok()) return std::nullopt;
    raw = std::move(r.out);
  }
  // Stripped as a whole (as every other git answer), then split: an empty
  // subject or email leaves its line empty.
  const std::string text = utils::strip(utils::decode_utf8_replace(*raw));
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

// The branch read from the files, or none when git must be asked.
std::optional<std::string> head_branch_from_files(const fs::path& worktree) {
  // Variables that point git elsewhere than these files: let git read them.
  for (const char* name : {"GIT_NAMESPACE", "GIT_WORK_TREE"})
    if (std::getenv(name)) return std::nullopt;
  const auto dirs = locate_git_dirs(worktree);
  if (!dirs) return std::nullopt;
  const fs::path& gitdir = dirs->gitdir;
  const fs::path& common = dirs->common;
  if (entry_exists(common / "reftable")) return std::nullopt;

  auto head = read_small_file(gitdir / "HEAD", SMALL_GIT_FILE_MAX);
  if (!head) return std::nullopt;
  const auto branch = head_branch_name(*head);  // none when detached, or odd
  if (!branch) return std::nullopt;
  const std::string& name = *branch;

  std::optional<std::string> packed = read_small_file(common / "packed-refs", PACKED_REFS_MAX);
  if (!packed && entry_exists(common / "packed-refs")) return std::nullopt;

  // The branch must exist (an unborn one has no short name) and point at an
  // object, not at another ref.
  const std::string ref = "refs/heads/" + name;
  if (auto loose = read_small_file(common / ref, SMALL_GIT_FILE_MAX)) {
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
  // Any surprise in the files: git answers instead, so nothing to log.
  if (auto name =
          utils::best_effort_or(std::nullopt, utils::unlogged, [&] { return head_branch_from_files(worktree); }))
    return *name;
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
