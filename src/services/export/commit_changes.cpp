#include "services/export/commit_changes.hpp"

#include <charconv>

#include "services/git/git.hpp"

namespace brenik::services::exporting {

namespace {

// Starts each commit's header line; git quotes control characters in paths,
// so no diff line can begin with it.
constexpr char COMMIT_MARK = '\x01';
constexpr char FIELD_MARK = '\x02';

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

std::optional<std::int64_t> to_int(std::string_view s) {
  std::int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

// "a/x" -> "x" (the prefixes are fixed by the arguments); none for /dev/null.
std::optional<std::string> strip_prefix(const std::string& path) {
  if (path.size() > 2 && (starts_with(path, "a/") || starts_with(path, "b/"))) return path.substr(2);
  return std::nullopt;
}

// One path token of a ---/+++ or rename line: quoted, or the rest of the
// line (git appends a tab after a name that holds a space).
std::optional<std::string> path_token(std::string_view text) {
  if (!text.empty() && text.front() == '"') {
    std::size_t used = 0;
    return detail::unquote_path(text, used);
  }
  if (!text.empty() && text.back() == '\t') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

// The path of "diff --git a/P b/P" when the header is all there is (mode
// changes, empty files, binary files): both names are equal unless renamed,
// and renames carry their own lines.
std::optional<std::string> header_path(std::string_view rest) {
  if (!rest.empty() && rest.front() == '"') {
    std::size_t used = 0;
    auto a = detail::unquote_path(rest, used);
    if (!a) return std::nullopt;
    rest.remove_prefix(used);
    if (rest.empty() || rest.front() != ' ') return std::nullopt;
    rest.remove_prefix(1);
    auto b = path_token(rest);
    if (!b) return std::nullopt;
    return strip_prefix(*b);
  }
  // Unquoted: "a/P b/P" is 2 * len(P) + 5 bytes.
  if (rest.size() < 7 || (rest.size() - 5) % 2 != 0) {
    // Different names (quoted second half, say): take the second token.
    auto sp = rest.find(" \"b/");
    if (sp == std::string_view::npos) return std::nullopt;
    auto b = path_token(rest.substr(sp + 1));
    return b ? strip_prefix(*b) : std::nullopt;
  }
  const std::size_t n = (rest.size() - 5) / 2;
  if (!starts_with(rest, "a/") || rest.substr(n + 2, 3) != " b/") return std::nullopt;
  if (rest.substr(2, n) != rest.substr(n + 5)) return std::nullopt;
  return std::string(rest.substr(2, n));
}

// "@@ -a[,b] +c[,d] @@..." -> the added range, none when nothing was added.
std::optional<LineRange> hunk_added(std::string_view line) {
  auto plus = line.find(" +");
  if (plus == std::string_view::npos) return std::nullopt;
  std::string_view spec = line.substr(plus + 2);
  auto end = spec.find(' ');
  if (end == std::string_view::npos) return std::nullopt;
  spec = spec.substr(0, end);
  std::int64_t start = 0, count = 1;
  auto comma = spec.find(',');
  auto s = to_int(spec.substr(0, comma));
  if (!s) return std::nullopt;
  start = *s;
  if (comma != std::string_view::npos) {
    auto c = to_int(spec.substr(comma + 1));
    if (!c) return std::nullopt;
    count = *c;
  }
  if (count <= 0) return std::nullopt;
  return LineRange{start, start + count - 1};
}

class Parser {
public:
  std::vector<CommitChanges> commits;

  void line(std::string_view l) {
    if (!l.empty() && l.front() == COMMIT_MARK) return commit_line(l.substr(1));
    if (commits.empty()) return;
    if (starts_with(l, "diff --git ")) {
      finish_file();
      file_ = FileChange{};
      in_file_ = true;
      in_hunks_ = false;
      if (auto p = header_path(l.substr(11))) file_.path = *p;
      return;
    }
    if (!in_file_) return;
    if (starts_with(l, "@@ ")) {
      in_hunks_ = true;
      if (auto r = hunk_added(l)) file_.added.push_back(*r);
      return;
    }
    if (in_hunks_) return;  // hunk bodies: nothing needed from them
    if (starts_with(l, "rename from ") || starts_with(l, "copy from ")) {
      if (auto p = path_token(l.substr(l.find(" from ") + 6))) file_.old_path = *p;
    } else if (starts_with(l, "rename to ") || starts_with(l, "copy to ")) {
      if (auto p = path_token(l.substr(l.find(" to ") + 4))) {
        file_.path = *p;
        renamed_ = true;
      }
    } else if (starts_with(l, "deleted file mode")) {
      file_.deleted = true;
    } else if (starts_with(l, "--- ")) {
      if (auto p = path_token(l.substr(4))) {
        if (auto s = strip_prefix(*p); s && file_.path.empty()) file_.path = *s;
      }
    } else if (starts_with(l, "+++ ")) {
      auto p = path_token(l.substr(4));
      auto s = p ? strip_prefix(*p) : std::nullopt;
      if (s && !renamed_) file_.path = *s;
      if (!s) file_.deleted = true;
    } else if (starts_with(l, "Binary files ") || starts_with(l, "GIT binary patch")) {
      file_.binary = true;
    }
  }

  void finish() { finish_file(); }

private:
  void commit_line(std::string_view l) {
    finish_file();
    CommitChanges c;
    auto sep = l.find(FIELD_MARK);
    c.commit = std::string(l.substr(0, sep));
    if (sep != std::string_view::npos) c.author_time = to_int(l.substr(sep + 1)).value_or(0);
    commits.push_back(std::move(c));
  }

  void finish_file() {
    if (in_file_ && !commits.empty() && !file_.path.empty()) commits.back().files.push_back(std::move(file_));
    in_file_ = false;
    in_hunks_ = false;
    renamed_ = false;
    file_ = FileChange{};
  }

  FileChange file_;
  bool in_file_ = false;
  bool in_hunks_ = false;
  bool renamed_ = false;
};

}  // namespace

namespace detail {

std::optional<std::string> unquote_path(std::string_view text, std::size_t& consumed) {
  if (text.empty() || text.front() != '"') return std::nullopt;
  std::string out;
  std::size_t i = 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      consumed = i + 1;
      return out;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    const char e = text[i];
    switch (e) {
      case 'a': out += '\a'; break;
      case 'b': out += '\b'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'v': out += '\v'; break;
      case 'f': out += '\f'; break;
      case 'r': out += '\r'; break;
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      default: {
        if (e < '0' || e > '3' || i + 2 >= text.size()) return std::nullopt;
        int v = 0;
        for (int k = 0; k < 3; ++k) {
          const char d = text[i + static_cast<std::size_t>(k)];
          if (d < '0' || d > '7') return std::nullopt;
          v = v * 8 + (d - '0');
        }
        out += static_cast<char>(v);
        i += 2;
      }
    }
    ++i;
  }
  return std::nullopt;
}

}  // namespace detail

std::vector<std::string> commit_changes_args(const std::string& range) {
  // Everything that user configuration could change in the layout of the
  // stream is fixed here, so the parser sees one format.
  return {"-c",
          "core.quotePath=true",
          "-c",
          "log.showSignature=false",
          "-c",
          "diff.noprefix=false",
          "-c",
          "diff.mnemonicPrefix=false",
          "-c",
          "core.fsmonitor=false",
          "-c",
          "log.showRoot=true",
          "log",
          "--no-color",
          "--no-ext-diff",
          "--no-textconv",
          "--no-relative",
          "--submodule=short",
          "--diff-merges=off",
          "-p",
          "-U0",
          "--inter-hunk-context=0",
          "-M",
          "--src-prefix=a/",
          "--dst-prefix=b/",
          "--format=%x01%H%x02%at",
          "--end-of-options",
          range,
          "--"};
}

std::vector<CommitChanges> parse_commit_changes(std::string_view stream) {
  Parser p;
  std::size_t start = 0;
  while (start < stream.size()) {
    std::size_t end = stream.find('\n', start);
    if (end == std::string_view::npos) end = stream.size();
    std::string_view l = stream.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    p.line(l);
    start = end + 1;
  }
  p.finish();
  return std::move(p.commits);
}

std::optional<std::vector<CommitChanges>> read_commit_changes(const std::filesystem::path& repo_root,
                                                              const std::string& range, double timeout_seconds) {
  auto out = tolvern::detail::git_bytes(commit_changes_args(range), repo_root, timeout_seconds);
  if (!out) return std::nullopt;
  return parse_commit_changes(*out);
}

}  // namespace brenik::services::exporting
