#include "hooks/agent_guidance.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "agents/registry.hpp"
#include "agents/skills_writer.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/text.hpp"

namespace brenik::hooks::agent_guidance {

namespace {

// A SKILL.md of the installer's is a page of Markdown; anything larger is
// not one and is not read.
constexpr std::size_t MAX_INSTALLED_SKILL_BYTES = 1u << 20;
// A guidance file larger than this is not an instructions file an agent
// reads whole; it is left alone rather than loaded.
constexpr std::size_t MAX_GUIDANCE_FILE_BYTES = 8u << 20;
// The block lists this many skills; the rest are in the skills cache.
constexpr std::size_t MAX_LISTED_SKILLS = 40;
constexpr std::size_t MAX_LISTED_DESCRIPTION = 160;

std::string text_member(const json::Value& v, const char* key) {
  if (!v.is_object()) return {};
  auto it = v.find(key);
  return it != v.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Text from the server or a configuration put on one line of the block:
// no line breaks or control characters, nothing that opens or closes an
// HTML comment (a description holding a marker would break the block for
// every later sync), no backticks, at most `limit` bytes.
std::string block_safe(std::string_view text, std::size_t limit) {
  std::string out;
  bool space = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto step = utils::utf8_step(text, i);
    if (step.length == 0) {  // not UTF-8: dropped
      ++i;
      continue;
    }
    const char32_t cp = step.code_point;
    if (cp < 0x20 || cp == 0x7f || cp == ' ') {
      space = !out.empty();
      i += step.length;
      continue;
    }
    if (space) out += ' ';
    space = false;
    out.append(text.substr(i, step.length));
    i += step.length;
  }
  for (const std::string_view bad : {"<!--", "-->"}) {
    std::size_t at;
    while ((at = out.find(bad)) != std::string::npos) out.erase(at, bad.size());
  }
  std::replace(out.begin(), out.end(), '`', '\'');
  if (out.size() > limit) {
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
    out.resize(n);
    out += "...";
  }
  return out;
}

bool is_line_with(std::string_view line, std::string_view marker) {
  return line.find(marker) != std::string_view::npos;
}

// The guidance file itself, or for a link the file it names, which must
// be a regular file (or nothing) inside the repository.
fs::path guidance_target(const fs::path& repo_root, const fs::path& file) {
  std::error_code ec;
  const auto st = fs::symlink_status(file, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) throw os_error_from_errno(ec.value(), file.string());
  if (!utils::stays_inside(repo_root, file))
    throw OSError(EXDEV, file.string() + " leads out of the repository; not changed");
  if (!fs::is_symlink(st)) return file;
  const fs::path target = fs::weakly_canonical(file, ec);
  if (ec) throw os_error_from_errno(ec.value(), file.string());
  // A link may name another Markdown page of the project (CLAUDE.md ->
  // AGENTS.md is common), never the tool's own state or git's.
  const fs::path real_root = fs::weakly_canonical(repo_root, ec);
  const fs::path rel = target.lexically_relative(real_root);
  const std::string first = rel.empty() ? std::string() : rel.begin()->string();
  std::string ext = target.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ec || first == ".brenik" || first == ".git" || ext != ".md")
    throw OSError(EINVAL, file.string() + " is a link to " + target.string() + ", not a Markdown page; not changed");
  return target;
}

}  // namespace

void validate_slug(const std::string& slug, const std::string& source) {
  auto refuse = [&](const std::string& why) {
    throw UnsafeSlugError("unsafe " + source + " slug " + logging::quote_repr(block_safe(slug, 64)) + ": " + why);
  };
  if (slug.empty()) refuse("empty");
  if (slug.size() > MAX_SLUG_BYTES) refuse("longer than " + std::to_string(MAX_SLUG_BYTES) + " bytes");
  if (slug.front() == '.') refuse("starts with a dot");
  if (slug.find("..") != std::string::npos) refuse("holds \"..\"");
  for (char c : slug) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') refuse("holds a path separator");
    if (u < 0x20 || u == 0x7f) refuse("holds a control character");
  }
  if (!utils::is_valid_utf8(slug)) refuse("not UTF-8");
  if (utils::strip(slug) != slug) refuse("begins or ends with white space");
}

std::string extract_slug(const json::Value& skill) {
  if (!skill.is_object()) throw UnsafeSlugError("skill is not a mapping");
  // The slug names the file; a display name stands in only when there is none.
  std::string slug = text_member(skill, "slug");
  if (slug.empty()) slug = text_member(skill, "name");
  validate_slug(slug, "skill");
  return slug;
}

std::string build_skill_file(const json::Value& skill, const std::string& fmt) {
  if (fmt != "skill_md") throw ValueError("unknown skill file format " + logging::quote_repr(fmt));
  return agents::detail::skill_md_text(extract_slug(skill), skill);
}

std::vector<std::string> detect_agents(const fs::path& repo_root) {
  std::vector<std::string> names;
  for (const auto& adapter : agents::iter_adapters())
    if (adapter->detect_in_repo(repo_root)) names.push_back(adapter->name());
  return names;
}

std::vector<std::string> installed_platform_slugs(const fs::path& repo_root) {
  std::vector<std::string> out;
  for (auto& name : agents::detail::npx_locked_skills_from(repo_root, PLATFORM_SKILLS_PACKAGE)) {
    try {
      validate_slug(name, "installed skill");
    } catch (const UnsafeSlugError& e) {
      logging::debug("Ignoring installed skill: %s", e);
      continue;
    }
    out.push_back(std::move(name));
  }
  return out;
}

json::Value read_platform_skills_from_npx(const fs::path& repo_root) {
  json::Value skills = json::Value::array();
  for (const auto& slug : installed_platform_slugs(repo_root)) {
    const fs::path file = repo_root / ".agents" / "skills" / slug / "SKILL.md";
    // A clone may plant a link there; the installer writes real folders.
    if (!utils::stays_inside(repo_root, file)) {
      logging::debug("Installed skill %s leads out of the repository; not read", slug);
      continue;
    }
    std::optional<std::string> content;
    try {
      content = utils::read_small_regular_file(file, MAX_INSTALLED_SKILL_BYTES);
    } catch (const std::exception& e) {
      logging::debug("Installed skill %s not readable: %s", slug, e);
      continue;
    }
    if (!content) continue;
    skills.push_back({{"slug", slug}, {"name", slug}, {"content", *content}, {"source", "platform"}});
  }
  return skills;
}

namespace {

// The editor's own skills folder, only where that editor is in use in this
// repository: a sync does not create `.cursor/` in everybody's clone.
std::optional<fs::path> skills_folder_in_use(const fs::path& repo_root, std::string_view agent) {
  const auto adapter = agents::get_adapter_by_name(agent);
  if (!adapter) return std::nullopt;
  const fs::path rel = adapter->skills_dir();
  std::error_code ec;
  if (fs::exists(repo_root / rel / agents::detail::MANAGED_MANIFEST, ec)) return rel;  // ours to update
  if (!adapter->detect_in_repo(repo_root)) return std::nullopt;
  return rel;
}

}  // namespace

void write_cursor_skills(const fs::path& repo_root, const json::Value& skills) {
  if (!skills.is_array()) throw TypeError("skills must be a list, not " + json::type_name(skills));
  const auto rel = skills_folder_in_use(repo_root, "cursor");
  if (!rel) return;
  // Cursor also reads the installer's shared folder: a skill already there
  // would otherwise show twice.
  json::Value own = json::Value::array();
  for (const auto& skill : skills) {
    std::string slug;
    try {
      slug = extract_slug(skill);
    } catch (const UnsafeSlugError&) {
      continue;  // the writer skips it as well
    }
    std::error_code ec;
    const fs::path shared = repo_root / ".agents" / "skills" / slug / "SKILL.md";
    if (utils::stays_inside(repo_root, shared) && fs::is_regular_file(shared, ec)) continue;
    own.push_back(skill);
  }
  agents::detail::write_skills_into(repo_root, *rel, own);
}

void write_windsurf_skills(const fs::path& repo_root, const json::Value& skills) {
  if (!skills.is_array()) throw TypeError("skills must be a list, not " + json::type_name(skills));
  const auto rel = skills_folder_in_use(repo_root, "windsurf");
  if (!rel) return;
  agents::detail::write_skills_into(repo_root, *rel, skills);
}

fs::path guidance_file_name(const std::string& agent) {
  return agents::normalize_agent_name(agent) == "claude-code" ? fs::path("CLAUDE.md") : fs::path("AGENTS.md");
}

namespace detail {

std::string guidance_block(const std::string& project_id, const std::optional<json::Value>& skills) {
  std::string project = block_safe(project_id, 64);
  std::string b;
  b += std::string(GUIDANCE_BEGIN_MARKER) + " (written by brenik; replaced on each sync, edit outside it) -->\n";
  b += "## Commit attestations (brenik)\n\n";
  b += "This repository records which agent wrote each commit";
  b += project.empty() ? "" : " (brenik project " + project + ")";
  b += ". Before every `git commit`:\n\n";
  b += "1. Stage exactly what the commit will hold: `git add <files>`.\n";
  b += "2. Hash the staged changes: `git diff --staged | sha256sum | cut -d' ' -f1`\n";
  b += "3. Attest with your model id, one line on what changed and why, and the project rules you followed:\n";
  b += "   `brenik attest --staged-diff-hash <hash> --model <model id> --summary \"<what and why>\" "
       "--rules '{\"checked\": true, \"applicable\": [{\"id\": \"<rule id>\", \"status\": \"followed\"}]}'`\n";
  b += "4. Commit at once. Staging anything more needs a new hash and a new `brenik attest`.\n\n";
  b += "A commit already made without one: write its attestation to `.brenik/.commit-attestation.yaml` "
       "(`brenik attest --example` shows the format), then run `brenik attest add --commit <sha>`.\n\n";
  b += "Project context, kept current by `brenik sync` (read it; do not edit it):\n";
  b += "- Rules (their ids go in `--rules`): `.brenik/.platform/brenikrules.yaml`\n";
  b += "- Specs: `.brenik/.platform/specs/`\n";
  b += "- Documents: `.brenik/.platform/docs/` and `.brenik/guidance/`\n";
  b += "- Skills: `.brenik/skills/`\n";
  b += "- Memories: `.brenik/memories.json`\n";
  if (skills && skills->is_array() && !skills->empty()) {
    std::vector<std::string> lines;
    std::size_t more = 0;
    for (const auto& skill : *skills) {
      std::string slug;
      try {
        slug = extract_slug(skill);
      } catch (const UnsafeSlugError&) {
        continue;
      }
      if (lines.size() >= MAX_LISTED_SKILLS) {
        ++more;
        continue;
      }
      std::string line = "- `" + block_safe(slug, MAX_SLUG_BYTES) + "`";
      const std::string description = block_safe(text_member(skill, "description"), MAX_LISTED_DESCRIPTION);
      if (!description.empty()) line += ": " + description;
      lines.push_back(line + "\n");
    }
    if (!lines.empty()) {
      b += "\nSkills of this project (each in `.brenik/skills/<name>.md`):\n";
      for (const auto& l : lines) b += l;
      if (more > 0) b += "- and " + std::to_string(more) + " more in `.brenik/skills/`\n";
    }
  }
  b += std::string(GUIDANCE_END_MARKER) + " -->\n";
  return b;
}

std::optional<std::string> replace_guidance_block(const std::string& text, const std::string& block_lf) {
  // Lines as [start, end) with `next` past the line end.
  struct Line {
    std::size_t start, end, next;
  };
  std::vector<Line> lines;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t nl = text.find('\n', i);
    const std::size_t next = nl == std::string::npos ? text.size() : nl + 1;
    lines.push_back({i, nl == std::string::npos ? text.size() : nl, next});
    i = next;
  }
  std::optional<std::size_t> begin, end;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string_view line(text.data() + lines[k].start, lines[k].end - lines[k].start);
    const bool opens = is_line_with(line, GUIDANCE_BEGIN_MARKER);
    const bool closes = is_line_with(line, GUIDANCE_END_MARKER);
    if (opens && closes) return std::nullopt;
    if (opens) {
      if (begin) return std::nullopt;
      begin = k;
    }
    if (closes) {
      if (end || !begin) return std::nullopt;
      end = k;
    }
  }
  if (begin.has_value() != end.has_value()) return std::nullopt;

  const bool crlf =
      !lines.empty() && lines[0].end < text.size() && lines[0].end > lines[0].start && text[lines[0].end - 1] == '\r';
  const std::string eol = crlf ? "\r\n" : "\n";
  std::string block;
  for (char c : block_lf) block += c == '\n' ? eol : std::string(1, c);

  if (begin) {
    const std::size_t from = lines[*begin].start;
    const std::size_t to = lines[*end].next;
    return text.substr(0, from) + block + text.substr(to);
  }
  std::string out = text;
  if (!out.empty()) {
    if (out.back() != '\n') out += eol;
    out += eol;
  }
  return out + block;
}

}  // namespace detail

GuidanceOutcome update_agent_guidance(const fs::path& repo_root, const std::string& agent,
                                      const std::string& project_id, const std::optional<json::Value>& skills) {
  const fs::path file = repo_root / guidance_file_name(agent);
  const fs::path target = guidance_target(repo_root, file);
  std::error_code ec;
  const auto st = fs::symlink_status(target, ec);
  std::string text;
  if (fs::exists(st)) {
    if (!fs::is_regular_file(st)) throw OSError(EINVAL, target.string() + " is not a regular file; not changed");
    auto read = utils::read_small_regular_file(target, MAX_GUIDANCE_FILE_BYTES);
    if (!read) {
      logging::debug("Guidance file %s is over %s bytes; left untouched", target, MAX_GUIDANCE_FILE_BYTES);
      return GuidanceOutcome::too_large;
    }
    text = std::move(*read);
  }
  const auto updated = detail::replace_guidance_block(text, detail::guidance_block(project_id, skills));
  if (!updated) {
    logging::debug("Guidance block markers in %s are damaged; file left untouched", target);
    return GuidanceOutcome::damaged_markers;
  }
  if (*updated == text && fs::exists(st)) return GuidanceOutcome::unchanged;
  utils::atomic_write(target, *updated);
  return GuidanceOutcome::written;
}

void write_agent_guidance(const fs::path& repo_root, const std::string& agent, const std::string& project_id,
                          const std::optional<json::Value>& skills) {
  update_agent_guidance(repo_root, agent, project_id, skills);
}

}  // namespace brenik::hooks::agent_guidance
