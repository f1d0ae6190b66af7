#include "services/views/record_join.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "services/ledger/log_classify.hpp"
#include "services/ledger/log_index.hpp"
#include "services/ledger/log_line.hpp"
#include "utils/mapped_file.hpp"
#include "utils/text.hpp"
#include "utils/fs.hpp"

namespace brenik::services::views {

namespace {

using tolvern::detail::LineParser;

// The log's writer puts the commit first: {"commit": "<id>", ...
constexpr std::string_view COMMIT_PREFIX = "{\"commit\": \"";

// The commit id of a line in the writer's layout, without parsing it.
std::optional<std::string_view> leading_commit(std::string_view line) {
  if (line.substr(0, COMMIT_PREFIX.size()) != COMMIT_PREFIX) return std::nullopt;
  const std::size_t start = COMMIT_PREFIX.size();
  const std::size_t end = line.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view id = line.substr(start, end - start);
  // An escape inside the id means it is not in the plain layout.
  if (id.find('\\') != std::string_view::npos) return std::nullopt;
  return id;
}

// Commit ids are random hex: a word from each end of one hashes it as well
// as all of its bytes would, for less.
struct IdHash {
  std::size_t operator()(std::string_view id) const noexcept {
    if (id.size() < 16) return std::hash<std::string_view>{}(id);
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, id.data(), sizeof head);
    std::memcpy(&tail, id.data() + id.size() - sizeof tail, sizeof tail);
    return static_cast<std::size_t>(head ^ (tail * 0x9E3779B97F4A7C15ULL));
  }
};

}  // namespace

std::vector<LogRecord> read_log_records(const fs::path& log_path, const std::vector<std::string>& commits,
                                        LineDetail detail) {
  std::vector<LogRecord> records(commits.size());
  if (commits.empty()) return records;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(log_path);  // confined: a link or a folder is refused
  } catch (const std::exception&) {
    return records;
  }
  const std::string_view text = file->view();
  // Each distinct wanted commit has a slot.
  std::unordered_map<std::string_view, std::size_t, IdHash> slot_of;
  slot_of.reserve(commits.size());
  std::vector<std::size_t> first_of;  // by slot: its first position in `commits`
  for (std::size_t i = 0; i < commits.size(); ++i)
    if (slot_of.emplace(commits[i], first_of.size()).second) first_of.push_back(i);
  const std::size_t wanted = first_of.size();
  std::vector<char> found(wanted, 0);
  std::size_t found_count = 0;

  // The index's commit filter, when it still describes this log up to some
  // point, rules out most commits the log never had; a commit it rules out
  // can only sit in the lines appended since.
  std::size_t indexed = 0;
  bool distinct = false;
  std::vector<char> maybe(wanted, 1);
  std::size_t maybe_count = wanted;
  if (auto index = tolvern::detail::load_log_index(log_path, tolvern::detail::LogIndex::FILTER);
      index && (index->parts & tolvern::detail::LogIndex::FILTER) && !index->commits.crowded() &&
      tolvern::detail::describes_prefix(*index, file->stamp(), text)) {
    indexed = index->file.size;
    distinct = index->distinct;
    for (const auto& [id, slot] : slot_of)
      if (!index->commits.may_contain(tolvern::detail::CommitFilter::key_of(id))) {
        maybe[slot] = 0;
        --maybe_count;
      }
  }

  LineParser parser;
  // Takes `line` as its commit's line when it is the line of a wanted commit
  // not found yet; true when it was taken and is one of the filter's
  // candidates.
  auto take = [&](std::string_view raw) {
    const std::string_view line = utils::strip_view(raw);
    if (line.empty()) return false;
    std::optional<std::string_view> id = leading_commit(line);
    const bool padded = tolvern::detail::padded_within(text, line);
    if (!id) {
      // Another writer's layout: only a parse can tell which commit it is.
      if (line.find("commit") == std::string_view::npos && line.find('\\') == std::string_view::npos) return false;
      if (!parser.parse(line, padded) || !parser.fields().is_object || !parser.fields().commit) return false;
      id = *parser.fields().commit;
    }
    const auto it = slot_of.find(*id);
    if (it == slot_of.end()) return false;
    const std::size_t slot = it->second;
    if (found[slot]) return false;
    if (!parser.parse(line, padded) || !parser.fields().is_object) return false;
    found[slot] = 1;
    ++found_count;
    LogRecord& r = records[first_of[slot]];
    r.found = true;
    r.summary.attested = is_attested_event(parser.fields().event);
    r.summary.synced = parser.fields().synced || parser.fields().uploaded;
    r.summary.agent = parser.text_member("agent").value_or("");
    r.summary.model = parser.text_member("telemetry", "model").value_or("");
    if (detail == LineDetail::full) r.line = parser.value();
    return maybe[slot] != 0;
  };

  std::size_t pos = 0, found_maybe = 0;
  if (distinct) {
    // Each commit has at most one line in the indexed part, so the line met
    // first is its first line from whichever end it is met. The part is read
    // from both ends at once until every candidate is found: the commits a
    // view asks about were mostly recorded together, at one end or the
    // other, and the middle of a long log is then never read.
    // An end where nothing was found in its last stretch while the other
    // end found some is read on an eighth as fast.
    constexpr std::size_t STRIDE = 64u << 10;
    std::size_t front = 0, back = indexed;  // [front, back) not read yet; both at line starts
    std::size_t front_stride = STRIDE, back_stride = STRIDE;
    while (front < back && found_maybe < maybe_count) {
      const std::size_t before_front = found_maybe;
      for (const std::size_t stop = std::min(back, front + front_stride); front < stop && found_maybe < maybe_count;) {
        const char* nl = static_cast<const char*>(std::memchr(text.data() + front, '\n', back - front));
        const std::size_t end = nl ? static_cast<std::size_t>(nl - text.data()) : back;
        if (take(text.substr(front, end - front))) ++found_maybe;
        front = std::min(back, end + 1);
      }
      const std::size_t before_back = found_maybe;
      for (const std::size_t stop = back > front + back_stride ? back - back_stride : front;
           back > stop && found_maybe < maybe_count;) {
        // back - 1 is the "\n" that ends the last unread line.
        const char* nl = static_cast<const char*>(::memrchr(text.data() + front, '\n', back - 1 - front));
        const std::size_t begin = nl ? static_cast<std::size_t>(nl - text.data()) + 1 : front;
        if (take(text.substr(begin, back - 1 - begin))) ++found_maybe;
        back = begin;
      }
      const bool front_found = before_back > before_front, back_found = found_maybe > before_back;
      front_stride = front_found || !back_found ? STRIDE : STRIDE / 8;
      back_stride = back_found || !front_found ? STRIDE : STRIDE / 8;
    }
    pos = indexed;
  }
  // From the start: the first line of a commit is the one met first.
  while (pos < text.size() && found_count < wanted) {
    // Past every candidate of the indexed part: only the unindexed lines are left.
    if (pos < indexed && found_maybe == maybe_count) {
      pos = indexed;
      continue;
    }
    const char* nl = static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
    const std::size_t end = nl ? static_cast<std::size_t>(nl - text.data()) : text.size();
    const bool in_index = pos < indexed;
    const std::string_view raw = text.substr(pos, end - pos);
    pos = end + 1;
    if (take(raw) && in_index) ++found_maybe;
  }
  // A commit named twice gets its line twice; the first position has it.
  for (std::size_t i = commits.size(); i-- > 0;)
    if (const std::size_t first = first_of[slot_of.find(commits[i])->second]; first != i) records[i] = records[first];
  return records;
}

std::unordered_map<std::string, json::Value> find_log_lines(const fs::path& log_path,
                                                            const std::vector<std::string>& commits) {
  std::unordered_map<std::string, json::Value> found;
  auto records = read_log_records(log_path, commits, LineDetail::full);
  for (std::size_t i = 0; i < commits.size(); ++i)
    if (records[i].found) found.emplace(commits[i], std::move(records[i].line));
  return found;
}

}  // namespace brenik::services::views
