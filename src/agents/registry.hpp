// The agent adapter registry: every known harness, in the fixed order in
// which candidates are asked.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "agents/adapter.hpp"

#pragma GCC visibility push(default)

namespace brenik::agents {

// All adapters, in a fixed order: claude-code, codex, cursor, windsurf.
std::vector<AdapterPtr> iter_adapters();

// The adapter of that (normalised) name, or null.
AdapterPtr get_adapter_by_name(std::string_view name);

// The adapter of the harness this process runs under, or null.
AdapterPtr detect_active_agent();

// Canonical agent name: "Claude Code", "claude_code", "claude" give
// "claude-code"; an unknown name comes back trimmed and lower-cased with
// blanks and underscores as hyphens.
std::string normalize_agent_name(std::string_view name);

}  // namespace brenik::agents

#pragma GCC visibility pop
