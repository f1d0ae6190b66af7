#include "services/capture/session_context.hpp"

#include "protocol/credentials.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/json.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

Session resolve_session(const fs::path& repo_root) noexcept {
  Session session;
  // Credentials or a configuration that cannot be read mean not connected.
  utils::best_effort(utils::unlogged, [&] {
    if (auto credentials = protocol::load_credentials()) {
      session.api_key = credentials->api_key;
      session.api_url = credentials->api_url;
    }
    const json::Value config = shared::load_local_config(repo_root);
    const auto& project = member(config, "project_id");
    if (truthy(project)) session.project_id = project;
    session.connected = !session.api_key.empty() && truthy(session.project_id);
  });
  return session;
}

}  // namespace brenik::services::tolvern
