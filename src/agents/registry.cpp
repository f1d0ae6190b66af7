#include "agents/registry.hpp"

#include <array>
#include <cctype>

#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/cursor.hpp"

namespace brenik::agents {

namespace {

// The adapters are stateless (they read the environment at call time), so
// one immutable set serves every caller.
const std::vector<AdapterPtr>& all_adapters() {
  static const std::vector<AdapterPtr> adapters = {
      std::make_shared<const ClaudeCodeAdapter>(),
      std::make_shared<const CodexAdapter>(),
      std::make_shared<const CursorAdapter>(),
      std::make_shared<const WindsurfAdapter>(),
  };
  return adapters;
}

struct Alias {
  std::string_view compact;  // lower case, letters and digits only
  std::string_view canonical;
};

constexpr std::array<Alias, 16> ALIASES = {{
    {"claudecode", "claude-code"},
    {"claude", "claude-code"},
    {"claudecodecli", "claude-code"},
    {"anthropicclaudecode", "claude-code"},
    {"codex", "codex"},
    {"codexcli", "codex"},
    {"openaicodex", "codex"},
    {"openaicodexcli", "codex"},
    {"cursor", "cursor"},
    {"cursoragent", "cursor"},
    {"cursorcli", "cursor"},
    {"cursoride", "cursor"},
    {"windsurf", "windsurf"},
    {"cascade", "windsurf"},
    {"codeium", "windsurf"},
    {"windsurfcascade", "windsurf"},
}};

}  // namespace

std::vector<AdapterPtr> iter_adapters() { return all_adapters(); }

AdapterPtr get_adapter_by_name(std::string_view name) {
  std::string wanted = normalize_agent_name(name);
  for (const auto& a : all_adapters())
    if (a->name() == wanted) return a;
  return nullptr;
}

AdapterPtr detect_active_agent() {
  for (const auto& a : all_adapters())
    if (a->is_active()) return a;
  return nullptr;
}

std::string normalize_agent_name(std::string_view name) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!name.empty() && blank(name.front())) name.remove_prefix(1);
  while (!name.empty() && blank(name.back())) name.remove_suffix(1);

  std::string compact;
  for (char c : name)
    if (std::isalnum(static_cast<unsigned char>(c)))
      compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& alias : ALIASES)
    if (alias.compact == compact) return std::string(alias.canonical);

  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '_' || blank(c))
      out += '-';
    else
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace brenik::agents
