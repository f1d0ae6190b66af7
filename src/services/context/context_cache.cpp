#include "services/context/context_cache.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "paths/paths.hpp"
#include "services/context/cache_files.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace {

// Serialises the read-modify-write of the configuration between refreshes
// (an interactive sync and a background one may finish together).
constexpr double CONFIG_LOCK_SECONDS = 5.0;

std::string json_text(const json::Value& v) { return json::dumps(v, {.indent = 2}) + "\n"; }

// A spec domain or document name that may become one path component.
bool safe_component(const std::string& name) { return shared::is_change_spec_slug(name); }

void write_named_texts(const json::Value& texts, const char* what,
                       fs::path (*file_of)(const fs::path&, const std::string&), const fs::path& repo_root) {
  if (!texts.is_object()) return;
  for (const auto& [name, content] : texts.items()) {
    if (!safe_component(name) || !content.is_string()) {
      logging::warning("Skipping %s with unsafe name in the cache: %r", what, name);
      continue;
    }
    cache_files::write_if_changed(file_of(repo_root, name), content.get_ref<const std::string&>());
  }
}

json::Value load_yaml_or_empty(const fs::path& path) {
  auto text = utils::try_read_file(path);
  if (!text) return json::Value::object();
  // A file that does not parse holds nothing to keep.
  return utils::best_effort_or(json::Value::object(), utils::unlogged, [&] {
    auto doc = yaml::load(*text);
    return doc.is_object() ? doc : json::Value::object();
  });
}

}  // namespace

namespace detail {

fs::path hydrate_attempts_file(const fs::path& repo_root) {
  return paths::platform_dir(repo_root) / "hydrate-attempts.json";
}

fs::path spec_file(const fs::path& repo_root, const std::string& domain) {
  return paths::specs_dir(repo_root) / domain / DOMAIN_TEXT_FILE;
}

fs::path canonical_doc_file(const fs::path& repo_root, const std::string& name) {
  return paths::canonical_docs_dir(repo_root) / (name + ".md");
}

}  // namespace detail

json::Value rules_document(const json::Value& resource, const json::Value& old_rules) {
  json::Value doc = resource.is_object() ? resource : json::Value::object();
  const auto& old_constraints = member(old_rules, "constraints");
  if (!old_constraints.is_object() || old_constraints.empty()) return doc;
  if (!doc.contains("constraints") || !doc["constraints"].is_object()) doc["constraints"] = json::Value::object();
  auto& constraints = doc["constraints"];
  for (const auto& [name, entry] : old_constraints.items())
    if (!constraints.contains(name)) constraints[name] = entry;
  return doc;
}

void write_cache_files(const fs::path& repo_root, const json::Value& context, const CacheFilesOptions& options) {
  const fs::path dir = paths::platform_dir(repo_root);
  utils::make_dirs(dir);
  cache_files::write_if_changed(dir / "context.json", json_text(context));
  cache_files::write_if_changed(dir / "system-context.json", json_text(options.system_context));

  const auto& state = options.declarative_state;
  if (state.is_object() && state.contains("brenikrules")) {
    const fs::path rules = dir / "brenikrules.yaml";
    cache_files::write_if_changed(rules, yaml::dump(rules_document(state["brenikrules"], load_yaml_or_empty(rules))));
  }
  if (state.is_object() && state.contains("brenikstate")) {
    const auto& doc = state["brenikstate"];
    cache_files::write_if_changed(dir / "brenikstate.yaml", doc.is_null() ? std::string() : yaml::dump(doc));
  }

  if (options.specs) write_named_texts(*options.specs, "spec", detail::spec_file, repo_root);
  if (options.canonical_docs)
    write_named_texts(*options.canonical_docs, "canonical doc", detail::canonical_doc_file, repo_root);

  // The bookkeeping: read, change and write the configuration as one step.
  const auto guard = utils::locked(paths::config_yaml(repo_root), CONFIG_LOCK_SECONDS);
  json::Value config = shared::load_local_config(repo_root);
  if (!config.is_object()) config = json::Value::object();
  json::Value cache = member(config, "cache");
  if (!cache.is_object()) cache = json::Value::object();
  cache["etags"] = options.etags.is_object() ? options.etags : json::Value::object();
  cache["fetch_status"] = options.fetch_statuses.is_object() ? options.fetch_statuses : json::Value::object();
  cache["last_sync"] = utils::utc_now_iso();
  config["cache"] = cache;
  shared::save_local_config(repo_root, config);
}

void record_hydrate_attempt(const fs::path& repo_root, const std::string& resource, double when_epoch) {
  const fs::path file = detail::hydrate_attempts_file(repo_root);
  json::Value attempts = json::Value::object();
  if (auto text = utils::try_read_file(file))
    if (auto v = json::try_loads(*text); v && v->is_object()) attempts = *v;
  attempts[resource] = when_epoch;
  utils::make_dirs(file.parent_path());
  utils::atomic_write(file, json::dumps(attempts));
}

std::optional<double> last_hydrate_attempt(const fs::path& repo_root, const std::string& resource) noexcept {
  // No record of an attempt, or one that does not read, is none.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<double> {
    auto text = utils::try_read_file(detail::hydrate_attempts_file(repo_root));
    if (!text) return std::nullopt;
    auto v = json::try_loads(*text);
    if (!v) return std::nullopt;
    const auto& when = member(*v, resource);
    if (when.is_number()) return when.get<double>();
    return std::nullopt;
  });
}

void clear_all_hydrate_attempts(const fs::path& repo_root) {
  const fs::path file = detail::hydrate_attempts_file(repo_root);
  if (utils::remove_file(file)) return;
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 && errno == ENOENT) return;  // nothing recorded
  throw os_error_from_errno(S_ISDIR(st.st_mode) ? EISDIR : EPERM, file.string() + " (cannot be removed)");
}

}  // namespace brenik::services::tolvern
