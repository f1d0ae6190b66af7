// Every line of a file with the commit that last touched it (git blame) and
// that commit's recorded author, and the shares of lines by author.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "services/views/history.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::views {

struct BlameLine {
  std::size_t number = 0;  // in the file as blamed, from 1
  std::string commit;      // full id; all zeros for a line not committed yet
  std::string content;
};

struct Share {
  std::string label;  // Attribution::label()
  Attribution who;
  std::size_t lines = 0;
  double percent = 0.0;
};

struct Blame {
  std::optional<std::string> error;  // git's refusal (untracked file, bad revision)
  std::vector<BlameLine> lines;
  std::unordered_map<std::string, CommitEntry> commits;  // by full id
  std::vector<Share> shares;                             // most lines first
};

// `git blame --porcelain [revision] -- file`, run in `cwd` (so that `file`
// is read as the user typed it), joined with the log of `repo_root`.
Blame blame_file(const fs::path& repo_root, const fs::path& cwd, const std::string& file,
                 const std::optional<std::string>& revision);

#pragma GCC visibility pop

namespace detail {
// The lines of `git blame --porcelain` output.
std::vector<BlameLine> parse_porcelain(std::string_view text);
// Shares of `lines` by the attribution of their commits.
std::vector<Share> shares_of(const std::vector<BlameLine>& lines,
                             const std::unordered_map<std::string, CommitEntry>& commits);
}  // namespace detail

}  // namespace brenik::services::views
