// Registering the `brenik mcp` server in each configured agent's MCP
// configuration, merged with the entries already there.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brenik::hooks::mcp_registration {

// `agents` absent or empty: the agents found in the repository. Never
// changes a byte of a file whose entry is already right; leaves a file that
// does not parse untouched.
void install_mcp_for_agents(const std::filesystem::path& repo_root,
                            const std::optional<std::vector<std::string>>& agents);

}  // namespace brenik::hooks::mcp_registration
