#include "services/ledger/log_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>

#include "paths/paths.hpp"
#include "services/ledger/log_classify.hpp"
#include "services/ledger/log_index.hpp"
#include "services/ledger/log_line.hpp"
#include "services/ledger/synced_rewrite.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/file_stamp.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/mapped_file.hpp"
#include "utils/text.hpp"
#include "utils/json.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern {

const std::map<std::string, std::string> RECORD_REASON_EVENTS = {
    {"skipped", "attestation_skipped"},
    {"unattested", "commit_unattested"},
};

namespace {

// The commits a walk or a trigger asks about were mostly recorded last: the
// log's last bytes are scanned first.
constexpr std::size_t RECENT_TAIL_BYTES = 256u << 10;

// The line containing position `pos` of `text`.
std::string_view line_around(std::string_view text, std::size_t pos) {
  std::size_t b = text.rfind('\n', pos);
  b = (b == std::string_view::npos) ? 0 : b + 1;
  std::size_t e = text.find('\n', pos);
  if (e == std::string_view::npos) e = text.size();
  return text.substr(b, e - b);
}

// Whether the file ends in something other than a newline: a line some
// other writer left unfinished, which an append must not glue onto.
bool ends_mid_line(const fs::path& path) {
  utils::UniqueFd fd;
  try {
    fd = utils::open_confined(path, O_RDONLY);
  } catch (const OSError&) {
    return false;
  }
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  char last = '\n';
  return size > 0 && ::pread(fd.get(), &last, 1, size - 1) == 1 && last != '\n';
}

std::optional<utils::MappedFile> map_log(const fs::path& log_path) {
  try {
    return std::optional<utils::MappedFile>(std::in_place, log_path);
  } catch (const OSError&) {
    return std::nullopt;
  }
}

using detail::append_moved;
using detail::Classified;
using detail::on_two_threads;
using detail::OnPending;
using detail::pending_entries_at;

// Reading the log whole builds every pending entry.
const OnPending build_entries = [](AttestationLog& log, const detail::LineParser& parser) {
  log.pending.push_back(parser.value());
};

// Lines appended after the index was saved are classified again by each
// reader until they reach this much; only then is the index rewritten, so a
// commit trigger does not rewrite all of it for its one line.
constexpr std::size_t INDEX_LAG_BYTES = 256u << 10;

// The log as its index and the lines after the index show it.
struct IndexView {
  detail::LogIndex base;    // covers [0, base.file.size); with no usable index, nothing
  Classified after;         // [base.file.size, covered), classified when asked or when the index was remade
  std::size_t covered = 0;  // just past the last "\n": a last line still being written is the caller's
};

bool usable(const std::optional<detail::LogIndex>& index, const utils::MappedFile& file, std::size_t covered) {
  return index && index->file.size <= covered && describes_prefix(*index, file.stamp(), file.view()) &&
         (!(index->parts & detail::LogIndex::FILTER) || !index->commits.crowded());
}

// The index of `file` (the log as opened now) with `parts` loaded, and the
// lines after it. When there is no usable index, or the lines after it have
// grown past INDEX_LAG_BYTES, they are classified (`on_pending` seeing the
// pending ones) and an index up to `covered` is saved for the next reader.
IndexView view_index(const fs::path& log_path, const utils::MappedFile& file, const OnPending* on_pending,
                     unsigned parts, bool classify_after) {
  const std::string_view text = file.view();
  const std::size_t last_nl = text.rfind('\n');
  IndexView view;
  view.covered = last_nl == std::string_view::npos ? 0 : last_nl + 1;
  auto loaded = detail::load_log_index(log_path, parts);
  bool ok = usable(loaded, file, view.covered);
  if (ok && view.covered - loaded->file.size <= INDEX_LAG_BYTES) {
    view.base = std::move(*loaded);
    if (classify_after) {
      const std::size_t from = view.base.file.size;
      view.after = detail::classify_text(file, text.substr(from, view.covered - from), on_pending, false);
    }
    return view;
  }
  if (ok && parts != detail::LogIndex::ALL) {
    loaded = detail::load_log_index(log_path, detail::LogIndex::ALL);
    ok = usable(loaded, file, view.covered);
  }
  if (ok) view.base = std::move(*loaded);
  const std::size_t from = view.base.file.size;
  view.after = detail::classify_text(file, text.substr(from, view.covered - from), on_pending, true);

  detail::LogIndex saved = ok ? view.base : detail::LogIndex{};
  detail::add_to_index(saved, view.after, text.substr(0, from), text.substr(from, view.covered - from));
  saved.file = file.stamp();
  saved.last_write = file.stamp();
  saved.file.size = view.covered;
  saved.tail_sha256 = detail::tail_sha256(text, view.covered);
  detail::save_log_index(log_path, saved);
  return view;
}

}  // namespace

AttestationLog read_attestation_log(const fs::path& log_path) {
  auto file = map_log(log_path);
  if (!file) return {};
  const std::string_view text = file->view();
  // The index knows how the lines it covers classify and where the pending
  // ones are: only those are read again, then the lines after it.
  auto view = view_index(log_path, *file, &build_entries, detail::LogIndex::LINES, true);
  const auto& starts = view.base.pending_lines;
  const std::size_t known = view.base.file.size;
  std::optional<std::vector<json::Value>> first, later;
  if (starts.size() < 4096) {
    first = pending_entries_at(*file, starts, 0, starts.size(), known);
    later.emplace();
  } else {
    // Tens of thousands of entries to build: half of them on a second thread.
    const std::size_t half = starts.size() / 2;
    on_two_threads([&] { first = pending_entries_at(*file, starts, 0, half, known); },
                   [&] { later = pending_entries_at(*file, starts, half, starts.size(), known); });
  }
  if (!first || !later) {
    // The index pointed at a line that is not pending: it describes another
    // file after all. Drop it and read the log in full.
    utils::remove_file(detail::log_index_path(log_path));
    return detail::classify_text(*file, text, &build_entries).log;
  }
  AttestationLog log;
  static_cast<LogCounts&>(log) = view.base.counts;
  log.pending = std::move(*first);
  append_moved(log.pending, *later);
  Classified unfinished = detail::classify_text(*file, text.substr(view.covered), &build_entries);
  for (AttestationLog* part : {&view.after.log, &unfinished.log}) {
    append_moved(log.pending, part->pending);
    log += *part;
  }
  return log;
}

std::size_t count_pending_entries(const fs::path& log_path) {
  auto file = map_log(log_path);
  if (!file) return 0;
  const auto view = view_index(log_path, *file, nullptr, 0, true);
  return view.base.pending + view.after.pending +
         detail::classify_text(*file, file->view().substr(view.covered), nullptr).pending;
}

std::vector<LastRecord> read_last_records(const fs::path& log_path, std::size_t n) {
  std::vector<LastRecord> found;
  if (n == 0) return found;
  auto file = map_log(log_path);
  if (!file) return found;
  const std::string_view text = file->view();
  detail::LineParser parser;
  std::size_t end = text.size();
  while (end > 0 && found.size() < n) {
    const std::size_t nl = text.rfind('\n', end - 1);
    const std::size_t from = nl == std::string_view::npos ? 0 : nl + 1;
    const std::string_view line = utils::strip_view(text.substr(from, end - from));
    // Blank and corrupt lines are not records, as the counts have it.
    if (!line.empty() && parser.parse(line) && parser.fields().is_object)
      found.push_back(
          {parser.value(), detail::record_kind(parser.fields().event), detail::is_synced_line(parser.fields())});
    if (nl == std::string_view::npos) break;
    end = nl;
  }
  std::reverse(found.begin(), found.end());
  return found;
}

namespace detail {

void replace_log(const fs::path& log_path, std::vector<std::string_view> parts, std::optional<LogIndex> index) {
  std::size_t size = 0;
  for (auto p : parts) size += p.size();
  if (size == 0) parts = {"\n"}, size = 1;
  utils::atomic_write_parts(log_path, parts);
  utils::remove_file(log_index_path(log_path));
  if (!index) return;
  // No index: the next reader makes one.
  utils::best_effort(utils::unlogged, [&] {
    const auto stamp = utils::file_stamp(log_path);
    std::string_view last;
    for (auto it = parts.rbegin(); it != parts.rend() && last.empty(); ++it) last = *it;
    if (!stamp || stamp->size != size || last.empty() || last.back() != '\n') return;
    index->file = *stamp;
    index->last_write = *stamp;
    index->tail_sha256 = tail_sha256(parts);
    index->rewritten_end = size;
    index->pending = index->pending_lines.size();
    index->parts = LogIndex::ALL;
    save_log_index(log_path, *index);
  });
}

void append_log_entry(const fs::path& breniklog_path, const json::Value& entry) {
  utils::make_dirs(breniklog_path.parent_path());
  std::string line;
  json::dump_to(line, entry, {.text_form_fallback = true});
  line += '\n';
  auto guard = utils::locked(breniklog_path);
  const auto before = utils::file_stamp(breniklog_path);
  if (ends_mid_line(breniklog_path)) line.insert(line.begin(), '\n');
  utils::append_file(breniklog_path, line);
  // Only a writer holding the lock knows nobody wrote between its two looks.
  if (guard->acquired() && before)
    if (const auto after = utils::file_stamp(breniklog_path)) note_append(breniklog_path, *before, *after);
}

bool replace_log_entry(const fs::path& breniklog_path, const json::Value& entry) {
  std::error_code ec;
  if (!fs::exists(breniklog_path, ec)) return false;
  const std::string commit =
      entry.contains("commit") && entry["commit"].is_string() ? entry["commit"].get<std::string>() : std::string();
  auto guard = utils::locked(breniklog_path);
  const std::string text = utils::read_file(breniklog_path);
  std::string out;
  out.reserve(text.size() + 4096);
  bool replaced = false;
  LineParser parser;
  for_each_line(text, [&](std::string_view line) {
    // Only a line holding the commit's text can be its line; every other
    // line is kept byte for byte without being parsed.
    if (!replaced && !commit.empty() && line.find(commit) != std::string_view::npos &&
        parser.parse(utils::strip_view(line)) && parser.fields().is_object && parser.fields().commit == commit) {
      json::dump_to(out, entry, {.text_form_fallback = true});
      replaced = true;
    } else {
      out += line;
    }
    out += '\n';
  });
  if (!replaced) return false;
  replace_log(breniklog_path, {out}, std::nullopt);
  return true;
}

void mark_synced(const fs::path& breniklog_path, const std::vector<json::Value>& batch,
                 const std::vector<json::Value>* as_read) {
  std::set<std::string, std::less<>> commits;
  for (const auto& record : batch) {
    const auto& c = member(record, "commit");
    if (c.is_string() && !c.get_ref<const std::string&>().empty()) commits.insert(c.get<std::string>());
  }
  if (commits.empty()) return;
  std::map<std::string, std::vector<const json::Value*>, std::less<>> sent;
  if (as_read)
    for (const auto& entry : *as_read) sent[text_member(entry, "commit")].push_back(&entry);
  // Whether the line the parser holds still reads as an entry that was sent.
  auto as_sent = [&](std::string_view commit, const json::Value& now) {
    if (!as_read) return true;
    auto it = sent.find(commit);
    if (it == sent.end()) return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](const json::Value* e) { return *e == now; });
  };
  auto guard = utils::locked(breniklog_path);
  const utils::MappedFile file(breniklog_path);
  file.prefault(0, file.view().size());
  rewrite_synced(breniklog_path, file, {std::move(commits), as_sent});
}

bool commit_already_logged(const fs::path& breniklog_path, const std::string& commit) {
  if (commit.empty()) return false;
  auto file = map_log(breniklog_path);
  if (!file) return false;
  // Ids are plain hex, which no JSON writer escapes: a line that does not
  // contain the id's text cannot carry it, so only lines with a hit are parsed.
  const std::string_view text = file->view();
  LineParser parser;
  // Whether a line carrying the commit has a hit starting in [from, to).
  auto carried_in = [&](std::size_t from, std::size_t to) {
    const std::size_t limit = std::min(text.size(), to + commit.size() - 1);
    std::size_t pos = from;
    while (pos < to) {
      const void* hit = ::memmem(text.data() + pos, limit - pos, commit.data(), commit.size());
      if (!hit) return false;
      pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
      auto line = line_around(text, pos);
      if (parser.parse(utils::strip_view(line)) && parser.fields().is_object && parser.fields().commit == commit)
        return true;
      pos = static_cast<std::size_t>(line.data() + line.size() - text.data()) + 1;
    }
    return false;
  };
  // The index answers "not there" for a new commit without reading the log;
  // a "maybe" is settled by the scan, the log's tail first, as the commit a
  // trigger asks about is most often among the last recorded.
  const auto view = view_index(breniklog_path, *file, nullptr, LogIndex::FILTER, false);
  const std::size_t end = view.base.file.size;
  if (carried_in(end, text.size())) return true;
  if (!view.base.commits.may_contain(CommitFilter::key_of(commit))) return false;
  const std::size_t tail = end > RECENT_TAIL_BYTES ? end - RECENT_TAIL_BYTES : 0;
  if (carried_in(tail, end)) return true;
  if (tail == 0) return false;
  file->prefault(0, tail + commit.size());
  return carried_in(0, tail);
}

std::set<std::string, std::less<>> commits_already_logged(const fs::path& breniklog_path,
                                                          const std::vector<std::string>& commits) {
  std::set<std::string, std::less<>> wanted(commits.begin(), commits.end()), found;
  wanted.erase(std::string());
  {
    auto file = map_log(breniklog_path);
    if (!file) return found;
    // One pass for all of them: every line our writers (and the hook's shell
    // fallback) write spells its commit member so; a hit counts once its
    // line parses as a record of that commit.
    static constexpr std::string_view key = "\"commit\": \"";
    const std::string_view text = file->view();
    LineParser parser;
    // Hits starting in [from, to).
    auto scan = [&](std::size_t from, std::size_t to) {
      std::size_t pos = from;
      while (pos < to && found.size() < wanted.size()) {
        const void* hit = ::memmem(text.data() + pos, text.size() - pos, key.data(), key.size());
        if (!hit) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        if (at >= to) break;
        const std::size_t value = at + key.size();
        const std::size_t close = text.find('"', value);
        pos = value;
        if (close == std::string_view::npos) break;
        const std::string_view commit = text.substr(value, close - value);
        if (!wanted.count(commit) || found.count(commit)) continue;
        const auto line = line_around(text, at);
        if (parser.parse(utils::strip_view(line)) && parser.fields().is_object && parser.fields().commit == commit)
          found.insert(std::string(commit));
      }
    };
    // The commits a walk asks about were mostly recorded last: the tail first.
    const std::size_t tail = text.size() > RECENT_TAIL_BYTES ? text.rfind('\n', text.size() - RECENT_TAIL_BYTES) : 0;
    const std::size_t split = tail == std::string_view::npos ? 0 : tail;
    scan(split, text.size());
    if (found.size() < wanted.size() && split > 0) {
      file->prefault(0, split);
      scan(0, split + 1);
    }
  }
  // Whatever that pass missed may sit in a line of another layout: the exact
  // test settles it, at no cost for a commit the index knows is not there.
  for (const auto& commit : wanted)
    if (!found.count(commit) && commit_already_logged(breniklog_path, commit)) found.insert(commit);
  return found;
}

bool already_recorded(const fs::path& repo_root, const std::string& full) {
  // Only the line counts: an archive without one is a record whose append
  // failed, which the next trigger completes from the archive.
  return commit_already_logged(paths::log_jsonl(repo_root), full);
}

}  // namespace detail
}  // namespace brenik::services::tolvern
