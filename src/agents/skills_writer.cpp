#include "agents/skills_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <set>
#include <system_error>

#include "agents/transcript_reader.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::agents::detail {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MAX_DESCRIPTION = 1024;
constexpr std::uintmax_t MAX_LOCK_BYTES = 16u * 1024u * 1024u;

using Fd = utils::UniqueFd;

std::string random_suffix() {
  std::random_device rd;
  std::uniform_int_distribution<unsigned> dist(0, 15);
  std::string s;
  for (int i = 0; i < 12; ++i) s += "0123456789abcdef"[dist(rd)];
  return s;
}

// New content in a temporary file beside the target, then renamed over it:
// readers see the old file or the new one, never half of one. The rename
// replaces a symbolic link at the target instead of writing through it.
void write_atomic(const fs::path& target, const std::string& content) {
  fs::path tmp = target.parent_path() / ("." + target.filename().string() + ".tmp-" + random_suffix());
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw_os_error("cannot create " + tmp.string());
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::unlink(tmp.c_str());
      throw os_error_from_errno(e, "cannot write " + tmp.string());
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (fd.close_now() != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw os_error_from_errno(e, "cannot write " + tmp.string());
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw os_error_from_errno(e, "cannot replace " + target.string());
  }
}

// `<root>/<rel>`, walked one component at a time: a component that is a
// symbolic link must resolve inside the repository, anything but a
// directory is refused. Missing components are created when `create` is
// set; otherwise a missing one gives none.
std::optional<fs::path> safe_dir(const fs::path& root, const fs::path& rel, bool create) {
  std::error_code ec;
  fs::path real_root = fs::canonical(root, ec);
  if (ec) throw os_error_from_errno(ec.value(), "repository root " + root.string());
  fs::path cur = root;
  for (const auto& part : rel) {
    if (part.empty() || part == "." || part == "..") throw OSError(EINVAL, "bad skills directory " + rel.string());
    cur /= part;
    auto st = fs::symlink_status(cur, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) throw os_error_from_errno(ec.value(), cur.string());
    if (!fs::exists(st)) {
      if (!create) return std::nullopt;
      if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) throw_os_error("cannot create " + cur.string());
      continue;
    }
    if (fs::is_symlink(st)) {
      fs::path target = fs::canonical(cur, ec);
      if (ec) throw os_error_from_errno(ec.value(), "dangling link " + cur.string());
      if (!lexically_inside(real_root, target)) throw OSError(EXDEV, cur.string() + " leads out of the repository");
      if (!fs::is_directory(target, ec)) throw OSError(ENOTDIR, cur.string() + " is not a directory");
      continue;
    }
    if (!fs::is_directory(st)) throw OSError(ENOTDIR, cur.string() + " is not a directory");
  }
  return cur;
}

std::string read_small_file(const fs::path& path, std::uintmax_t limit) {
  // Missing, a link, or not a regular file: nothing to read.
  return utils::try_read_small_regular_file(path, limit).value_or(std::string());
}

std::vector<std::string> read_manifest(const fs::path& dir) {
  std::vector<std::string> out;
  fs::path file = dir / MANAGED_MANIFEST;
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(file, ec))) return out;
  auto doc = json::Value::parse(read_small_file(file, MAX_LOCK_BYTES), nullptr, false);
  if (doc.is_discarded()) return out;
  const json::Value* list = &doc;
  if (doc.is_object()) {
    auto it = doc.find("managed");
    if (it == doc.end()) return out;
    list = &*it;
  }
  if (!list->is_array()) return out;
  for (const auto& v : *list)
    if (v.is_string() && is_safe_skill_slug(v.get_ref<const std::string&>()) &&
        std::find(out.begin(), out.end(), v.get<std::string>()) == out.end())
      out.push_back(v.get<std::string>());
  return out;
}

std::string yaml_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      static const char* hex = "0123456789abcdef";
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

// Cut at a character boundary, at most `limit` bytes.
std::string utf8_cut(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  text.resize(n);
  return text;
}

std::string one_line(std::string_view text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  return out;
}

std::string skill_slug(const json::Value& skill) {
  for (const char* key : {"slug", "name"}) {
    auto it = skill.find(key);
    if (it != skill.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
      return it->get<std::string>();
  }
  return {};
}

void remove_managed(const fs::path& dir, const std::string& slug) {
  fs::path p = dir / slug;
  std::error_code ec;
  auto st = fs::symlink_status(p, ec);
  if (ec || !fs::is_directory(st) || fs::is_symlink(st)) return;  // no longer ours to touch
  fs::remove(p / "SKILL.md", ec);
  if (ec) logging::debug("Could not remove managed skill %s: %s", slug, ec.message());
  if (fs::is_empty(p, ec) && !ec) fs::remove(p, ec);
}

}  // namespace

bool is_safe_skill_slug(std::string_view slug) {
  if (slug.empty() || slug.size() > 128) return false;
  auto ok_first = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (!ok_first(slug.front())) return false;
  for (char c : slug)
    if (!ok_first(c) && c != '.' && c != '_' && c != '-') return false;
  return slug.find("..") == std::string_view::npos;
}

std::string skill_md_text(const std::string& slug, const json::Value& skill) {
  std::string content;
  if (auto it = skill.find("content"); it != skill.end() && it->is_string()) content = it->get<std::string>();
  if (!content.empty() && content.back() != '\n') content += '\n';
  if (content.rfind("---\n", 0) == 0 || content.rfind("---\r\n", 0) == 0) return content;

  std::string description;
  if (auto it = skill.find("description"); it != skill.end() && it->is_string())
    description = one_line(it->get<std::string>());
  if (description.empty()) {
    // First line of prose, without a heading's hashes.
    std::istringstream lines(content);
    std::string line;
    while (description.empty() && std::getline(lines, line)) {
      std::size_t i = line.find_first_not_of("# \t\r");
      if (i != std::string::npos) description = one_line(line.substr(i));
    }
  }
  if (description.empty()) description = slug;
  std::string out =
      "---\nname: " + slug + "\ndescription: " + yaml_quoted(utf8_cut(description, MAX_DESCRIPTION)) + "\n---\n\n";
  return out + content;
}

void write_skills_into(const fs::path& repo_root, const fs::path& skills_rel, const json::Value& skills) {
  if (!skills.is_array()) throw TypeError("skills must be a list, not " + json::type_name(skills));

  std::vector<std::pair<std::string, std::string>> wanted;  // slug, SKILL.md text
  for (const auto& skill : skills) {
    if (!skill.is_object()) continue;
    std::string slug = skill_slug(skill);
    if (!is_safe_skill_slug(slug)) {
      logging::warning("Skipping skill with unsafe slug: %r", slug);
      continue;
    }
    if (std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == slug; }))
      continue;  // the first one of a slug wins
    wanted.emplace_back(slug, skill_md_text(slug, skill));
  }

  auto existing = safe_dir(repo_root, skills_rel, false);
  std::vector<std::string> managed = existing ? read_manifest(*existing) : std::vector<std::string>{};
  if (wanted.empty() && managed.empty()) return;  // nothing to write, nothing of ours to remove
  fs::path dir = existing ? *existing : *safe_dir(repo_root, skills_rel, true);

  std::set<std::string> old(managed.begin(), managed.end());
  std::vector<std::string> now;
  std::set<std::string> wanted_slugs;
  for (const auto& [slug, text] : wanted) {
    wanted_slugs.insert(slug);
    fs::path p = dir / slug;
    std::error_code ec;
    auto st = fs::symlink_status(p, ec);
    if (!fs::exists(st)) {
      if (::mkdir(p.c_str(), 0755) != 0) throw_os_error("cannot create " + p.string());
    } else if (fs::is_symlink(st) || !fs::is_directory(st) || !old.count(slug)) {
      // A user's own skill, or the installer's link: not ours to replace.
      logging::debug("Keeping skill %s that this tool did not write", slug);
      continue;
    }
    // Unchanged skills are not rewritten: a sync with nothing new writes nothing.
    if (read_small_file(p / "SKILL.md", MAX_LOCK_BYTES) != text) write_atomic(p / "SKILL.md", text);
    now.push_back(slug);
  }
  for (const auto& slug : managed)
    if (!wanted_slugs.count(slug)) remove_managed(dir, slug);

  fs::path manifest = dir / MANAGED_MANIFEST;
  if (now.empty()) {
    std::error_code ec;
    fs::remove(manifest, ec);
    return;
  }
  json::Value doc = json::Value::object();
  doc["managed"] = now;
  const std::string manifest_text = doc.dump(2) + "\n";
  if (read_small_file(manifest, MAX_LOCK_BYTES) != manifest_text) write_atomic(manifest, manifest_text);
}

std::vector<std::string> remove_managed_skills(const fs::path& repo_root, const fs::path& skills_rel) {
  auto dir = safe_dir(repo_root, skills_rel, false);
  if (!dir) return {};
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(*dir / MANAGED_MANIFEST, ec))) return {};
  std::vector<std::string> managed = read_manifest(*dir);
  write_skills_into(repo_root, skills_rel, json::Value::array());
  // Only an empty folder goes: rmdir refuses anything else, and a link.
  ::rmdir(dir->c_str());
  return managed;
}

namespace {

// The lock's "skills" mapping (name -> entry); an empty object when the lock
// is missing or unreadable.
json::Value locked_skills(const fs::path& repo_root) {
  auto doc = json::Value::parse(read_small_file(repo_root / "skills-lock.json", MAX_LOCK_BYTES), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return json::Value::object();
  auto it = doc.find("skills");
  if (it == doc.end() || !it->is_object()) return json::Value::object();
  return *it;
}

bool same_ascii_case_blind(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> npx_locked_skills(const fs::path& repo_root) {
  std::vector<std::string> out;
  const json::Value skills = locked_skills(repo_root);
  for (const auto& [name, entry] : skills.items()) {
    (void)entry;
    out.push_back(name);
  }
  return out;
}

std::vector<std::string> npx_locked_skills_from(const fs::path& repo_root, std::string_view source) {
  std::vector<std::string> out;
  const json::Value skills = locked_skills(repo_root);
  for (const auto& [name, entry] : skills.items()) {
    if (!entry.is_object()) continue;
    auto it = entry.find("source");
    if (it != entry.end() && it->is_string() && same_ascii_case_blind(it->get_ref<const std::string&>(), source))
      out.push_back(name);
  }
  return out;
}

bool npx_skills_present(const fs::path& repo_root, const std::vector<fs::path>& dirs) {
  auto names = npx_locked_skills(repo_root);
  if (names.empty()) return false;
  for (const auto& name : names) {
    // The installer's names are file names; anything else cannot be checked.
    if (name.empty() || name.size() > 255 || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
      return false;
    bool found = false;
    for (const auto& d : dirs) {
      std::error_code ec;
      if (fs::is_regular_file(repo_root / d / name / "SKILL.md", ec)) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace brenik::agents::detail
