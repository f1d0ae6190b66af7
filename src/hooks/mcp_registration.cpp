// PLACEHOLDER until the MCP server lands: registers nothing.
#include "hooks/mcp_registration.hpp"

#include "utils/logging.hpp"

namespace brenik::hooks::mcp_registration {

void install_mcp_for_agents(const std::filesystem::path&, const std::optional<std::vector<std::string>>&) {
  logging::debug("MCP registration skipped: the server is not built yet");
}

}  // namespace brenik::hooks::mcp_registration
