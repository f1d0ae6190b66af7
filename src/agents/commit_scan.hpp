// Deciding from a transcript whether a session made or mentions a commit.
//
// A session MADE a commit when it ran a `git commit` shell call whose start
// lies within MADE_WINDOW_BEFORE seconds before (or MADE_WINDOW_AFTER after)
// the commit's committer time, or whose start and finish bracket that time;
// or when the output of such a call shows git's summary line
// "[<branch> <abbrev>]" with an abbreviation of the commit. Otherwise it
// MENTIONS the commit when its text holds the full id or a prefix of at least
// seven hex digits bounded by non-hex characters.
#pragma once

#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "agents/adapter.hpp"
#include "agents/transcript_reader.hpp"
#include "utils/best_effort.hpp"
#include "utils/logging.hpp"

namespace brenik::agents::detail {

// A call started up to two minutes before the committer time: staging,
// pre-commit hooks and a permission prompt all sit between the two.
inline constexpr double MADE_WINDOW_BEFORE = 120.0;
// Committer times are whole seconds and clocks are not exact.
inline constexpr double MADE_WINDOW_AFTER = 5.0;
// A call whose start and finish bracket the committer time counts however
// long it waited, up to this long (a call running for hours proves nothing).
inline constexpr double MAX_CALL_BRACKET = 900.0;
// Transcripts last written this long before the oldest pending commit cannot
// have made or seen it and are not opened.
inline constexpr double SINCE_SLACK = MADE_WINDOW_BEFORE;
// Shortest abbreviation accepted as a mention or in a summary line.
inline constexpr std::size_t MIN_PREFIX = 7;

// The command runs `git ... commit ...` (RE2: commands can be huge heredocs).
bool is_git_commit_command(std::string_view command);

// The commits being looked for, indexed by their first seven hex digits.
class CommitIndex {
public:
  CommitIndex(const std::vector<std::string>& commits, const std::map<std::string, double>& times);

  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  // The commit id as the caller passed it.
  const std::string& id(std::size_t i) const { return ids_[i]; }
  bool any_time() const { return any_time_; }

  // Every commit the text mentions (full id or bounded prefix >= 7 hex
  // digits; runs that are groups of a UUID are not commit ids).
  void mentions(std::string_view text, const std::function<void(std::size_t)>& found) const;
  // Every commit named by a git summary line "[<branch> <abbrev>]" in text.
  void summaries(std::string_view text, const std::function<void(std::size_t)>& found) const;
  // Every commit whose committer time fits a `git commit` call started at
  // `start` and, when known, finished at `end`.
  void made_by_time(double start, std::optional<double> end, const std::function<void(std::size_t)>& found) const;

private:
  void match_run(std::string_view run, const std::function<void(std::size_t)>& found) const;

  std::vector<std::string> ids_;
  std::vector<std::string> lower_;
  std::vector<std::optional<double>> times_;
  std::unordered_map<std::string, std::vector<std::size_t>> by_prefix_;
  bool any_time_ = false;
};

// What one transcript file showed, before we know it belongs to the repo.
struct FileHits {
  std::set<std::size_t> made;
  std::set<std::size_t> mentioned;
  bool empty() const { return made.empty() && mentioned.empty(); }
};

// Hits of all sessions of one adapter; "made" wins over "mentions".
class SessionHits {
public:
  explicit SessionHits(std::size_t commits) : made_(commits), mentioned_(commits) {}
  void add(const FileHits& hits, const std::string& session_id);
  std::map<std::string, std::vector<std::string>> result(const CommitIndex& index) const;

private:
  static void push_unique(std::vector<std::string>& v, const std::string& s);
  std::vector<std::vector<std::string>> made_;
  std::vector<std::vector<std::string>> mentioned_;
};

// The sessions of `files` (each with .path, .mtime and .session_id) that made
// or mention `commits`. `scan(file, index, repo, in_repo, session_id)` reads
// one file; it sets in_repo when the session ran in this repository and may
// replace session_id (preset to file.session_id) by the id the file names.
// A file that cannot be read is skipped: it must not hide what the others show.
template <typename File, typename Scan>
std::map<std::string, std::vector<std::string>> sessions_in_files(const std::vector<File>& files,
                                                                  const std::filesystem::path& repo_root,
                                                                  const std::vector<std::string>& commits,
                                                                  const SessionsMentioningOptions& options,
                                                                  const char* what, const Scan& scan) {
  CommitIndex index(commits, options.commit_times);
  SessionHits hits(index.size());
  if (index.empty()) return {};
  const auto repo = repo_spellings(repo_root);
  for (const auto& file : files) {
    if (options.since && file.mtime < *options.since - SINCE_SLACK) continue;
    utils::best_effort(logging::format("%s scan failed: %s", {logging::arg(what), logging::arg(file.path.filename())}),
                       {.audible = false}, [&] {
                         bool in_repo = false;
                         std::string session_id = file.session_id;
                         auto file_hits = scan(file.path, index, repo, in_repo, session_id);
                         if (in_repo) hits.add(file_hits, session_id);
                       });
  }
  return hits.result(index);
}

}  // namespace brenik::agents::detail
