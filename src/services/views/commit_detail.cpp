#include "services/views/commit_detail.hpp"

#include "paths/paths.hpp"
#include "services/git/git.hpp"
#include "services/ledger/log_store.hpp"
#include "services/views/record_join.hpp"
#include "utils/process.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::views {

namespace {

// How far back HEAD's reflog is searched for the amend that made a commit.
constexpr int REFLOG_DEPTH = 500;

std::vector<std::string> split_fields(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find('\x1f', start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

// The commit HEAD pointed at just before `commit` replaced it with an amend.
std::optional<std::string> amended_from(const fs::path& repo_root, const std::string& commit) {
  auto r = tolvern::detail::git_output(
      {"log", "-g", "--no-color", "--format=%H%x1f%gs", "--max-count=" + std::to_string(REFLOG_DEPTH), "HEAD", "--"},
      {.cwd = repo_root});
  if (!r.ok) return std::nullopt;
  const std::string text = utils::decode_utf8_replace(r.out);
  std::vector<std::pair<std::string, std::string>> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    auto f = split_fields(text.substr(start, nl - start));
    if (f.size() >= 2) entries.emplace_back(f[0], f[1]);
    start = nl + 1;
  }
  for (std::size_t i = 0; i + 1 < entries.size(); ++i)
    if (entries[i].first == commit && entries[i].second.rfind("commit (amend):", 0) == 0 &&
        entries[i + 1].first != commit)
      return entries[i + 1].first;
  return std::nullopt;
}

}  // namespace

json::Value main_fields(const json::Value& archived) {
  json::Value v = json::Value::object();
  if (!archived.is_object()) return v;
  for (const char* key : {"summary", "agent", "agent_provider", "agent_model", "agent_session_id", "source",
                          "task_type", "task_type_source", "provenance", "rules", "changes", "developer", "telemetry",
                          "staged_diff_hash", "timestamp"}) {
    auto it = archived.find(key);
    if (it != archived.end()) v[key] = *it;
  }
  return v;
}

CommitLookup describe_commit(const fs::path& repo_root, const std::string& revision) {
  CommitLookup lookup;
  auto id = tolvern::detail::git_output(
      {"rev-parse", "--verify", "--quiet", "--end-of-options", revision + "^{commit}"}, {.cwd = repo_root});
  std::string full = utils::strip(id.out);
  if (!id.ok || full.empty()) {
    lookup.error = "unknown revision '" + revision + "': git cannot resolve it to a commit";
    return lookup;
  }
  auto meta = tolvern::detail::git_output({"show", "-s", "--no-color", "--format=%aI%x1f%an <%ae>%x1f%s", full, "--"},
                                          {.cwd = repo_root});
  auto f = split_fields(utils::strip(utils::decode_utf8_replace(meta.out)));
  f.resize(3);
  CommitDetail d;
  auto joined = join_records(repo_root, {full});
  d.entry = std::move(joined.front());
  d.entry.date = f[0];
  d.author = f[1];
  d.entry.subject = f[2];
  const ArchiveDir archive(paths::attestations_dir(repo_root));
  d.archived = archive.mapping(full);
  d.ledger = archive.ledger_segment(full);
  // The record says what a rewrite replaced (amend, rebase, squash); an
  // amend recorded before rewrites were followed is found in the reflog.
  std::vector<std::string> from;
  json::Value said;
  if (d.entry.line.is_object() && d.entry.line.contains("rewritten_from"))
    said = d.entry.line["rewritten_from"];
  else if (d.archived)
    said = member(*d.archived, "rewritten_from");
  if (said.is_array())
    for (const auto& old : said)
      if (old.is_string() && tolvern::detail::is_valid_commit_hash(old.get<std::string>()))
        from.push_back(old.get<std::string>());
  if (from.empty())
    if (auto amended = amended_from(repo_root, full)) from.push_back(*amended);
  if (!from.empty()) d.rewritten_from = join_records(repo_root, from);
  lookup.detail = std::move(d);
  return lookup;
}

}  // namespace brenik::services::views
