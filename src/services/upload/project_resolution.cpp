#include "services/upload/project_resolution.hpp"

#include <charconv>
#include <cmath>

#include "protocol/http_client.hpp"
#include "services/context/debug_log.hpp"
#include "services/git/repo_identity.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace http = protocol::http_client;

namespace detail {

const std::vector<std::pair<std::string, std::string>> REMEDIES = {
    {http::CODE_KEY_REJECTED, "Run `brenik auth login`."},
    {http::CODE_ACCOUNT_INACTIVE, "Add a payment method to activate the account, then run `brenik sync`."},
    {http::CODE_AMBIGUOUS_TEAM,
     "You belong to several teams. Retry naming one of the ids above \u2014 `brenik sync "
     "--team-id <id>` on the CLI, the `team_id` argument on the MCP sync tool. It is saved, so "
     "this is asked once."},
    {http::CODE_REPO_AMBIGUOUS,
     "Two projects on your team claim this repository. Someone has to decide which one owns it "
     "before this repo can sync."},
    {http::CODE_REPO_CONFLICT,
     "This repository already has a project. Run `brenik sync` again; the next resolve should "
     "find it."},
    {http::CODE_NOT_A_MEMBER, "Ask a team admin to add you, or pass a `--team-id` you belong to."},
    {http::CODE_CAPACITY,
     "This team is at its project limit. Link this repo to an existing project with `brenik "
     "setup project <id>`, or contact brenik."},
    {http::CODE_BAD_REMOTE, "brenik identifies a repo by its origin remote. Check `git remote -v`."},
    {NOT_SIGNED_IN, "Run `brenik auth login` and they upload on the next `brenik sync`."},
    {NO_ORIGIN,
     "brenik identifies a repo by its origin remote, and this one has none. Add one with `git "
     "remote add origin <url>`."},
    {CONFIG_UNWRITABLE,
     "The project resolved but the id could not be saved. Fix permissions on "
     ".brenik/.platform/config.yaml \u2014 until then every sync re-resolves."},
};

const char* const REMEDY_UNREACHABLE = "They will upload on the next `brenik sync` that can reach a project.";

std::optional<std::int64_t> to_project_id(const json::Value& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  if (value.is_string()) {
    std::string text = utils::strip(value.get<std::string>());
    if (!text.empty() && text.front() == '+') text.erase(0, 1);
    if (text.empty()) return std::nullopt;
    std::int64_t out = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

}  // namespace detail

std::string remedy(const std::optional<std::string>& code) {
  const std::string key = code.value_or("");
  for (const auto& [c, text] : detail::REMEDIES)
    if (c == key) return text;
  return detail::REMEDY_UNREACHABLE;
}

ProjectResolution resolve_project_id(const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
                                     std::optional<std::int64_t> team_id) noexcept {
  try {
    if (api_key.empty() || api_url.empty()) return {.reason = "not signed in", .code = NOT_SIGNED_IN};

    if (!team_id) {
      // A configuration that does not read names no team.
      team_id = utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<std::int64_t> {
        auto config = shared::load_local_config(repo_root);
        const auto& stored = member(config, "team_id");
        if (!stored.is_null() && !stored.is_boolean()) return detail::to_project_id(stored);
        return std::nullopt;
      });
    }

    auto remote = repo_identity::origin_remote(repo_root);
    if (!remote || remote->empty()) return {.reason = "this repo has no origin remote", .code = NO_ORIGIN};

    json::Value data;
    try {
      data = http::resolve_project(api_key, api_url, *remote, team_id);
    } catch (const http::AgentApiError& e) {
      return {.reason = std::string(e.what()), .code = e.code};
    } catch (...) {  // becomes the result's reason
      return {.reason = "could not reach brenik (" + detail::short_exc(std::current_exception()) + ")",
              .code = "unreachable"};
    }

    std::optional<std::int64_t> project_id;
    const auto& raw = member(data, "projectId");
    if (!raw.is_boolean()) project_id = detail::to_project_id(raw);
    if (!project_id) return {.reason = "the server returned no usable project id", .code = "bad_response"};

    try {
      auto config = shared::load_local_config(repo_root);
      if (!config.is_object()) config = json::Value::object();
      config["project_id"] = *project_id;
      if (team_id) config["team_id"] = *team_id;
      shared::save_local_config(repo_root, config);
    } catch (...) {  // becomes the result's reason
      return {.reason = "could not save the project id locally (" + detail::short_exc(std::current_exception()) + ")",
              .code = CONFIG_UNWRITABLE};
    }

    const auto& title = member(data, "title");
    return {.project_id = project_id,
            .title = title.is_string() ? std::optional<std::string>(title.get<std::string>()) : std::nullopt,
            .created = truthy(member(data, "created"))};
  } catch (...) {  // becomes the result's reason
    return {.reason = "could not reach brenik (" + detail::short_exc(std::current_exception()) + ")",
            .code = "unreachable"};
  }
}

#ifdef BRENIK_HAVE_PENDING
std::pair<AttestationResult, std::optional<ProjectResolution>> resolve_if_unlinked(
    const fs::path& repo_root, const std::string& api_key, const std::string& api_url,
    std::optional<std::int64_t> team_id) {
  AttestationResult archived = process_pending_attestation(repo_root);
  json::Value config = json::Value::object();
  try {
    config = shared::load_local_config(repo_root);
  } catch (const OSError&) {
    config = json::Value::object();
  }
  if (truthy(member(config, "project_id"))) return {std::move(archived), std::nullopt};
  return {std::move(archived), resolve_project_id(repo_root, api_key, api_url, team_id)};
}
#endif

}  // namespace brenik::services::tolvern
