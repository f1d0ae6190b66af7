#include "services/ledger/synced_rewrite.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "services/ledger/log_classify.hpp"
#include "services/ledger/log_index.hpp"
#include "services/ledger/log_line.hpp"
#include "services/ledger/log_store.hpp"
#include "utils/fs.hpp"
#include "utils/text.hpp"

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

namespace {

// A log this big is rewritten on two threads.
constexpr std::size_t PARALLEL_REWRITE_BYTES = 8u << 20;

// Writes one line of the old log into `out` (with its newline) and counts
// what it now is into `written`.
void rewrite_line(std::string_view line, std::string_view text, const SyncedBatch& batch, LineParser& parser,
                  std::string& out, Classified& written) {
  const auto start = static_cast<std::uint64_t>(out.size());
  const auto stripped = utils::strip_view(line);
  if (!parser.parse(stripped, padded_within(text, stripped)) || !parser.fields().is_object) {
    // Not JSON, or JSON that is not a record: kept exactly as it is.
    out += line;
    out += '\n';
    if (!stripped.empty()) count_line(nullptr, start, written, true);
    return;
  }
  const auto& f = parser.fields();
  const bool in_batch = f.commit && batch.commits.count(*f.commit);
  json::Value obj = in_batch ? parser.value() : json::Value();
  // A line already marked sent (the legacy `uploaded`) cannot have been
  // upgraded during the upload, which always leaves a line unsynced: it is
  // flipped whatever it reads.
  if (in_batch && (f.synced || f.uploaded || batch.as_sent(*f.commit, obj))) {
    obj.erase("uploaded");
    obj["synced"] = true;
    json::dump_to(out, obj, {.text_form_fallback = false});
    LineFields flipped = f;
    flipped.synced = true;
    flipped.uploaded = false;
    count_line(&flipped, start, written, true);
  } else {
    parser.dump_to(out);  // re-serialised in the same layout
    count_line(&f, start, written, true);
  }
  out += '\n';
}

void rewrite_lines(std::string_view part, std::string_view text, const SyncedBatch& batch, std::string& out,
                   Classified& written) {
  out.reserve(out.size() + part.size() + part.size() / 16);
  LineParser parser;
  for_each_line(part, [&](std::string_view line) { rewrite_line(line, text, batch, parser, out, written); });
}

// The lines of `body` rewritten into `out`; a big body in two halves on two
// threads, split at a line end.
void rewrite_all(std::string_view body, std::string_view text, const SyncedBatch& batch, std::string& out,
                 Classified& written) {
  const std::size_t cut =
      body.size() < PARALLEL_REWRITE_BYTES ? std::string_view::npos : body.find('\n', body.size() / 2);
  if (cut == std::string_view::npos) return rewrite_lines(body, text, batch, out, written);
  std::string later_out;
  Classified first, later;
  on_two_threads([&] { rewrite_lines(body.substr(0, cut), text, batch, out, first); },
                 [&] { rewrite_lines(body.substr(cut + 1), text, batch, later_out, later); });
  // The first half's positions are in `out` already; the second's move by
  // what is in front of it.
  for (auto& start : later.pending_lines) start += out.size();
  out += later_out;
  merge_into(first, std::move(later));
  merge_into(written, std::move(first));
}

// A commit id whose text is the same inside a JSON string.
bool plain_text(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return carried_as_is(static_cast<unsigned char>(c)); });
}

// One line of the old log that carries a commit of the batch: [begin, end),
// its newline at `end`.
struct BatchLine {
  std::size_t begin = 0, end = 0;
  std::uint64_t new_start = 0;  // where it is in the new log
  std::int64_t grew = 0;        // by how many bytes it changed
  bool pending_after = false;
};

// What the index-guided rewrite needs of the old log's index: it describes
// exactly the part of `text` the synced rewrite itself wrote, and nothing
// after. Every line there is already as the rewrite writes it, so only the
// lines that carry a batch commit need a parse.
std::optional<LogIndex> rewritten_prefix_index(const fs::path& log_path, const utils::MappedFile& file,
                                               const SyncedBatch& batch) {
  for (const auto& c : batch.commits)
    if (!plain_text(c)) return std::nullopt;
  auto index = load_log_index(log_path, LogIndex::ALL);
  if (!index || index->rewritten_end == 0 || index->rewritten_end != index->file.size ||
      !describes_prefix(*index, file.stamp(), file.view()) || index->commits.crowded())
    return std::nullopt;
  return index;
}

// The lines of [0, end) of `text` whose record member "commit" is one of the
// batch's. A record line written by the rewrite spells its commit member
// exactly so; a nested "commit" member may bring in a line that is not one,
// which the parse then tells.
std::vector<BatchLine> batch_lines(std::string_view text, std::size_t end, const SyncedBatch& batch) {
  static constexpr std::string_view key = "\"commit\": \"";
  std::vector<BatchLine> lines;
  std::size_t pos = 0;
  while (pos < end) {
    const void* hit = ::memmem(text.data() + pos, end - pos, key.data(), key.size());
    if (!hit) break;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    const std::size_t value = at + key.size();
    const std::size_t close = text.find('"', value);
    pos = value;
    if (close == std::string_view::npos || close >= end || !batch.commits.count(text.substr(value, close - value)))
      continue;
    const std::size_t nl = text.rfind('\n', at);
    const std::size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
    if (!lines.empty() && lines.back().begin == begin) continue;
    const std::size_t line_end = text.find('\n', at);
    if (line_end == std::string_view::npos || line_end >= end) break;
    lines.push_back({begin, line_end});
    pos = line_end + 1;
  }
  return lines;
}

// The index-guided rewrite; false (nothing written) when it does not apply.
bool rewrite_guided(const fs::path& log_path, const utils::MappedFile& file, const SyncedBatch& batch) {
  const std::string_view text = file.view();
  auto index = rewritten_prefix_index(log_path, file, batch);
  if (!index) return false;
  const std::size_t known = index->rewritten_end;
  auto lines = batch_lines(text, known, batch);

  // The new log: the old bytes between the batch lines as they are, the
  // batch lines written again, then the lines appended since.
  std::string changed;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // each batch line's bytes in `changed`
  LineParser parser;
  Classified before, after;  // the batch lines as they were and as they are now
  std::int64_t delta = 0;
  for (auto& l : lines) {
    const std::string_view line = text.substr(l.begin, l.end - l.begin);
    const auto stripped = utils::strip_view(line);
    const bool record = parser.parse(stripped, padded_within(text, stripped)) && parser.fields().is_object;
    count_line(record ? &parser.fields() : nullptr, l.begin, before, false);
    const std::size_t from = changed.size();
    const std::size_t pending_before = after.pending;
    rewrite_line(line, text, batch, parser, changed, after);
    l.pending_after = after.pending > pending_before;
    l.grew = static_cast<std::int64_t>(changed.size() - from) - static_cast<std::int64_t>(l.end + 1 - l.begin);
    l.new_start = static_cast<std::uint64_t>(static_cast<std::int64_t>(l.begin) + delta);
    delta += l.grew;
    spans.emplace_back(from, changed.size());
  }
  // The lines after the index: appended since, by anyone. Trailing blanks go,
  // as in the full rewrite.
  std::string appended_out;
  Classified appended;
  rewrite_all(utils::rstrip_view(text.substr(known)), text, batch, appended_out, appended);
  const auto appended_at = static_cast<std::uint64_t>(static_cast<std::int64_t>(known) + delta);
  for (auto& start : appended.pending_lines) start += appended_at;

  std::vector<std::string_view> parts;
  parts.reserve(2 * lines.size() + 2);
  std::size_t copied = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    parts.push_back(text.substr(copied, lines[i].begin - copied));
    parts.push_back(std::string_view(changed).substr(spans[i].first, spans[i].second - spans[i].first));
    copied = lines[i].end + 1;
  }
  parts.push_back(text.substr(copied, known - copied));
  parts.push_back(appended_out);

  // The new index: the old counts with the batch lines' change, the pending
  // positions moved by the lengths those lines changed by, then the rest.
  LogIndex next = std::move(*index);
  next.counts -= before.log;
  next.counts += after.log;
  std::vector<std::uint64_t> moved;
  moved.reserve(next.pending_lines.size() + appended.pending_lines.size());
  std::int64_t shift = 0;  // what the batch lines passed so far grew by
  std::size_t k = 0;
  auto pass = [&](const BatchLine& l) {
    if (l.pending_after) moved.push_back(l.new_start);
    shift += l.grew;
  };
  for (std::uint64_t old : next.pending_lines) {
    while (k < lines.size() && lines[k].begin < old) pass(lines[k++]);
    if (k < lines.size() && lines[k].begin == old) {
      pass(lines[k++]);  // a batch line: in its new state
      continue;
    }
    moved.push_back(static_cast<std::uint64_t>(static_cast<std::int64_t>(old) + shift));
  }
  while (k < lines.size()) pass(lines[k++]);
  next.pending_lines = std::move(moved);
  add_to_index(next, appended, text.substr(0, known), text.substr(known));

  replace_log(log_path, std::move(parts), std::move(next));
  return true;
}

}  // namespace

void rewrite_synced(const fs::path& log_path, const utils::MappedFile& file, const SyncedBatch& batch) {
  if (rewrite_guided(log_path, file, batch)) return;
  const std::string_view text = file.view();
  std::string out;
  Classified written;
  rewrite_all(utils::strip_view(text), text, batch, out, written);
  LogIndex index;
  add_to_index(index, written, {}, {});
  replace_log(log_path, {out}, std::move(index));
}

}  // namespace brenik::services::tolvern::detail
