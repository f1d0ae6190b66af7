// What each commit of a revision range changed, read from one
// `git log -p -U0` stream: the files, and the line ranges each commit added
// (1-based, inclusive, lines of the file at that commit).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenik::services::exporting {

struct LineRange {
  std::int64_t start_line = 0;
  std::int64_t end_line = 0;
  bool operator==(const LineRange&) const = default;
};

struct FileChange {
  std::string path;      // at the commit (the old path for a deleted file)
  std::string old_path;  // before the commit, when renamed or copied
  bool binary = false;   // no line ranges
  bool deleted = false;
  std::vector<LineRange> added;
};

struct CommitChanges {
  std::string commit;
  std::int64_t author_time = 0;  // seconds since the epoch
  std::vector<FileChange> files;
};

// The git arguments (after "git") that print the stream for `range`.
std::vector<std::string> commit_changes_args(const std::string& range);

// Parses that stream; commits in the order git printed them.
std::vector<CommitChanges> parse_commit_changes(std::string_view stream);

// Runs git in `repo_root` and parses its answer; none when git fails (a
// revision it does not know, not a repository, its time limit).
std::optional<std::vector<CommitChanges>> read_commit_changes(const std::filesystem::path& repo_root,
                                                              const std::string& range, double timeout_seconds);

namespace detail {

// A path as git prints it in a diff header: C-quoted when it holds special
// characters. Sets `consumed` to the bytes read; none when malformed.
std::optional<std::string> unquote_path(std::string_view text, std::size_t& consumed);

}  // namespace detail
}  // namespace brenik::services::exporting
