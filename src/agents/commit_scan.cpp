#include "agents/commit_scan.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <array>

namespace brenik::agents::detail {

namespace {

constexpr std::array<bool, 256> make_hex_table() {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = true;
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = true;
  return t;
}
constexpr std::array<bool, 256> HEX = make_hex_table();

bool is_hex(char c) { return HEX[static_cast<unsigned char>(c)]; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool hex_run(std::string_view s, std::size_t pos, std::size_t n) {
  if (pos + n > s.size()) return false;
  for (std::size_t i = pos; i < pos + n; ++i)
    if (!is_hex(s[i])) return false;
  return true;
}

// The run [s, s+len) is the first or the last group of a UUID
// (8-4-4-4-12): session, message and tool ids fill every transcript line and
// would otherwise collide with seven-digit prefixes now and then.
bool is_uuid_group(std::string_view text, std::size_t s, std::size_t len) {
  if (len == 8) {
    std::size_t p = s + 8;
    return p + 28 <= text.size() && text[p] == '-' && hex_run(text, p + 1, 4) && text[p + 5] == '-' &&
           hex_run(text, p + 6, 4) && text[p + 10] == '-' && hex_run(text, p + 11, 4) && text[p + 15] == '-' &&
           hex_run(text, p + 16, 12);
  }
  if (len == 12) {
    if (s < 24) return false;
    std::size_t b = s - 24;
    return hex_run(text, b, 8) && text[b + 8] == '-' && hex_run(text, b + 9, 4) && text[b + 13] == '-' &&
           hex_run(text, b + 14, 4) && text[b + 18] == '-' && hex_run(text, b + 19, 4) && text[b + 23] == '-';
  }
  return false;
}

const RE2& git_commit_re() {
  static const RE2 re(R"((?s)\bgit\b.*\bcommit\b)");
  return re;
}

// "[main 1a2b3c4]", "[main (root-commit) 1a2b3c4]", "[detached HEAD 1a2b3c4]".
const RE2& summary_re() {
  static const RE2 re(R"(\[[^\[\]"\\]{1,255} ([0-9a-fA-F]{7,64})\])");
  return re;
}

}  // namespace

bool is_git_commit_command(std::string_view command) {
  return RE2::PartialMatch(re2::StringPiece(command.data(), command.size()), git_commit_re());
}

CommitIndex::CommitIndex(const std::vector<std::string>& commits, const std::map<std::string, double>& times) {
  for (const auto& c : commits) {
    if (c.size() < MIN_PREFIX || c.size() > 64) continue;
    if (!std::all_of(c.begin(), c.end(), is_hex)) continue;
    std::string lo(c);
    std::transform(lo.begin(), lo.end(), lo.begin(), lower);
    if (std::find(lower_.begin(), lower_.end(), lo) != lower_.end()) continue;
    std::size_t idx = ids_.size();
    ids_.push_back(c);
    lower_.push_back(lo);
    auto t = times.find(c);
    times_.push_back(t == times.end() ? std::nullopt : std::optional<double>(t->second));
    if (t != times.end()) any_time_ = true;
    by_prefix_[lo.substr(0, MIN_PREFIX)].push_back(idx);
  }
}

void CommitIndex::match_run(std::string_view run, const std::function<void(std::size_t)>& found) const {
  std::string key(run.substr(0, MIN_PREFIX));
  std::transform(key.begin(), key.end(), key.begin(), lower);
  auto it = by_prefix_.find(key);
  if (it == by_prefix_.end()) return;
  for (std::size_t idx : it->second) {
    const std::string& full = lower_[idx];
    if (run.size() > full.size()) continue;
    bool same = true;
    for (std::size_t i = MIN_PREFIX; i < run.size() && same; ++i) same = lower(run[i]) == full[i];
    if (same) found(idx);
  }
}

void CommitIndex::mentions(std::string_view text, const std::function<void(std::size_t)>& found) const {
  if (ids_.empty()) return;
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (!is_hex(text[i])) {
      ++i;
      continue;
    }
    std::size_t s = i;
    while (i < n && is_hex(text[i])) ++i;
    std::size_t len = i - s;
    if (len >= MIN_PREFIX && len <= 64 && !is_uuid_group(text, s, len)) match_run(text.substr(s, len), found);
  }
}

void CommitIndex::summaries(std::string_view text, const std::function<void(std::size_t)>& found) const {
  if (ids_.empty()) return;
  re2::StringPiece input(text.data(), text.size());
  re2::StringPiece abbrev;
  while (RE2::FindAndConsume(&input, summary_re(), &abbrev))
    match_run(std::string_view(abbrev.data(), abbrev.size()), found);
}

void CommitIndex::made_by_time(double start, std::optional<double> end,
                               const std::function<void(std::size_t)>& found) const {
  for (std::size_t i = 0; i < times_.size(); ++i) {
    if (!times_[i]) continue;
    double ct = *times_[i];
    bool near_start = start >= ct - MADE_WINDOW_BEFORE && start <= ct + MADE_WINDOW_AFTER;
    bool bracketed = end && *end >= start && *end - start <= MAX_CALL_BRACKET && ct >= start - MADE_WINDOW_AFTER &&
                     ct <= *end + MADE_WINDOW_AFTER;
    if (near_start || bracketed) found(i);
  }
}

void SessionHits::push_unique(std::vector<std::string>& v, const std::string& s) {
  if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(s);
}

void SessionHits::add(const FileHits& hits, const std::string& session_id) {
  if (session_id.empty()) return;
  for (std::size_t i : hits.made)
    if (i < made_.size()) push_unique(made_[i], session_id);
  for (std::size_t i : hits.mentioned)
    if (i < mentioned_.size()) push_unique(mentioned_[i], session_id);
}

std::map<std::string, std::vector<std::string>> SessionHits::result(const CommitIndex& index) const {
  std::map<std::string, std::vector<std::string>> out;
  for (std::size_t i = 0; i < index.size() && i < made_.size(); ++i) {
    const auto& chosen = made_[i].empty() ? mentioned_[i] : made_[i];
    if (!chosen.empty()) out[index.id(i)] = chosen;
  }
  return out;
}

}  // namespace brenik::agents::detail
