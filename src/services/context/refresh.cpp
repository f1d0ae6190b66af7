#include "services/context/refresh.hpp"

#include <future>
#include <set>
#include <utility>

#include "hooks/agent_guidance.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/context/cache_files.hpp"
#include "services/context/context_cache.hpp"
#include "services/context/debug_log.hpp"
#include "services/context/local_static_files.hpp"
#include "services/context/secondary_caches.hpp"
#include "services/shared.hpp"
#include "services/skills/distribution.hpp"
#include "services/skills/platform_skills.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace http = protocol::http_client;
namespace guidance = hooks::agent_guidance;

namespace {

using SpecsPair = std::pair<std::optional<json::Value>, std::optional<std::string>>;

constexpr const char* RULES_FILE = "brenikrules.yaml";

// cache -> etags of the local configuration; any trouble reads as none.
json::Value stored_etags(const fs::path& repo_root) {
  return utils::best_effort_or(json::Value::object(), utils::unlogged, [&] {
    const json::Value config = shared::load_local_config(repo_root);
    const auto& cache = member(config, "cache");
    const auto& etags = member(cache, "etags");
    return etags.is_object() ? etags : json::Value::object();
  });
}

// The server's rows of one kind (specs or canonical documents) as
// name -> text, or none when the payload holds no list of them.
std::optional<json::Value> collect_rows(const json::Value& payload, const char* list_key, const char* name_key,
                                        const char* malformed_msg, const char* unsafe_msg) {
  const auto& rows = member(payload, list_key);
  if (!rows.is_array()) return std::nullopt;
  json::Value texts = json::Value::object();
  for (const auto& row : rows) {
    if (!row.is_object()) {
      logging::warning(malformed_msg);
      continue;
    }
    const auto& name = member(row, name_key);
    const auto& content = member(row, "content");
    if (!name.is_string() || !shared::is_change_spec_slug(name.get_ref<const std::string&>())) {
      logging::warning(unsafe_msg, name);
      continue;
    }
    if (content.is_string() && !content.get_ref<const std::string&>().empty()) texts[name.get<std::string>()] = content;
  }
  return texts;
}

std::set<std::string> names_of(const json::Value& texts) {
  std::set<std::string> names;
  for (const auto& [name, _] : texts.items()) names.insert(name);
  return names;
}

// One constraints entry per constraint or guardrail rule, by name.
json::Value constraints_from(const json::Value& rules) {
  json::Value out = json::Value::object();
  for (const auto& rule : rules) {
    if (!rule.is_object()) {
      logging::warning("Skipping malformed guardrail row during sync");
      continue;
    }
    const std::string type = text_member(rule, "ruleType");
    if (type != "constraint" && type != "guardrail") continue;
    const auto& name_value = member(rule, "name");
    const std::string name = name_value.is_null() ? "unknown" : json::text_form(name_value);
    auto or_default = [&](const char* key, json::Value fallback) {
      const auto& v = member(rule, key);
      return v.is_null() ? fallback : v;
    };
    json::Value entry = json::Value::object();
    entry["description"] = or_default("description", "");
    entry["status"] = or_default("status", "active");
    const auto& check = member(rule, "checkCondition");
    entry["condition"] = truthy(check) ? check : or_default("invariantCondition", "{}");
    entry["inherited"] = or_default("inheritedFromSystem", false);
    out[name] = std::move(entry);
  }
  return out;
}

// Merges the guardrails into the rules file's constraints section.
void merge_guardrails(const fs::path& rules_file, const json::Value& rules) {
  json::Value doc = json::Value::object();
  std::error_code ec;
  if (fs::symlink_status(rules_file, ec).type() != fs::file_type::not_found) {
    const std::string text = utils::read_file(rules_file);  // a file that cannot be read ends the refresh
    try {
      doc = yaml::load(text);
      if (doc.is_null()) doc = json::Value::object();
      if (!doc.is_object()) throw YAMLError("the rules file is not a mapping");
    } catch (const std::exception&) {  // a syntax error, or a document that is no mapping
      logging::debug("Corrupt brenikrules.yaml, overwriting");
      doc = json::Value::object();
    }
  }
  if (!doc.contains("constraints") || !doc["constraints"].is_object()) doc["constraints"] = json::Value::object();
  const json::Value merged = constraints_from(rules);
  for (const auto& [name, entry] : merged.items()) doc["constraints"][name] = entry;
  cache_files::write_if_changed(rules_file, yaml::dump(doc));
}

}  // namespace

RefreshResult refresh_context_cache_detailed(const std::string& api_key, const std::string& api_url,
                                             const fs::path& repo_root, const std::string& project_id,
                                             const RefreshOptions& options) {
  if (project_id.empty()) return {.ok = false, .stage = "missing_project_id"};
  std::string stage = "read_etags";
  try {
    const json::Value etags = stored_etags(repo_root);
    std::optional<std::string> specs_etag;
    if (const auto& tag = member(etags, "specs"); tag.is_string() && !tag.get<std::string>().empty())
      specs_etag = tag.get<std::string>();

    stage = "fetch_context";
    const json::Value context = http::fetch_context(project_id, api_key, api_url);
    std::optional<json::Value> systems;
    if (truthy(member(context, "systems"))) systems = context["systems"];

    // Six fetches at once, one thread each; every future is waited for
    // before any result is read, so the stage of a failure does not depend
    // on which fetch ends first. The tasks only return values.
    auto system_f = std::async(std::launch::async, [&] {
      return http::fetch_system_context(project_id, api_key, api_url, {.systems = systems});
    });
    auto state_f = std::async(std::launch::async, [&] {
      return http::fetch_declarative_state_detailed(project_id, api_key, api_url, {.etags = etags});
    });
    auto specs_f = std::async(std::launch::async, [&] {
      return detail::nf("Specs",
                        [&] { return http::fetch_all_specs(api_key, api_url, project_id, {.etag = specs_etag}); });
    });
    auto guardrails_f = std::async(std::launch::async, [&] {
      return detail::nf("Guardrails", [&] { return http::fetch_guardrails(project_id, api_key, api_url); });
    });
    auto skills_f = std::async(std::launch::async, [&] {
      return detail::nf("Skills", [&] { return http::fetch_skills(project_id, api_key, api_url); });
    });
    auto docs_f = std::async(std::launch::async, [&] {
      return detail::nf("Custom docs", [&] { return http::fetch_custom_docs(project_id, api_key, api_url); });
    });
    system_f.wait();
    state_f.wait();
    specs_f.wait();
    guardrails_f.wait();
    skills_f.wait();
    docs_f.wait();

    stage = "fetch_system_context";
    const json::Value system_context = system_f.get();
    stage = "fetch_declarative_state";
    const http::DeclarativeState state = state_f.get();
    json::Value new_etags = state.etags.is_object() ? state.etags : json::Value::object();
    const SpecsPair specs_pair = specs_f.get().value_or(SpecsPair{});
    const std::optional<json::Value> guardrails = guardrails_f.get();
    const std::optional<json::Value> skills = skills_f.get();
    const std::optional<json::Value> custom_docs = docs_f.get();

    const auto& [payload, tag] = specs_pair;
    std::optional<json::Value> specs, canonical_docs;
    if (payload) {
      specs = collect_rows(*payload, "specs", "domain", "Skipping malformed spec row during sync",
                           "Skipping spec with unsafe domain during sync: %r");
      if (specs) {
        if (tag && !tag->empty()) new_etags["specs"] = *tag;
        // Only a list with at least one usable domain says what to keep: a
        // bad answer never empties the local copies.
        if (!specs->empty()) detail::prune_spec_dirs(repo_root, names_of(*specs));
      }
      canonical_docs =
          collect_rows(*payload, "canonical_docs", "name", "Skipping malformed canonical doc row during sync",
                       "Skipping canonical doc with unsafe name during sync: %r");
      if (canonical_docs) {
        if (tag && !tag->empty()) new_etags["specs"] = *tag;
        if (!canonical_docs->empty()) detail::prune_canonical_docs_dir(repo_root, names_of(*canonical_docs));
      }
    }

    stage = "write_local_caches";
    write_cache_files(repo_root, context,
                      {.system_context = system_context,
                       .declarative_state = state.state,
                       .specs = specs,
                       .canonical_docs = canonical_docs,
                       .etags = new_etags,
                       .fetch_statuses = state.fetch_statuses});

    const fs::path cache_dir = paths::platform_dir(repo_root);
    utils::make_dirs(cache_dir);
    const fs::path rules_file = cache_dir / RULES_FILE;
    if (guardrails) {
      const auto& rules = member(*guardrails, "rules");
      if (rules.is_array() && !rules.empty()) {
        merge_guardrails(rules_file, rules);
      } else {
        std::error_code ec;
        // No rules is a known count of 0, not "not cached".
        if (fs::symlink_status(rules_file, ec).type() == fs::file_type::not_found)
          cache_files::write_if_changed(rules_file, "");
      }
    }

    const json::Value skills_list = detail::skills_list_of(skills);
    detail::cache_skills(repo_root, cache_dir, skills_list);
    if (custom_docs) detail::cache_custom_docs(repo_root, *custom_docs);
    const auto adapters = detail::skill_adapters(repo_root);
    detail::cache_memories(repo_root, project_id, api_key, api_url);

    // Hook mode: nothing outside the tool's own ignored folders, no installer.
    if (!options.mutate_workspace) {
      clear_all_hydrate_attempts(repo_root);
      return {.ok = true};
    }

    ensure_platform_skills(repo_root);
    // A failed skills fetch never takes skills away from the agents.
    if (skills.has_value()) detail::distribute_skills(repo_root, skills_list, adapters);
    std::vector<std::string> agent_names;
    const json::Value config = shared::load_local_config(repo_root);
    const auto& configured = member(config, "agents");
    if (configured.is_array())
      for (const auto& name : configured)
        if (name.is_string() && !name.get<std::string>().empty()) agent_names.push_back(name.get<std::string>());
    if (agent_names.empty()) agent_names = guidance::detect_agents(repo_root);
    if (agent_names.empty()) agent_names = {"claude-code"};
    for (const auto& name : agent_names) {
      utils::best_effort(logging::format("Agent file write failed for %s", {logging::arg(name)}),
                         {.audible = false, .detail = utils::Detail::reason}, [&] {
                           guidance::write_agent_guidance(
                               repo_root, name, project_id,
                               skills_list.empty() ? std::nullopt : std::optional<json::Value>(skills_list));
                         });
    }
    clear_all_hydrate_attempts(repo_root);
    return {.ok = true};
  } catch (...) {  // becomes the failed result that names its stage
    const auto error = std::current_exception();
    // Already failing: a report or a kind that cannot be made is left out.
    const auto log_path = utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<fs::path> {
      return brenik_debug_enabled() ? detail::write_sync_debug_log(repo_root, stage, error) : std::nullopt;
    });
    const std::string kind =
        utils::best_effort_or("RuntimeError", utils::unlogged, [&] { return detail::short_exc(error); });
    return {.ok = false, .stage = stage, .error = kind, .log_path = log_path};
  }
}

bool refresh_context_cache(const std::string& api_key, const std::string& api_url, const fs::path& repo_root,
                           const std::string& project_id, const RefreshOptions& options) {
  return refresh_context_cache_detailed(api_key, api_url, repo_root, project_id, options).ok;
}

}  // namespace brenik::services::tolvern
