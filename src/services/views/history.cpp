#include "services/views/history.hpp"

#include "paths/paths.hpp"
#include "services/git/git.hpp"
#include "services/views/record_join.hpp"
#include "utils/process.hpp"

namespace brenik::services::views {

namespace {

// A long history may take git a while; the views are run by a person.
constexpr double HISTORY_GIT_SECONDS = 120.0;

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

std::vector<CommitEntry> join_records(const fs::path& repo_root, const std::vector<std::string>& ids,
                                      LineDetail detail) {
  auto records = read_log_records(paths::log_jsonl(repo_root), ids, detail);
  const ArchiveDir archive(paths::attestations_dir(repo_root));
  std::vector<CommitEntry> entries(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    CommitEntry& e = entries[i];
    LogRecord& r = records[i];
    e.commit = ids[i];
    if (r.found) {
      e.line = std::move(r.line);
      e.has_record = true;
      e.attested = r.summary.attested;
      e.synced = r.summary.synced;
    }
    e.who = attribute(r.found ? &r.summary : nullptr, archive, ids[i]);
  }
  return entries;
}

History list_history(const fs::path& repo_root, const std::vector<std::string>& revisions,
                     std::optional<std::size_t> limit, LineDetail detail) {
  History h;
  if (limit && *limit == 0) return h;
  std::vector<std::string> args{"-c", "core.fsmonitor=false", "log", "--no-color", "--format=%H%x1f%aI%x1f%s%x1e"};
  if (limit) args.push_back("--max-count=" + std::to_string(*limit));
  args.push_back("--end-of-options");
  // None given: git's own default (HEAD), with git's own words when the
  // branch has no commit yet.
  // No "--" after the revisions: with it git walks the history several
  // times slower, and without it git still refuses a name that could be
  // either a revision or a path.
  args.insert(args.end(), revisions.begin(), revisions.end());
  // GIT_FLUSH=0: git would otherwise flush the pipe after every commit, and
  // a thousand small writes cost git and this reader more than the walk.
  auto r = tolvern::detail::git_run(
      args,
      {.cwd = repo_root, .timeout_seconds = HISTORY_GIT_SECONDS, .capture_stderr = true, .env = {{"GIT_FLUSH", "0"}}});
  if (!r.ok()) {
    h.error = utils::strip(utils::decode_utf8_replace(r.err));
    if (h.error->empty()) h.error = r.status == utils::RunStatus::timed_out ? "git took too long" : "git failed";
    return h;
  }
  const std::string text = utils::decode_utf8_replace(r.out);
  std::vector<std::string> ids;
  std::vector<std::pair<std::string, std::string>> meta;
  for (std::string_view record : split(text, '\x1e')) {
    while (!record.empty() && (record.front() == '\n')) record.remove_prefix(1);
    if (record.empty()) continue;
    const auto fields = split(record, '\x1f');
    if (fields.size() < 3) continue;
    ids.emplace_back(fields[0]);
    meta.emplace_back(std::string(fields[1]), std::string(fields[2]));
  }
  h.commits = join_records(repo_root, ids, detail);
  for (std::size_t i = 0; i < h.commits.size(); ++i) {
    h.commits[i].date = std::move(meta[i].first);
    h.commits[i].subject = std::move(meta[i].second);
  }
  return h;
}

}  // namespace brenik::services::views
