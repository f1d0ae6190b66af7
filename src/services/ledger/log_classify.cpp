#include "services/ledger/log_classify.hpp"

#include <simdjson.h>

#include <unordered_map>
#include "utils/text.hpp"

namespace brenik::services::tolvern::detail {

bool padded_within(std::string_view whole, std::string_view line) {
  return line.data() + line.size() + simdjson::SIMDJSON_PADDING <= whole.data() + whole.size();
}

bool is_pending_line(const LineFields& f) {
  // A commit member that is not text is as unaddressable as a short id.
  return !f.synced && !f.uploaded && is_valid_commit_hash(f.commit.value_or(""));
}

RecordKind record_kind(std::string_view event) {
  if (event == "attestation_skipped") return RecordKind::skipped;
  if (event == "commit_unattested") return RecordKind::unattested;
  return RecordKind::attested;
}

bool count_line(const LineFields* f, std::uint64_t start, Classified& out, bool indexing) {
  AttestationLog& log = out.log;
  if (!f) {
    ++log.corrupt;
    return false;
  }
  if (indexing && f->commit) out.commits.push_back(CommitFilter::key_of(*f->commit));
  switch (record_kind(f->event)) {
    case RecordKind::skipped: ++log.skipped; break;
    case RecordKind::unattested: ++log.unattested; break;
    case RecordKind::attested: ++log.attested; break;
  }
  if (is_synced_line(*f)) {
    ++log.uploaded;
    return false;
  }
  if (!is_pending_line(*f)) {
    ++log.unaddressable;
    return false;
  }
  ++out.pending;
  if (indexing) out.pending_lines.push_back(start);
  return true;
}

namespace {

// A log this big is classified in two halves on two threads: the reader
// runs in every upload and status call, and a large log is mostly parsing.
constexpr std::size_t SPLIT_BYTES = 8u << 20;

// classify_text on one thread.
Classified classify_lines(const utils::MappedFile& file, std::string_view part, const OnPending* on_pending,
                          bool indexing) {
  const std::string_view whole = file.view();
  file.prefault(static_cast<std::size_t>(part.data() - whole.data()), part.size());
  Classified out;
  AttestationLog& log = out.log;
  LineParser parser;
  for_each_line(part, [&](std::string_view raw) {
    auto line = utils::strip_view(raw);
    if (line.empty()) return;
    const bool record = parser.parse(line, padded_within(whole, line)) && parser.fields().is_object;
    const auto start = static_cast<std::uint64_t>(raw.data() - whole.data());
    if (count_line(record ? &parser.fields() : nullptr, start, out, indexing) && on_pending) (*on_pending)(log, parser);
  });
  return out;
}

}  // namespace

void merge_into(Classified& first, Classified&& later) {
  append_moved(first.log.pending, later.log.pending);
  first.log += later.log;
  first.pending += later.pending;
  append_moved(first.commits, later.commits);
  append_moved(first.pending_lines, later.pending_lines);
}

namespace {

// Whether one of `suspects` is twice in `keys`. The suspects are the keys
// the filter already said "maybe" to when they were added: a repeat is
// always one of them, and they are few.
bool repeats_any(const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& suspects) {
  std::unordered_map<std::uint64_t, unsigned> seen;
  for (auto key : suspects) seen.emplace(key, 0);
  for (auto key : keys)
    if (auto it = seen.find(key); it != seen.end() && ++it->second > 1) return true;
  return false;
}

// Whether `text` holds a record line of `commit`. Ids are plain hex, which
// no JSON writer escapes: a line without the id's text is not one.
bool has_line_of(std::string_view text, const std::string& commit, LineParser& parser) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* hit = ::memmem(text.data() + pos, text.size() - pos, commit.data(), commit.size());
    if (!hit) return false;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    const std::size_t nl = text.rfind('\n', at);
    const std::size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    if (parser.parse(utils::strip_view(text.substr(begin, end - begin))) && parser.fields().is_object &&
        parser.fields().commit == commit)
      return true;
    pos = end + 1;
  }
  return false;
}

// Whether the commits of `part` are new to `index`, which describes
// `covered`: the filter rules most of them out, and the text settles each
// "maybe".
bool new_to(const LogIndex& index, std::string_view covered, std::string_view part) {
  LineParser parser, lookup;
  bool fresh = true;
  for_each_line(part, [&](std::string_view raw) {
    if (!fresh) return;
    const auto line = utils::strip_view(raw);
    if (line.empty() || !parser.parse(line) || !parser.fields().is_object || !parser.fields().commit) return;
    const std::string commit(*parser.fields().commit);
    if (index.commits.may_contain(CommitFilter::key_of(commit)) && has_line_of(covered, commit, lookup)) fresh = false;
  });
  return fresh;
}

}  // namespace

void add_to_index(LogIndex& index, const Classified& c, std::string_view covered, std::string_view part) {
  const bool empty = index.commits.words().empty();
  bool distinct = (empty || index.distinct) && (empty || c.commits.empty() || new_to(index, covered, part));
  if (empty) index.commits = CommitFilter::sized_for(c.commits.size());
  std::vector<std::uint64_t> suspects;
  for (auto key : c.commits) {
    if (distinct && index.commits.may_contain(key)) suspects.push_back(key);
    index.commits.add(key);
  }
  index.distinct = distinct && (suspects.empty() || !repeats_any(c.commits, suspects));
  index.counts += c.log;
  index.pending_lines.insert(index.pending_lines.end(), c.pending_lines.begin(), c.pending_lines.end());
  index.pending = index.pending_lines.size();
}

Classified classify_text(const utils::MappedFile& file, std::string_view part, const OnPending* on_pending,
                         bool indexing) {
  const std::size_t cut = part.size() < SPLIT_BYTES ? std::string_view::npos : part.find('\n', part.size() / 2);
  if (cut == std::string_view::npos) return classify_lines(file, part, on_pending, indexing);
  Classified first, later;
  on_two_threads([&] { first = classify_lines(file, part.substr(0, cut + 1), on_pending, indexing); },
                 [&] { later = classify_lines(file, part.substr(cut + 1), on_pending, indexing); });
  merge_into(first, std::move(later));
  return first;
}

std::optional<std::vector<json::Value>> pending_entries_at(const utils::MappedFile& file,
                                                           const std::vector<std::uint64_t>& starts, std::size_t begin,
                                                           std::size_t end, std::size_t covered) {
  std::vector<json::Value> entries;
  if (begin >= end) return entries;
  const std::string_view text = file.view().substr(0, covered);
  if (starts[end - 1] >= text.size()) return std::nullopt;
  file.prefault(starts[begin], starts[end - 1] - starts[begin] + 4096);
  entries.reserve(end - begin);
  LineParser parser;
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t at = starts[i];
    if (at >= text.size() || (at > 0 && text[at - 1] != '\n')) return std::nullopt;
    const std::size_t nl = text.find('\n', at);
    const auto line = utils::strip_view(text.substr(at, (nl == std::string_view::npos ? text.size() : nl) - at));
    if (line.empty() || !parser.parse(line, padded_within(file.view(), line)) || !parser.fields().is_object ||
        !is_pending_line(parser.fields()))
      return std::nullopt;
    entries.push_back(parser.value());
  }
  return entries;
}

}  // namespace brenik::services::tolvern::detail
