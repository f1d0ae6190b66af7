#include "services/views/blame.hpp"

#include <algorithm>
#include <map>

#include "services/git/git.hpp"
#include "utils/process.hpp"

namespace brenik::services::views {

namespace {

constexpr double BLAME_GIT_SECONDS = 120.0;

bool is_hex_id(std::string_view s) {
  if (s.size() != 40 && s.size() != 64) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool all_zeros(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == '0'; });
}

}  // namespace

namespace detail {

std::vector<BlameLine> parse_porcelain(std::string_view text) {
  std::vector<BlameLine> lines;
  std::string current;
  std::size_t number = 0;
  bool in_header = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view row = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!row.empty() && row.front() == '\t') {
      if (in_header) lines.push_back({number, current, std::string(row.substr(1))});
      in_header = false;
      continue;
    }
    if (in_header) continue;  // author, summary, filename... of the current line
    // "<id> <orig line> <final line> [<group size>]"
    const std::size_t sp = row.find(' ');
    if (sp == std::string_view::npos || !is_hex_id(row.substr(0, sp))) continue;
    const std::string_view rest = row.substr(sp + 1);
    const std::size_t sp2 = rest.find(' ');
    if (sp2 == std::string_view::npos) continue;
    std::string_view final_line = rest.substr(sp2 + 1);
    final_line = final_line.substr(0, final_line.find(' '));
    current.assign(row.substr(0, sp));
    number = 0;
    for (char c : final_line) {
      if (c < '0' || c > '9') break;
      number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    in_header = true;
  }
  return lines;
}

std::vector<Share> shares_of(const std::vector<BlameLine>& lines,
                             const std::unordered_map<std::string, CommitEntry>& commits) {
  std::map<std::string, Share> by_label;
  for (const auto& l : lines) {
    auto it = commits.find(l.commit);
    Attribution who;
    if (it != commits.end())
      who = it->second.who;
    else if (all_zeros(l.commit))
      who.author = Author::uncommitted;
    const std::string label = who.label();
    auto [slot, fresh] = by_label.try_emplace(label);
    if (fresh) {
      slot->second.label = label;
      slot->second.who = who;
    }
    ++slot->second.lines;
  }
  std::vector<Share> shares;
  for (auto& [label, s] : by_label) {
    s.percent = lines.empty() ? 0.0 : 100.0 * static_cast<double>(s.lines) / static_cast<double>(lines.size());
    shares.push_back(std::move(s));
  }
  std::stable_sort(shares.begin(), shares.end(), [](const Share& a, const Share& b) { return a.lines > b.lines; });
  return shares;
}

}  // namespace detail

Blame blame_file(const fs::path& repo_root, const fs::path& cwd, const std::string& file,
                 const std::optional<std::string>& revision) {
  Blame b;
  std::vector<std::string> args{"-c", "core.fsmonitor=false", "blame", "--porcelain"};
  if (revision) {
    // git blame takes no --end-of-options: a revision that looks like an
    // option would be read as one.
    if (revision->empty() || revision->front() == '-') {
      b.error = "unknown revision '" + *revision + "'";
      return b;
    }
    args.push_back(*revision);
  }
  args.push_back("--");
  args.push_back(file);
  auto r = tolvern::detail::git_output(args, {.cwd = cwd}, BLAME_GIT_SECONDS);
  if (!r.ok) {
    b.error = r.err;
    return b;
  }
  b.lines = detail::parse_porcelain(utils::decode_utf8_replace(r.out));
  std::vector<std::string> ids;
  for (const auto& l : b.lines) {
    if (all_zeros(l.commit)) continue;
    ids.push_back(l.commit);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  for (auto& e : join_records(repo_root, ids, LineDetail::summary)) b.commits.emplace(e.commit, std::move(e));
  b.shares = detail::shares_of(b.lines, b.commits);
  return b;
}

}  // namespace brenik::services::views
