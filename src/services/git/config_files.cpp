#include "services/git/config_files.hpp"

#include <cstdlib>
#include <cstring>

#include "services/git/git.hpp"
#include "utils/best_effort.hpp"
#include "utils/text.hpp"

namespace brenik::services::tolvern::detail {

namespace {

constexpr std::size_t CONFIG_MAX = 1u << 20;

bool ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_alnum(char c) { return ascii_alpha(c) || (c >= '0' && c <= '9'); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view skip_space(std::string_view s) {
  while (!s.empty() && git_space(s.front())) s.remove_prefix(1);
  return s;
}

// Only white space or a comment left on the line.
bool rest_is_blank(std::string_view s) {
  s = skip_space(s);
  return s.empty() || s.front() == '#' || s.front() == ';';
}

// `[section]` or `[section "subsection"]`; the key prefix, or none.
std::optional<std::string> parse_section(std::string_view line) {
  line.remove_prefix(1);  // '['
  std::string name;
  while (!line.empty() && (ascii_alnum(line.front()) || line.front() == '-')) {
    name += lower(line.front());
    line.remove_prefix(1);
  }
  if (name.empty() || line.empty()) return std::nullopt;
  if (line.front() == ' ') {
    line = skip_space(line);
    if (line.empty() || line.front() != '"') return std::nullopt;
    line.remove_prefix(1);
    auto close = line.find('"');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view sub = line.substr(0, close);
    if (sub.find('\\') != std::string_view::npos) return std::nullopt;
    name += '.';
    name += sub;
    line.remove_prefix(close + 1);
  }
  if (line.empty() || line.front() != ']') return std::nullopt;
  line.remove_prefix(1);
  // git reads a setting after the header on the same line: leave that to it.
  if (!rest_is_blank(line)) return std::nullopt;
  return name;
}

// `name`, `name = value`: the setting, or none beyond the plain syntax.
std::optional<ConfigSetting> parse_setting(std::string_view line, const std::string& section) {
  std::string name;
  if (line.empty() || !ascii_alpha(line.front())) return std::nullopt;
  while (!line.empty() && (ascii_alnum(line.front()) || line.front() == '-')) {
    name += lower(line.front());
    line.remove_prefix(1);
  }
  ConfigSetting setting{section + "." + name, "", true};
  line = skip_space(line);
  if (line.empty() || line.front() == '#' || line.front() == ';') {
    setting.has_value = false;
    return setting;
  }
  if (line.front() != '=') return std::nullopt;
  line.remove_prefix(1);
  line = skip_space(line);
  std::string value;
  std::size_t trimmed = 0;  // length without the trailing white space
  for (char c : line) {
    if (c == '#' || c == ';') break;
    if (c == '"' || c == '\\') return std::nullopt;  // quoting and escapes: git's to read
    value += c;
    if (!git_space(c)) trimmed = value.size();
  }
  value.resize(trimmed);
  setting.value = std::move(value);
  return setting;
}

// One config file, or its absence. False at a doubt.
bool read_one(const fs::path& path, std::vector<ConfigSetting>& into) {
  if (path == "/dev/null") return true;
  if (!entry_exists(path)) {
    // A dangling link is git's to judge.
    return true;
  }
  auto text = read_small_file(path, CONFIG_MAX, /*follow_links=*/true);
  if (!text) return false;
  auto settings = parse_config_text(*text);
  if (!settings) return false;
  for (auto& s : *settings) into.push_back(std::move(s));
  return true;
}

// A boolean environment variable as git reads it, or none when unclear.
std::optional<bool> env_bool(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return false;
  std::string s;
  for (const char* p = v; *p; ++p) s += lower(*p);
  if (s.empty() || s == "0" || s == "false" || s == "no" || s == "off") return false;
  if (s == "1" || s == "true" || s == "yes" || s == "on") return true;
  return std::nullopt;
}

// The value of a boolean setting, or none when it is not one plainly.
std::optional<bool> setting_bool(const std::string& value) {
  std::string s;
  for (char c : value) s += lower(c);
  if (s == "true" || s == "yes" || s == "on" || s == "1") return true;
  if (s == "false" || s == "no" || s == "off" || s == "0") return false;
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<ConfigSetting>> parse_config_text(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  // A byte order mark git skips.
  if (!text.empty() && static_cast<unsigned char>(text.front()) == 0xEF) return std::nullopt;
  std::vector<ConfigSetting> settings;
  std::optional<std::string> section;
  const bool plain = for_each_line(text, [&](std::string_view line) {
    if (line.find('\r') != std::string_view::npos) return false;
    line = skip_space(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') return true;
    if (line.front() == '[') {
      section = parse_section(line);
      // Another file's settings: git reads them in place.
      return section && *section != "include" && section->rfind("includeif.", 0) != 0;
    }
    if (!section) return false;
    auto setting = parse_setting(line, *section);
    if (!setting) return false;
    settings.push_back(std::move(*setting));
    return true;
  });
  if (!plain) return std::nullopt;
  return settings;
}

std::optional<std::vector<ConfigSetting>> read_config_files(const GitDirs& dirs) {
  // Settings handed to git through the environment, or a file named there.
  for (const char* name : {"GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT", "GIT_CONFIG"})
    if (std::getenv(name)) return std::nullopt;
  std::vector<ConfigSetting> settings;

  const auto no_system = env_bool("GIT_CONFIG_NOSYSTEM");
  if (!no_system) return std::nullopt;
  if (!*no_system) {
    const char* system = std::getenv("GIT_CONFIG_SYSTEM");
    if (system && !*system) return std::nullopt;
    if (!read_one(system ? fs::path(system) : fs::path("/etc/gitconfig"), settings)) return std::nullopt;
  }

  if (const char* global = std::getenv("GIT_CONFIG_GLOBAL")) {
    if (!*global || !read_one(global, settings)) return std::nullopt;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return std::nullopt;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const fs::path xdg_file =
        (xdg && *xdg) ? fs::path(xdg) / "git" / "config" : fs::path(home) / ".config" / "git" / "config";
    if (!read_one(xdg_file, settings) || !read_one(fs::path(home) / ".gitconfig", settings)) return std::nullopt;
  }

  std::vector<ConfigSetting> local;
  if (!read_one(dirs.common / "config", local)) return std::nullopt;
  bool worktree_config = false;
  for (const auto& s : local) {
    if (s.key != "extensions.worktreeconfig") continue;
    const auto on = s.has_value ? setting_bool(s.value) : std::optional<bool>(true);
    if (!on) return std::nullopt;
    worktree_config = *on;
  }
  for (auto& s : local) settings.push_back(std::move(s));
  if (worktree_config && !read_one(dirs.gitdir / "config.worktree", settings)) return std::nullopt;
  return settings;
}

std::optional<std::string> user_identity_config_from_files(const fs::path& cwd) noexcept {
  // Any surprise in the files: git answers instead, so nothing to log.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<std::string> {
    auto dirs = locate_git_dirs(cwd);
    if (!dirs) return std::nullopt;
    auto settings = read_config_files(*dirs);
    if (!settings) return std::nullopt;
    // What git prints: one "key value" line per setting, in its order.
    std::string out;
    for (const auto& s : *settings)
      if (s.key == "user.name" || s.key == "user.email")
        out += s.has_value ? s.key + " " + s.value + "\n" : s.key + "\n";
    return utils::strip(utils::decode_utf8_replace(out));
  });
}

std::string user_identity_config(const fs::path& cwd) {
  if (auto text = user_identity_config_from_files(cwd)) return *text;
  return git({"config", "--get-regexp", "^user\\.(name|email)$"}, {.cwd = cwd});
}

}  // namespace brenik::services::tolvern::detail
