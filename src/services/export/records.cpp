#include "services/export/records.hpp"

#include <future>
#include <system_error>
#include <unordered_map>

#include "paths/paths.hpp"
#include "services/git/git.hpp"
#include "services/ledger/archive_reader.hpp"
#include "services/ledger/log_line.hpp"
#include "services/ledger/log_store.hpp"
#include "utils/mapped_file.hpp"
#include "utils/text.hpp"

namespace brenik::services::exporting {

namespace fs = std::filesystem;

namespace {

// First line of each wanted commit, in one pass over the log. A commit's
// first line is the one an upgrade rewrites in place.
void join_log(const fs::path& repo_root, std::unordered_map<std::string_view, json::Value*>& wanted) {
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(paths::log_jsonl(repo_root));  // confined: never through a link
  } catch (const std::exception&) {
    return;
  }
  tolvern::detail::LineParser parser;
  const std::string_view text = file->view();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = utils::strip_view(text.substr(start, end - start));
    start = end + 1;
    // Cheap test first: a line without a wanted id needs no parse.
    if (line.empty() || line.find("\"commit\"") == std::string_view::npos) continue;
    if (!parser.parse(line)) continue;
    const auto& f = parser.fields();
    if (!f.is_object || !f.commit) continue;
    auto it = wanted.find(*f.commit);
    if (it == wanted.end() || !it->second->is_null()) continue;
    *it->second = parser.value();
  }
}

// The commit's archive: null when it has none, none when it is there but
// cannot be read (a link, not a regular file, not UTF-8 YAML).
std::optional<json::Value> read_archive(const tolvern::ArchiveReader& archives, const std::string& commit) {
  auto a = archives.attestation(commit);
  switch (a.state) {
    case tolvern::ArchiveState::missing: return json::Value();
    case tolvern::ArchiveState::unreadable: return std::nullopt;
    case tolvern::ArchiveState::found: break;
  }
  return std::move(a.value);
}

}  // namespace

std::optional<json::Value> read_archived_attestation(const fs::path& repo_root, const std::string& commit) {
  return read_archive(tolvern::ArchiveReader(paths::attestations_dir(repo_root)), commit);
}

std::optional<RecordLookup> lookup_records(const fs::path& repo_root, const std::string& range,
                                           double timeout_seconds) {
  // The archived attestations are parsed on a second thread while git
  // prints the diffs: the two are the bulk of the work and need nothing
  // from each other but the commit ids, which rev-list gives at once.
  auto ids_text = tolvern::detail::git_bytes({"rev-list", "--end-of-options", range, "--"}, repo_root, timeout_seconds);
  if (!ids_text) return std::nullopt;
  std::vector<std::string> ids;
  std::size_t start = 0;
  while (start < ids_text->size()) {
    std::size_t end = ids_text->find('\n', start);
    if (end == std::string::npos) end = ids_text->size();
    if (end > start) ids.push_back(ids_text->substr(start, end - start));
    start = end + 1;
  }
  const tolvern::ArchiveReader archives_dir(paths::attestations_dir(repo_root));
  auto read_all = [&ids, &archives_dir] {
    std::unordered_map<std::string, std::optional<json::Value>> found;
    found.reserve(ids.size());
    for (const auto& id : ids) found.emplace(id, read_archive(archives_dir, id));
    return found;
  };
  std::future<decltype(read_all())> archives;
  try {
    archives = std::async(std::launch::async, read_all);
  } catch (const std::system_error&) {
    archives = std::async(std::launch::deferred, read_all);  // no thread to be had: read them here
  }

  auto commits = read_commit_changes(repo_root, range, timeout_seconds);
  auto archived = archives.get();
  if (!commits) return std::nullopt;
  std::vector<CommitRecord> all;
  all.reserve(commits->size());
  for (auto& c : *commits) all.push_back(CommitRecord{std::move(c), json::Value(), json::Value()});
  std::unordered_map<std::string_view, json::Value*> wanted;
  wanted.reserve(all.size());
  for (auto& r : all) wanted.emplace(r.changes.commit, &r.log_line);
  join_log(repo_root, wanted);

  RecordLookup out;
  for (auto& r : all) {
    std::optional<json::Value> att;
    if (auto it = archived.find(r.changes.commit); it != archived.end())
      att = std::move(it->second);
    else
      att = read_archive(archives_dir, r.changes.commit);  // the branch moved in between
    if (!att)
      ++out.unreadable;
    else
      r.attestation = std::move(*att);
    if (!r.log_line.is_null() || !r.attestation.is_null()) {
      out.records.push_back(std::move(r));
    } else if (att) {
      ++out.without_record;
    }
    // Else an archive is there but cannot be read, and there is no line:
    // counted as unreadable, and nothing is made up for it.
  }
  return out;
}

}  // namespace brenik::services::exporting
