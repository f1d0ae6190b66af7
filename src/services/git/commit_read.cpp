#include "services/git/commit_read.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "services/git/commit_id.hpp"
#include "services/git/config_files.hpp"
#include "services/git/git_files.hpp"

namespace brenik::services::tolvern::detail {

namespace {

constexpr std::size_t SHA1_HEX = 40;
// A commit larger than this (a huge message) is left to git.
constexpr std::size_t OBJECT_MAX = 1u << 20;

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool utf8_name(std::string_view encoding) {
  std::string s;
  for (char c : encoding) s += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s == "utf-8" || s == "utf8";
}

// A lowercase id from a loose ref file: the id and a newline, nothing else.
std::optional<std::string> loose_ref_id(const std::string& text) {
  std::string_view v = text;
  if (!v.empty() && v.back() == '\n') v.remove_suffix(1);
  if (!lowercase_hex(v, SHA1_HEX)) return std::nullopt;
  return std::string(v);
}

// The commit HEAD of this work tree names, read from HEAD and the refs.
std::optional<std::string> head_id(const GitDirs& dirs) {
  auto head = read_small_file(dirs.gitdir / "HEAD", SMALL_GIT_FILE_MAX);
  if (!head) return std::nullopt;
  if (auto detached = loose_ref_id(*head)) return detached;
  const auto name = head_branch_name(*head);
  if (!name) return std::nullopt;
  const std::string ref = "refs/heads/" + *name;
  if (auto loose = read_small_file(dirs.common / ref, SMALL_GIT_FILE_MAX)) return loose_ref_id(*loose);
  if (entry_exists(dirs.common / ref)) return std::nullopt;
  auto packed = read_small_file(dirs.common / "packed-refs", PACKED_REFS_MAX);
  if (!packed) return std::nullopt;
  return packed_ref_id(*packed, ref, SHA1_HEX);
}

// Replacement objects would make git show another commit than the one read.
bool replace_refs_present(const GitDirs& dirs) {
  if (std::getenv("GIT_NO_REPLACE_OBJECTS")) return false;
  // An empty folder, as `git replace -d` leaves it, replaces nothing.
  const fs::path replace = dirs.common / "refs" / "replace";
  if (entry_exists(replace)) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(replace, ec))) return true;
    int seen = 0;
    for (fs::recursive_directory_iterator it(replace, ec), end; it != end; it.increment(ec)) {
      if (ec || ++seen > 100 || !it->is_directory(ec) || it->is_symlink(ec)) return true;
    }
    if (ec) return true;
  }
  if (!entry_exists(dirs.common / "packed-refs")) return false;
  auto packed = read_small_file(dirs.common / "packed-refs", PACKED_REFS_MAX);
  return !packed || packed->find(" refs/replace/") != std::string::npos;
}

// Settings that change what git reads or how it prints a commit.
bool settings_plain(const std::vector<ConfigSetting>& settings) {
  for (const auto& s : settings) {
    if (s.key == "i18n.logoutputencoding" || s.key == "extensions.refstorage" ||
        s.key == "extensions.compatobjectformat" || s.key == "core.usereplacerefs")
      return false;
    if (s.key == "extensions.objectformat" && s.value != "sha1") return false;
    // An extension git may not know refuses the repository; let git say so.
    if (s.key.rfind("extensions.", 0) == 0 && s.key != "extensions.objectformat" &&
        s.key != "extensions.worktreeconfig")
      return false;
    if (s.key == "core.repositoryformatversion" && s.value != "0" && s.value != "1") return false;
  }
  return true;
}

// `Name <email> epoch +hhmm`, split as git splits it in the plain case.
struct Ident {
  std::string_view name, email, epoch, tz;
};

std::optional<Ident> split_ident(std::string_view line) {
  for (char c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  const auto open = line.find('<');
  const auto close = line.find('>');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      line.find('<', open + 1) != std::string_view::npos || line.rfind('>') != close)
    return std::nullopt;
  Ident id;
  std::string_view name = line.substr(0, open);
  while (!name.empty() && git_space(name.back())) name.remove_suffix(1);
  id.name = name;
  id.email = line.substr(open + 1, close - open - 1);
  std::string_view rest = line.substr(close + 1);
  if (rest.size() < 2 || rest.front() != ' ') return std::nullopt;
  rest.remove_prefix(1);
  const auto space = rest.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  id.epoch = rest.substr(0, space);
  id.tz = rest.substr(space + 1);
  if (!all_digits(id.epoch)) return std::nullopt;
  return id;
}

// git's subject: the first paragraph after any blank lines, its lines
// stripped of trailing white space and joined by one space.
std::string subject_of(std::string_view message) {
  std::string subject;
  bool started = false;
  std::size_t start = 0;
  while (start < message.size()) {
    auto end = message.find('\n', start);
    std::size_t next = end == std::string_view::npos ? message.size() : end + 1;
    std::string_view line = message.substr(start, (end == std::string_view::npos ? message.size() : end) - start);
    start = next;
    while (!line.empty() && git_space(line.back())) line.remove_suffix(1);
    if (line.empty()) {
      if (started) break;
      continue;
    }
    if (started) subject += ' ';
    subject += line;
    started = true;
  }
  return subject;
}

}  // namespace

std::optional<std::string> inflate_object(std::string_view compressed, std::size_t cap) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  // Grown as it fills: a commit is small, and zeroing room for the largest
  // one allowed would cost more than reading it.
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  z.avail_in = static_cast<uInt>(compressed.size());
  int status = Z_OK;
  while (status == Z_OK) {
    const std::size_t used = out.size();
    if (used > cap) break;
    const std::size_t room = std::min<std::size_t>(std::max<std::size_t>(used, 4096), cap + 1 - used);
    out.resize(used + room);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    z.avail_out = static_cast<uInt>(room);
    status = inflate(&z, Z_NO_FLUSH);
    out.resize(used + room - z.avail_out);
    if (status == Z_BUF_ERROR && z.avail_out != 0) break;  // the input ended early
    if (status == Z_BUF_ERROR) status = Z_OK;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END || out.size() > cap) return std::nullopt;
  return out;
}

std::optional<std::string> iso8601_strict(std::string_view epoch, std::string_view tz) {
  // Up to the year 9999; git shows later dates its own way.
  if (!all_digits(epoch) || epoch.size() > 12) return std::nullopt;
  const long long seconds = std::strtoll(std::string(epoch).c_str(), nullptr, 10);
  if (seconds > 253402300799LL) return std::nullopt;
  if (tz.size() != 5 || (tz[0] != '+' && tz[0] != '-') || !all_digits(tz.substr(1))) return std::nullopt;
  const int hours = (tz[1] - '0') * 10 + (tz[2] - '0');
  const int minutes = (tz[3] - '0') * 10 + (tz[4] - '0');
  if (minutes >= 60) return std::nullopt;
  const long long offset = (tz[0] == '-' ? -1 : 1) * (hours * 60LL + minutes) * 60;
  if (seconds + offset < 0) return std::nullopt;  // git refuses a date before 1970 in its zone
  // The civil date of the local time, by arithmetic alone (gmtime would
  // load the time zone database first).
  const long long local = seconds + offset;
  const long long days = local / 86400;
  const long long of_day = local % 86400;
  const long long era_days = days + 719468;  // days since 0000-03-01
  const long long era = era_days / 146097;
  const long long doe = era_days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[64];
  // git writes +00:00 for a zero offset, whichever sign the commit has.
  const char sign = (tz[0] == '-' && offset != 0) ? '-' : '+';
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld%c%02d:%02d", year, month, day,
                of_day / 3600, of_day / 60 % 60, of_day % 60, sign, hours, minutes);
  return std::string(buf);
}

std::optional<std::string> format_commit_object(std::string_view id, std::string_view body) {
  if (body.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<std::string_view> author;
  std::size_t start = 0;
  bool first = true;
  for (;;) {
    auto end = body.find('\n', start);
    if (end == std::string_view::npos) return std::nullopt;  // no message separator
    std::string_view line = body.substr(start, end - start);
    start = end + 1;
    if (line.empty()) break;
    if (first) {
      if (line.substr(0, 5) != "tree " || !lowercase_hex(line.substr(5), SHA1_HEX)) return std::nullopt;
      first = false;
    } else if (line.substr(0, 7) == "author ") {
      if (author) return std::nullopt;
      author = line.substr(7);
    } else if (line.substr(0, 9) == "encoding ") {
      if (!utf8_name(line.substr(9))) return std::nullopt;
    }
  }
  if (!author) return std::nullopt;
  auto ident = split_ident(*author);
  if (!ident) return std::nullopt;
  auto date = iso8601_strict(ident->epoch, ident->tz);
  if (!date) return std::nullopt;
  std::string out;
  out.reserve(body.size() + 128);
  out.append(id).append("\n");
  out.append(*date).append("\n");
  out.append(ident->name).append("\n");
  out.append(ident->email).append("\n");
  out.append(subject_of(body.substr(start))).append("\n");
  return out;
}

std::optional<std::string> show_commit_from_files(const fs::path& cwd, const std::string& revision) {
  // Variables that point git at other objects or refs than these files.
  for (const char* name : {"GIT_OBJECT_DIRECTORY", "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_NAMESPACE",
                           "GIT_REPLACE_REF_BASE", "GIT_SHALLOW_FILE"})
    if (std::getenv(name)) return std::nullopt;
  const auto dirs = locate_git_dirs(cwd);
  if (!dirs) return std::nullopt;
  if (entry_exists(dirs->common / "reftable") || replace_refs_present(*dirs)) return std::nullopt;
  const auto settings = read_config_files(*dirs);
  if (!settings || !settings_plain(*settings)) return std::nullopt;

  std::optional<std::string> id;
  if (revision == "HEAD")
    id = head_id(*dirs);
  else if (lowercase_hex(revision, SHA1_HEX))
    id = revision;
  if (!id) return std::nullopt;

  // A commit just made is loose; a packed one is git's to read.
  const fs::path object = dirs->common / "objects" / id->substr(0, 2) / id->substr(2);
  auto compressed = read_small_file(object, OBJECT_MAX);
  if (!compressed) return std::nullopt;
  auto raw = inflate_object(*compressed, OBJECT_MAX + 64);
  if (!raw) return std::nullopt;
  const auto nul = raw->find('\0');
  const std::string_view header = std::string_view(*raw).substr(0, nul == std::string::npos ? 0 : nul);
  if (nul == std::string::npos || header.substr(0, 7) != "commit " || !all_digits(header.substr(7)) ||
      header.size() > 7 + 9)
    return std::nullopt;
  const std::string_view body = std::string_view(*raw).substr(nul + 1);
  if (std::strtoull(std::string(header.substr(7)).c_str(), nullptr, 10) != body.size()) return std::nullopt;
  return format_commit_object(*id, body);
}

}  // namespace brenik::services::tolvern::detail
