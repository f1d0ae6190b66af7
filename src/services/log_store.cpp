#include "services/log_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <simdjson.h>

#include <cstring>
#include <set>

#include "paths/paths.hpp"
#include "services/log_line.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/mapped_file.hpp"

namespace brenik::services::tolvern {

const std::map<std::string, std::string> RECORD_REASON_EVENTS = {
    {"skipped", "attestation_skipped"},
    {"unattested", "commit_unattested"},
};

namespace {

// Calls fn(line) for every "\n"-separated line of text; a final newline
// does not make an extra empty line.
template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  std::size_t start = 0;
  while (start < text.size()) {
    const void* nl = std::memchr(text.data() + start, '\n', text.size() - start);
    std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data())
                         : text.size();
    fn(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::size_t total = 0;
  for (const auto& l : lines) total += l.size() + 1;
  std::string out;
  out.reserve(total);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  out += '\n';
  return out;
}

// Whether SIMDJSON_PADDING bytes of `whole` follow `line`, so that the
// parser may read past the line's end without a copy.
bool padded_within(std::string_view whole, std::string_view line) {
  return line.data() + line.size() + simdjson::SIMDJSON_PADDING <= whole.data() + whole.size();
}

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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  off_t size = ::lseek(fd, 0, SEEK_END);
  char last = '\n';
  bool mid = size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n';
  ::close(fd);
  return mid;
}

}  // namespace

namespace {

// One pass of classification; `on_pending` sees each unsynced addressable
// line (the parser holds it), so callers that only count never build values.
template <typename OnPending>
AttestationLog classify_log(const fs::path& log_path, OnPending&& on_pending) {
  AttestationLog log;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(log_path);
  } catch (const OSError&) {
    return log;
  }
  detail::LineParser parser;
  const std::string_view whole = file->view();
  for_each_line(whole, [&](std::string_view raw) {
    auto line = detail::strip_view(raw);
    if (line.empty()) return;
    if (!parser.parse(line, padded_within(whole, line)) || !parser.fields().is_object) {
      ++log.corrupt;
      return;
    }
    const auto& f = parser.fields();
    if (f.event == "attestation_skipped")
      ++log.skipped;
    else if (f.event == "commit_unattested")
      ++log.unattested;
    else
      ++log.attested;
    if (f.synced || f.uploaded) {
      ++log.uploaded;
      return;
    }
    // A commit member that is not text is as unaddressable as a short id.
    if (!detail::is_valid_commit_hash(f.commit.value_or(""))) {
      ++log.unaddressable;
      return;
    }
    on_pending(log, parser);
  });
  return log;
}

}  // namespace

AttestationLog read_attestation_log(const fs::path& log_path) {
  return classify_log(log_path,
                      [](AttestationLog& log, detail::LineParser& parser) { log.pending.push_back(parser.value()); });
}

std::size_t count_pending_entries(const fs::path& log_path) {
  std::size_t pending = 0;
  classify_log(log_path, [&](AttestationLog&, detail::LineParser&) { ++pending; });
  return pending;
}

namespace detail {

bool is_valid_commit_hash(std::string_view value) {
  if (value.size() != 40 && value.size() != 64) return false;
  for (char c : value)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void append_log_entry(const fs::path& breniklog_path, const json::Value& entry) {
  utils::make_dirs(breniklog_path.parent_path());
  std::string line;
  json::dump_to(line, entry, {.text_form_fallback = true});
  line += '\n';
  auto guard = utils::locked(breniklog_path);
  if (ends_mid_line(breniklog_path)) line.insert(line.begin(), '\n');
  utils::append_file(breniklog_path, line);
}

bool replace_log_entry(const fs::path& breniklog_path, const json::Value& entry) {
  std::error_code ec;
  if (!fs::exists(breniklog_path, ec)) return false;
  const std::string commit = entry.contains("commit") && entry["commit"].is_string()
                                 ? entry["commit"].get<std::string>()
                                 : std::string();
  auto guard = utils::locked(breniklog_path);
  const std::string text = utils::read_file(breniklog_path);
  std::vector<std::string> out;
  bool replaced = false;
  LineParser parser;
  for_each_line(text, [&](std::string_view line) {
    // Only a line holding the commit's text can be its line; every other
    // line is kept byte for byte without being parsed.
    if (!replaced && !commit.empty() && line.find(commit) != std::string_view::npos &&
        parser.parse(strip_view(line)) && parser.fields().is_object &&
        parser.fields().commit == commit) {
      std::string serialised;
      json::dump_to(serialised, entry, {.text_form_fallback = true});
      out.push_back(std::move(serialised));
      replaced = true;
      return;
    }
    out.emplace_back(line);
  });
  if (!replaced) return false;
  utils::atomic_write(breniklog_path, join_lines(out));
  return true;
}

void mark_synced(const fs::path& breniklog_path, const std::vector<json::Value>& batch) {
  std::set<std::string> commits;
  for (const auto& record : batch) {
    const auto& c = record.is_object() && record.contains("commit") ? record["commit"]
                                                                   : json::Value();
    if (c.is_string() && !c.get_ref<const std::string&>().empty())
      commits.insert(c.get<std::string>());
  }
  if (commits.empty()) return;
  auto guard = utils::locked(breniklog_path);
  const std::string text = utils::read_file(breniklog_path);
  std::vector<std::string> out;
  LineParser parser;
  for_each_line(strip_view(text), [&](std::string_view line) {
    const auto stripped = strip_view(line);
    if (!parser.parse(stripped, padded_within(text, stripped)) || !parser.fields().is_object) {
      // Not JSON, or JSON that is not a record: kept exactly as it is.
      out.emplace_back(line);
      return;
    }
    std::string serialised;
    const auto& f = parser.fields();
    if (f.commit && commits.count(*f.commit)) {
      json::Value obj = parser.value();
      obj.erase("uploaded");
      obj["synced"] = true;
      json::dump_to(serialised, obj, {.text_form_fallback = false});
    } else {
      parser.dump_to(serialised);  // re-serialised in the same layout
    }
    out.push_back(std::move(serialised));
  });
  utils::atomic_write(breniklog_path, join_lines(out));
}

bool commit_already_logged(const fs::path& breniklog_path, const std::string& commit) {
  if (commit.empty()) return false;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(breniklog_path);
  } catch (const OSError&) {
    return false;
  }
  // Ids are plain hex, which no JSON writer escapes: a line that does not
  // contain the id's text cannot carry it, so only lines with a hit are parsed.
  std::string_view text = file->view();
  LineParser parser;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* hit = ::memmem(text.data() + pos, text.size() - pos, commit.data(), commit.size());
    if (!hit) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    auto line = line_around(text, pos);
    if (parser.parse(strip_view(line)) && parser.fields().is_object &&
        parser.fields().commit == commit)
      return true;
    pos = static_cast<std::size_t>(line.data() + line.size() - text.data()) + 1;
  }
  return false;
}

bool already_recorded(const fs::path& repo_root, const std::string& full) {
  std::error_code ec;
  if (fs::exists(paths::attestations_dir(repo_root) / (full + ".yaml"), ec)) return true;
  return commit_already_logged(paths::log_jsonl(repo_root), full);
}

}  // namespace detail
}  // namespace brenik::services::tolvern
