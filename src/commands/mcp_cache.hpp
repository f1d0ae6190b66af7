// Reading the local context cache for `brenik mcp`: the cached rules, the
// specs by domain, the canonical and guidance documents by name. Local files
// only, each read confined to the repository's `.brenik/`.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "commands/mcp_protocol.hpp"

namespace brenik::commands::mcp {

// No name: what exists. A name: its content, or a tool error listing what
// exists.
ToolOutcome read_rules(const std::filesystem::path& repo_root, const std::optional<std::string>& name);
ToolOutcome read_spec(const std::filesystem::path& repo_root, const std::optional<std::string>& domain);
ToolOutcome read_doc(const std::filesystem::path& repo_root, const std::optional<std::string>& name);

}  // namespace brenik::commands::mcp
