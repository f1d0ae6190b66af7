#include "agents/codex_trust.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include "utils/best_effort.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/logging.hpp"

namespace brenik::agents {

namespace fs = std::filesystem;

namespace {

// A user's settings file bigger than this is not read.
constexpr std::size_t MAX_SETTINGS_BYTES = 4u << 20;

// ---- the part of TOML the trust state is written in ----------------------

struct TomlValue {
  std::vector<std::string> path;  // full dotted key, table headers included
  enum Kind { text, boolean, other } kind = other;
  std::string string;  // the decoded text of a string
  bool flag = false;
};

// Reads every scalar of a TOML document with its full key; arrays give
// each element under the array's key. A document it cannot read gives none.
class TomlScan {
public:
  explicit TomlScan(std::string_view s) : s_(s) {}

  std::optional<std::vector<TomlValue>> run() {
    std::vector<std::string> table;
    while (true) {
      skip_blank(true);
      if (at_end()) return std::move(out_);
      if (peek() == '[') {
        const bool array = s_.substr(i_, 2) == "[[";
        i_ += array ? 2 : 1;
        auto key = read_key();
        skip_blank(false);
        if (!key || !eat(']') || (array && !eat(']'))) return std::nullopt;
        table = std::move(*key);
      } else {
        auto key = read_key();
        skip_blank(false);
        if (!key || !eat('=')) return std::nullopt;
        std::vector<std::string> path = table;
        path.insert(path.end(), key->begin(), key->end());
        if (!read_value(path)) return std::nullopt;
      }
      skip_blank(false);
      if (!at_end() && peek() != '\n' && peek() != '\r') return std::nullopt;
    }
  }

private:
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return s_[i_]; }
  bool eat(char c) {
    if (at_end() || peek() != c) return false;
    ++i_;
    return true;
  }

  // Spaces and comments; line ends too when `lines`.
  void skip_blank(bool lines) {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || (lines && (c == '\n' || c == '\r'))) {
        ++i_;
      } else if (c == '#') {
        while (!at_end() && peek() != '\n') ++i_;
      } else {
        break;
      }
    }
  }

  static bool bare(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  }

  std::optional<std::vector<std::string>> read_key() {
    std::vector<std::string> parts;
    while (true) {
      skip_blank(false);
      if (at_end()) return std::nullopt;
      if (peek() == '"' || peek() == '\'') {
        auto part = read_string();
        if (!part) return std::nullopt;
        parts.push_back(std::move(*part));
      } else {
        const std::size_t from = i_;
        while (!at_end() && bare(peek())) ++i_;
        if (i_ == from) return std::nullopt;
        parts.emplace_back(s_.substr(from, i_ - from));
      }
      skip_blank(false);
      if (!eat('.')) return parts;
    }
  }

  static void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A basic or literal string, one-line or multi-line, decoded.
  std::optional<std::string> read_string() {
    const char quote = peek();
    const std::string triple(3, quote);
    const bool multi = s_.substr(i_, 3) == triple;
    i_ += multi ? 3 : 1;
    if (multi && !at_end() && peek() == '\n')
      ++i_;
    else if (multi && s_.substr(i_, 2) == "\r\n")
      i_ += 2;
    std::string out;
    while (!at_end()) {
      const char c = peek();
      if (multi ? s_.substr(i_, 3) == triple : c == quote) {
        i_ += multi ? 3 : 1;
        // A multi-line string may end in up to two more quotes.
        while (multi && !at_end() && peek() == quote && s_.substr(i_, 3) != triple) out += s_[i_++];
        return out;
      }
      if (!multi && c == '\n') return std::nullopt;
      ++i_;
      if (c != '\\' || quote == '\'') {
        out += c;
        continue;
      }
      if (at_end()) return std::nullopt;
      const char e = s_[i_++];
      switch (e) {
        case 'b': out += '\b'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'f': out += '\f'; break;
        case 'r': out += '\r'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'u':
        case 'U': {
          const std::size_t digits = e == 'u' ? 4 : 8;
          if (s_.size() - i_ < digits) return std::nullopt;
          std::uint32_t cp = 0;
          for (std::size_t k = 0; k < digits; ++k) {
            const char h = s_[i_++];
            const int v = h >= '0' && h <= '9'   ? h - '0'
                          : h >= 'a' && h <= 'f' ? h - 'a' + 10
                          : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                 : -1;
            if (v < 0) return std::nullopt;
            cp = cp * 16 + static_cast<std::uint32_t>(v);
          }
          if (cp > 0x10FFFF) return std::nullopt;
          put_utf8(out, cp);
          break;
        }
        default:
          if (!multi) return std::nullopt;
          // A line-ending backslash joins the lines.
          while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++i_;
      }
    }
    return std::nullopt;
  }

  bool read_value(const std::vector<std::string>& path) {
    skip_blank(false);
    if (at_end()) return false;
    const char c = peek();
    if (c == '"' || c == '\'') {
      auto text = read_string();
      if (!text) return false;
      out_.push_back({path, TomlValue::text, std::move(*text), false});
      return true;
    }
    if (c == '{') {
      ++i_;
      skip_blank(false);
      if (eat('}')) return true;
      while (true) {
        auto key = read_key();
        skip_blank(false);
        if (!key || !eat('=')) return false;
        std::vector<std::string> inner = path;
        inner.insert(inner.end(), key->begin(), key->end());
        if (!read_value(inner)) return false;
        skip_blank(false);
        if (eat('}')) return true;
        if (!eat(',')) return false;
      }
    }
    if (c == '[') {
      ++i_;
      while (true) {
        skip_blank(true);
        if (eat(']')) return true;
        if (!read_value(path)) return false;
        skip_blank(true);
        if (eat(']')) return true;
        if (!eat(',')) return false;
      }
    }
    // true, false, a number or a date: up to the next separator.
    const std::size_t from = i_;
    while (!at_end() && peek() != ',' && peek() != ']' && peek() != '}' && peek() != '#' && peek() != '\n' &&
           peek() != '\r')
      ++i_;
    std::string_view word = s_.substr(from, i_ - from);
    while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) word.remove_suffix(1);
    if (word.empty()) return false;
    TomlValue v{path, TomlValue::other, {}, false};
    if (word == "true" || word == "false") {
      v.kind = TomlValue::boolean;
      v.flag = word == "true";
    }
    out_.push_back(std::move(v));
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::vector<TomlValue> out_;
};

// ---- brenik's rows of hooks.json ----------------------------------------

// The program word of a shell command line (quoted or not).
std::string program_word(std::string_view command) {
  std::size_t i = 0;
  while (i < command.size() && (command[i] == ' ' || command[i] == '\t')) ++i;
  std::string word;
  while (i < command.size() && command[i] != ' ' && command[i] != '\t') {
    const char c = command[i++];
    if (c == '\'' || c == '"') {
      while (i < command.size() && command[i] != c) word += command[i++];
      ++i;
    } else if (c == '\\' && i < command.size()) {
      word += command[i++];
    } else {
      word += c;
    }
  }
  return word;
}

struct Handler {
  std::string event, command;
};

// Every command handler of a hooks.json: hooks -> event -> groups -> hooks.
std::vector<Handler> handlers_of(const json::Value& settings) {
  std::vector<Handler> out;
  if (!settings.is_object() || !settings.contains("hooks") || !settings["hooks"].is_object()) return out;
  for (const auto& [event, groups] : settings["hooks"].items()) {
    if (!groups.is_array()) continue;
    for (const auto& group : groups) {
      if (!group.is_object() || !group.contains("hooks") || !group["hooks"].is_array()) continue;
      for (const auto& h : group["hooks"])
        if (h.is_object() && h.contains("command") && h["command"].is_string())
          out.push_back({event, h["command"].get<std::string>()});
    }
  }
  return out;
}

// ---- the trust state ------------------------------------------------------

// One entry of [hooks.state]: its key and every scalar under it.
struct StateEntry {
  std::string key;
  std::vector<const TomlValue*> values;
};

// `text` holds `command` as a whole: not as the tail of a longer program
// path ("/opt/bin/brenik ..." does not hold "brenik ..."), nor followed by
// more of a word.
bool holds_command(std::string_view text, std::string_view command) {
  auto part_of_word = [](char c, bool before) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == '/' || (before && c == '\'');
  };
  for (std::size_t at = text.find(command); at != std::string_view::npos; at = text.find(command, at + 1)) {
    const std::size_t end = at + command.size();
    if ((at == 0 || !part_of_word(text[at - 1], true)) && (end == text.size() || !part_of_word(text[end], false)))
      return true;
  }
  return false;
}

bool names(const StateEntry& e, const std::string& command) {
  if (holds_command(e.key, command)) return true;
  for (const auto* v : e.values)
    if (v->kind == TomlValue::text && holds_command(v->string, command)) return true;
  return false;
}

// What the entry says: trusted, untrusted, or none when it says neither in
// words this reader knows.
std::optional<bool> verdict(const StateEntry& e) {
  static const std::map<std::string, bool, std::less<>> WORDS = {
      {"trusted", true},    {"approved", true}, {"allow", true},     {"allowed", true},   {"enabled", true},
      {"untrusted", false}, {"denied", false},  {"deny", false},     {"rejected", false}, {"disabled", false},
      {"blocked", false},   {"revoked", false}, {"modified", false}, {"changed", false}};
  static const std::map<std::string, bool, std::less<>> FLAGS = {
      {"trusted", true},    {"approved", true}, {"allowed", true},   {"enabled", true},
      {"untrusted", false}, {"denied", false},  {"disabled", false}, {"blocked", false}};
  std::optional<bool> says;
  auto see = [&](bool yes) {
    // Any "no" wins over a "yes".
    says = says.value_or(true) && yes;
  };
  for (const auto* v : e.values) {
    const std::string_view leaf = v->path.size() > 3 ? std::string_view(v->path.back()) : std::string_view();
    if (v->kind == TomlValue::boolean) {
      if (leaf.empty()) {
        see(v->flag);  // hooks.state."<key>" = true
      } else if (auto it = FLAGS.find(leaf); it != FLAGS.end()) {
        see(v->flag == it->second);
      }
    } else if (v->kind == TomlValue::text) {
      if (auto it = WORDS.find(v->string); it != WORDS.end()) see(it->second);
    }
  }
  return says;
}

const char* word_of(CodexHookTrust t) {
  switch (t) {
    case CodexHookTrust::trusted: return "trusted";
    case CodexHookTrust::untrusted: return "not trusted";
    case CodexHookTrust::unknown: break;
  }
  return "unknown";
}

// A settings file of the user's: a link (dotfile managers make them) is
// read where it leads; only a regular file of sane size is read, so a FIFO
// never holds the caller. None when missing or refused.
std::optional<std::string> read_settings(const fs::path& file, bool& present) {
  std::error_code ec;
  const fs::path target = fs::canonical(file, ec);
  present = !ec;
  if (ec) return std::nullopt;
  return utils::try_read_small_regular_file(target, MAX_SETTINGS_BYTES);
}

}  // namespace

CodexHookTrust CodexHooksTrust::overall() const {
  if (rows.empty()) return CodexHookTrust::unknown;
  bool all = true;
  for (const auto& r : rows) {
    if (r.trust == CodexHookTrust::untrusted) return CodexHookTrust::untrusted;
    all = all && r.trust == CodexHookTrust::trusted;
  }
  return all ? CodexHookTrust::trusted : CodexHookTrust::unknown;
}

CodexHooksTrust codex_hooks_trust(const fs::path& codex_home) {
  CodexHooksTrust result;
  const bool read = utils::best_effort_or(false, "codex hook trust lookup failed", {.audible = false}, [&] {
    const fs::path hooks_file = codex_home / "hooks.json";
    bool present = false;
    const auto hooks_text = read_settings(hooks_file, present);
    std::optional<json::Value> settings;
    if (hooks_text) settings = json::try_loads(*hooks_text);
    if (!settings) {
      result.detail = hooks_file.string() + (present ? " is not readable JSON" : " not found");
      return true;
    }
    const auto handlers = handlers_of(*settings);
    for (const auto& h : handlers)
      if (fs::path(program_word(h.command)).filename() == "brenik")
        result.rows.push_back({h.event, h.command, CodexHookTrust::unknown});
    if (result.rows.empty()) {
      result.detail = "no brenik hook in " + hooks_file.string();
      return true;
    }

    const fs::path config_file = codex_home / "config.toml";
    const auto config_text = read_settings(config_file, present);
    std::optional<std::vector<TomlValue>> values;
    if (!present)
      values.emplace();  // no configuration: nothing trusted yet
    else if (config_text)
      values = TomlScan(*config_text).run();
    if (!values) {
      result.detail = config_file.string() + " could not be read as TOML";
      return true;
    }
    std::vector<StateEntry> entries;
    std::map<std::string, std::size_t, std::less<>> entry_at;
    for (const auto& v : *values) {
      if (v.path.size() < 3 || v.path[0] != "hooks" || v.path[1] != "state") continue;
      auto [it, added] = entry_at.try_emplace(v.path[2], entries.size());
      if (added) entries.push_back({v.path[2], {}});
      entries[it->second].values.push_back(&v);
    }
    // The state can be read only when it shows its entries by the commands
    // they trust: some entry names a command of hooks.json. Then a row none
    // names is one the user has not trusted (or trusted before it changed).
    bool by_command = false;
    for (const auto& e : entries)
      for (const auto& h : handlers) by_command = by_command || names(e, h.command);
    for (auto& row : result.rows) {
      std::optional<bool> says;
      for (const auto& e : entries)
        if (names(e, row.command))
          if (auto v = verdict(e)) says = says.value_or(true) && *v;
      if (says)
        row.trust = *says ? CodexHookTrust::trusted : CodexHookTrust::untrusted;
      else if (entries.empty() || by_command)
        row.trust = CodexHookTrust::untrusted;
    }
    switch (result.overall()) {
      case CodexHookTrust::trusted: result.detail = "Codex trusts brenik's hooks"; break;
      case CodexHookTrust::untrusted:
        result.detail = "Codex skips brenik's hooks until they are trusted: run `codex`, open /hooks and trust them";
        break;
      case CodexHookTrust::unknown:
        result.detail = "could not tell from " + config_file.string() +
                        " whether Codex trusts brenik's hooks; check /hooks in Codex";
        break;
    }
    for (const auto& row : result.rows)
      if (row.trust != CodexHookTrust::trusted)
        result.detail += std::string("\n  ") + row.event + ": " + word_of(row.trust) + " (" + row.command + ")";
    return true;
  });
  if (!read) result.detail = "could not read Codex's hook settings";
  return result;
}

}  // namespace brenik::agents
