// Registering the `brenik mcp` server in each configured agent's MCP
// configuration, merged with the entries already there.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hooks/installer.hpp"

namespace brenik::hooks::mcp_registration {

// `agents` absent or empty: the agents found in the repository. Never
// changes a byte of a file whose entry is already right; leaves a file that
// does not parse untouched.
void install_mcp_for_agents(const std::filesystem::path& repo_root,
                            const std::optional<std::vector<std::string>>& agents);

// The name of our entry in every agent's server table.
inline constexpr const char* SERVER_NAME = "brenik";

struct RegistrationOptions {
  // Program the entries start; empty: installer::brenik_command().
  std::string brenik = {};
  // The user's home. Files there (Windsurf keeps its MCP configuration only
  // there) are edited only when it is given, that is when setup was asked to
  // edit the user's harness settings; none: project files only.
  std::optional<std::filesystem::path> home = std::nullopt;
};

// install_mcp_for_agents with what each agent's file became, in words.
// Never throws; a file it cannot or must not change is a failed step.
std::vector<installer::StepReport> register_mcp_server(const std::filesystem::path& repo_root,
                                                       const std::optional<std::vector<std::string>>& agents,
                                                       const RegistrationOptions& options = {});

namespace detail {

// The JSON configuration text with our server under "mcpServers" set to
// {"command": command, "args": args}, edited in place (every other byte
// kept, other members of our entry included), or none when it is already so.
// Non-ASCII text stays UTF-8. Throws ValueError for text that is not a JSON object with an
// object "mcpServers" (an empty text counts as "{}").
std::optional<std::string> merged_json_config(std::string_view text, const std::string& command,
                                              const std::vector<std::string>& args);

// The same for Codex's TOML: our table [mcp_servers.brenik]. A missing entry
// is appended as its own table, so the rest of the file keeps its comments
// and layout. Throws ValueError for text that is not valid TOML or whose
// `mcp_servers` is not a table.
std::optional<std::string> merged_codex_toml(std::string_view text, const std::string& command,
                                             const std::vector<std::string>& args);

}  // namespace detail
}  // namespace brenik::hooks::mcp_registration
