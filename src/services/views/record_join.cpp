#include "services/views/record_join.hpp"

#include <cstring>
#include <string_view>
#include <unordered_set>

#include "services/ledger/commit_records.hpp"
#include "services/ledger/log_index.hpp"
#include "services/ledger/log_line.hpp"
#include "utils/mapped_file.hpp"
#include "utils/text.hpp"
#include "utils/fs.hpp"

namespace brenik::services::views {

namespace {

using tolvern::detail::LineParser;

// An archived attestation or ledger segment larger than this is not one
// this tool wrote; it is not loaded.
constexpr std::size_t MAX_ARCHIVE_BYTES = 4 * 1024 * 1024;

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

}  // namespace

std::unordered_map<std::string, json::Value> find_log_lines(const fs::path& log_path,
                                                            const std::vector<std::string>& commits) {
  std::unordered_map<std::string, json::Value> found;
  if (commits.empty()) return found;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(log_path);  // confined: a link or a folder is refused
  } catch (const std::exception&) {
    return found;
  }
  const std::string_view text = file->view();
  std::unordered_set<std::string_view> wanted(commits.begin(), commits.end());

  // The index's commit filter, when it still describes this log up to some
  // point, rules out most commits the log never had; a commit it rules out
  // can only sit in the lines appended since.
  std::size_t indexed = 0;
  bool distinct = false;
  std::unordered_set<std::string_view> maybe = wanted;
  if (auto index = tolvern::detail::load_log_index(log_path, tolvern::detail::LogIndex::FILTER);
      index && (index->parts & tolvern::detail::LogIndex::FILTER) && !index->commits.crowded() &&
      tolvern::detail::describes_prefix(*index, file->stamp(), text)) {
    indexed = index->file.size;
    distinct = index->distinct;
    for (auto it = maybe.begin(); it != maybe.end();)
      it = index->commits.may_contain(tolvern::detail::CommitFilter::key_of(*it)) ? std::next(it) : maybe.erase(it);
  }

  LineParser parser;
  // Takes `line` as its commit's line when it is the line of a wanted commit
  // not found yet; true when it was taken and is one of the filter's
  // candidates.
  auto take = [&](std::string_view raw) {
    const std::string_view line = utils::strip_view(raw);
    if (line.empty()) return false;
    std::optional<std::string_view> id = leading_commit(line);
    if (!id) {
      // Another writer's layout: only a parse can tell which commit it is.
      if (line.find("commit") == std::string_view::npos && line.find('\\') == std::string_view::npos) return false;
      if (!parser.parse(line) || !parser.fields().is_object || !parser.fields().commit) return false;
      id = *parser.fields().commit;
    }
    if (!wanted.count(*id)) return false;
    std::string key(*id);
    if (found.count(key)) return false;
    if (!parser.parse(line) || !parser.fields().is_object) return false;
    const bool candidate = maybe.count(key) > 0;
    found.emplace(std::move(key), parser.value());
    return candidate;
  };

  std::size_t pos = 0, found_maybe = 0;
  if (distinct) {
    // Each commit has at most one line in the indexed part, so the line met
    // first is its first line from whichever end it is met. The part is read
    // from both ends at once until every candidate is found: the commits a
    // view asks about were mostly recorded together, at one end or the
    // other, and the middle of a long log is then never read.
    constexpr std::size_t STRIDE = 64u << 10;
    std::size_t front = 0, back = indexed;  // [front, back) not read yet; both at line starts
    while (front < back && found_maybe < maybe.size()) {
      for (const std::size_t stop = std::min(back, front + STRIDE); front < stop && found_maybe < maybe.size();) {
        const char* nl = static_cast<const char*>(std::memchr(text.data() + front, '\n', back - front));
        const std::size_t end = nl ? static_cast<std::size_t>(nl - text.data()) : back;
        if (take(text.substr(front, end - front))) ++found_maybe;
        front = std::min(back, end + 1);
      }
      for (const std::size_t stop = back > front + STRIDE ? back - STRIDE : front;
           back > stop && found_maybe < maybe.size();) {
        // back - 1 is the "\n" that ends the last unread line.
        const char* nl = static_cast<const char*>(::memrchr(text.data() + front, '\n', back - 1 - front));
        const std::size_t begin = nl ? static_cast<std::size_t>(nl - text.data()) + 1 : front;
        if (take(text.substr(begin, back - 1 - begin))) ++found_maybe;
        back = begin;
      }
    }
    pos = indexed;
  }
  // From the start: the first line of a commit is the one met first.
  while (pos < text.size() && found.size() < wanted.size()) {
    // Past every candidate of the indexed part: only the unindexed lines are left.
    if (pos < indexed && found_maybe == maybe.size()) {
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
  return found;
}

ArchiveDir::ArchiveDir(const fs::path& attestations_dir) noexcept {
  try {
    dir_.emplace(attestations_dir, false);
  } catch (const std::exception&) {
    // missing, a link, or not a folder: no archive
  }
}

std::optional<std::string> ArchiveDir::read(const std::string& name) const {
  // A name is one entry of the folder, never a way out of it.
  if (!dir_ || name.empty() || name.find('/') != std::string::npos || name[0] == '.') return std::nullopt;
  try {
    return utils::read_small_regular_file(*dir_, name, MAX_ARCHIVE_BYTES);
  } catch (const std::exception&) {
    return std::nullopt;  // missing, a link, or not a regular file
  }
}

std::optional<json::Value> ArchiveDir::read_archived(const std::string& commit) const {
  const auto text = read(commit + ".yaml");
  if (!text) return std::nullopt;
  try {
    json::Value v = tolvern::detail::parse_attestation_yaml(*text);
    if (v.is_object()) return v;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::string ArchiveDir::archived_model(const std::string& commit) const {
  const auto text = read(commit + ".yaml");
  if (!text) return "";
  // Our YAML writer puts top-level keys at the start of a line; a plain
  // scalar is taken as it stands, anything else goes through the parser.
  std::string_view t = *text;
  constexpr std::string_view key = "agent_model:";
  std::size_t at = t.substr(0, key.size()) == key ? 0 : t.find("\nagent_model:");
  if (at == std::string_view::npos) return "";
  if (at != 0) ++at;
  std::size_t eol = t.find('\n', at);
  std::string_view value = utils::strip_view(
      t.substr(at + key.size(), eol == std::string_view::npos ? std::string_view::npos : eol - at - key.size()));
  const bool plain = !value.empty() &&
                     std::string_view("'\"&*!|>%@`{[#?-").find(value.front()) == std::string_view::npos &&
                     value.find(": ") == std::string_view::npos && value.find(" #") == std::string_view::npos;
  if (plain && value != "null" && value != "~") return std::string(value);
  const auto parsed = read_archived(commit);
  if (!parsed) return "";
  auto it = parsed->find("agent_model");
  if (it == parsed->end() || !it->is_string()) return "";
  return it->get<std::string>();
}

std::vector<json::Value> ArchiveDir::read_ledger_segment(const std::string& commit) const {
  std::vector<json::Value> lines;
  const auto text = read(commit + ".ledger.jsonl");
  if (!text) return lines;
  std::string_view t = *text;
  while (!t.empty()) {
    const std::size_t nl = t.find('\n');
    const std::string_view line = utils::strip_view(t.substr(0, nl));
    t = nl == std::string_view::npos ? std::string_view() : t.substr(nl + 1);
    if (line.empty()) continue;
    if (auto v = json::try_loads(std::string(line)))
      lines.push_back(std::move(*v));
    else
      lines.emplace_back(std::string(line));
  }
  return lines;
}

std::optional<json::Value> read_archived(const fs::path& attestations_dir, const std::string& commit) {
  return ArchiveDir(attestations_dir).read_archived(commit);
}

std::string archived_model(const fs::path& attestations_dir, const std::string& commit) {
  return ArchiveDir(attestations_dir).archived_model(commit);
}

std::vector<json::Value> read_ledger_segment(const fs::path& attestations_dir, const std::string& commit) {
  return ArchiveDir(attestations_dir).read_ledger_segment(commit);
}

}  // namespace brenik::services::views
