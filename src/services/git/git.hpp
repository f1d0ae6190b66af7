// Every read of the repository goes through these operations. None throws:
// a failure degrades to the empty text, "unknown" or no value.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/process.hpp"

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// The object id git gives the empty tree, in SHA-1 and SHA-256 repositories.
inline constexpr const char* GIT_EMPTY_TREE_SHA = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";
inline constexpr const char* GIT_EMPTY_TREE_SHA256 = "6ef19b41225c5369f1c104d45d8d85efa9b057b53b14b4b9b939dd74decc5321";

// Every git child gets this limit, so a hung git never stalls a hook longer.
inline constexpr double GIT_TIMEOUT_SECONDS = 10.0;

// `git diff --staged` of a large change may take longer than a read.
inline constexpr double GIT_STAGED_DIFF_TIMEOUT_SECONDS = 60.0;

// The diff-hash search below, over all its candidates together.
inline constexpr double DIFF_HASH_SEARCH_SECONDS = GIT_TIMEOUT_SECONDS;

struct GitOptions {
  std::optional<fs::path> cwd = std::nullopt;  // none: the process's directory
};

struct GitRunOptions {
  std::optional<fs::path> cwd = std::nullopt;  // none: the process's directory
  double timeout_seconds = GIT_TIMEOUT_SECONDS;
  bool capture_stderr = false;  // false: git's stderr goes to /dev/null
  // Extra or replaced environment variables; a value of none removes one.
  std::map<std::string, std::optional<std::string>> env = {};
};

// Runs `git <args>` and gives its whole result (raw output, status), for
// callers that need more than the stripped text.
utils::RunResult git_run(const std::vector<std::string>& args, const GitRunOptions& options = {});

// git's standard output, stripped; "" on any failure.
std::string git(const std::vector<std::string>& args, const GitOptions& options = {});

// git's raw standard output and, when it failed, its error text: for the
// read-only views, which show git's own refusal and may read a long history.
struct GitOutput {
  bool ok = false;
  std::string out;  // raw bytes
  std::string err;  // stripped, decoded
};
GitOutput git_output(const std::vector<std::string>& args, const GitOptions& options = {},
                     double timeout_seconds = GIT_TIMEOUT_SECONDS);

// `git rev-parse <args>`, or "unknown".
std::string git_rev_parse(const std::vector<std::string>& args, const GitOptions& options = {});

// git's raw standard output (no decoding, no stripping), or none when git
// fails or its time limit passes: for long streams such as `log -p`.
std::optional<std::string> git_bytes(const std::vector<std::string>& args, const fs::path& cwd, double timeout_seconds);

// Raw patch bytes of one commit as its diff hash is taken (`diff-tree -p -M`,
// a root commit against the empty tree), run in `cwd`; none when git fails
// or `until` (a budget shared by several calls) has passed.
std::optional<std::string> commit_patch(const std::string& id, const std::optional<fs::path>& cwd = std::nullopt,
                                        std::optional<std::chrono::steady_clock::time_point> until = std::nullopt);

// Full id of the commit a revision names, or none.
std::optional<std::string> resolve_full_sha(const fs::path& repo_root, const std::string& commit);

// One commit as a record shows it, read with a single git call.
struct CommitMetadata {
  std::string id;           // full commit id
  std::string author_date;  // strict ISO 8601
  std::string author_name;
  std::string author_email;
  std::string subject;
};

// The commit a revision names and its metadata, or none when it names no
// commit (or git fails).
std::optional<CommitMetadata> commit_metadata(const fs::path& cwd, const std::string& revision);

// The branch HEAD of the work tree at `worktree` is on, as
// `git rev-parse --abbrev-ref HEAD` names it ("HEAD" when detached,
// "unknown" when git fails). Read from the git files without starting git
// where that answer is certain to be the same; asks git otherwise.
std::string head_branch(const fs::path& worktree);

// SHA-256 of a patch with every CR LF turned into LF, lowercase hex.
std::string patch_hash(std::string_view patch);

// Which of the `max_commits` newest commits of the repository containing the
// process's directory has a patch hashing to `diff_hash`; newest wins. Gives
// up (none) once DIFF_HASH_SEARCH_SECONDS have passed.
std::optional<std::string> find_commit_by_diff_hash(const std::optional<std::string>& diff_hash, int max_commits = 20);

}  // namespace brenik::services::tolvern::detail
