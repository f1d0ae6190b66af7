#include "services/context/secondary_caches.hpp"

#include <map>
#include <set>

#include "agents/registry.hpp"
#include "hooks/agent_guidance.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/context/cache_files.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern::detail {

namespace guidance = hooks::agent_guidance;

namespace {

const char* const SCOPES[] = {"system", "project"};

std::string describe(const std::exception& e) { return e.what(); }

}  // namespace

std::size_t char_count(const std::string& text) noexcept {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

json::Value skills_list_of(const std::optional<json::Value>& skills_result) {
  json::Value list = json::Value::array();
  if (!skills_result) return list;
  const json::Value* rows = nullptr;
  if (skills_result->is_array())
    rows = &*skills_result;
  else if (skills_result->is_object() && member(*skills_result, "skills").is_array())
    rows = &(*skills_result)["skills"];
  if (!rows) return list;
  for (const auto& row : *rows) {
    if (row.is_object())
      list.push_back(row);
    else
      logging::warning("Skipping malformed skill row during sync");
  }
  return list;
}

void cache_skills(const fs::path& repo_root, const fs::path& cache_dir, const json::Value& skills_list) noexcept {
  utils::best_effort("Skills cache failed (non-fatal)", {.audible = false, .detail = utils::Detail::reason}, [&] {
    if (!skills_list.is_array() || skills_list.empty()) return;
    const fs::path dir = paths::skills_dir(repo_root);
    utils::make_dirs(dir);
    std::set<std::string> written;
    // A later skill of the same slug wins; each file is written once.
    std::map<std::string, std::optional<std::string>> texts;
    std::vector<std::string> order;
    for (const auto& skill : skills_list) {
      std::string slug;
      try {
        slug = guidance::extract_slug(skill);
      } catch (const guidance::UnsafeSlugError& e) {
        logging::warning("Skipping skill with unsafe slug during sync cache: %s", describe(e));
        continue;
      }
      written.insert(slug);
      std::string text = guidance::build_skill_file(skill, "skill_md");
      if (!texts.count(slug)) order.push_back(slug);
      // Too large: not written, and an older file of that slug is kept.
      texts[slug] = char_count(text) > SKILL_FILE_MAX_CHARS ? std::nullopt : std::optional(std::move(text));
    }
    for (const auto& slug : order)
      if (const auto& text = texts[slug]) cache_files::write_if_changed(dir / (slug + ".md"), *text);
    for (const auto& e : cache_files::list_dir(dir)) {
      if (e.type == cache_files::EntryType::directory) continue;
      const fs::path name(e.name);
      if (name.extension() == ".md" && !written.count(name.stem().string())) cache_files::remove_entry(dir, e.name);
    }
    utils::remove_file(cache_dir / "skills.json");
  });
}

void cache_custom_docs(const fs::path& repo_root, const json::Value& custom_docs) noexcept {
  utils::best_effort("Custom docs write failed (non-fatal)", {.audible = false, .detail = utils::Detail::reason}, [&] {
    if (!custom_docs.is_object()) throw TypeError("custom documents answer is not a mapping");
    for (const char* scope : SCOPES) {
      const fs::path scope_dir = paths::guidance_dir(repo_root) / scope;
      const auto& docs = member(custom_docs, scope);
      if (!truthy(docs)) {
        cache_files::remove_tree(scope_dir);
        continue;
      }
      if (!docs.is_array()) {
        // A shape we cannot read says nothing about which documents exist.
        logging::warning("Skipping malformed custom doc scope during sync: %s", scope);
        continue;
      }
      std::vector<std::pair<std::string, std::string>> valid;
      for (const auto& doc : docs) {
        if (!doc.is_object() || !member(doc, "content").is_string()) continue;
        const auto& slug_value = member(doc, "slug");
        const std::string slug = slug_value.is_string() ? slug_value.get<std::string>() : std::string();
        try {
          if (!slug_value.is_string()) throw guidance::UnsafeSlugError("custom doc slug is not text");
          guidance::validate_slug(slug, "custom doc");
        } catch (const guidance::UnsafeSlugError& e) {
          logging::warning("Skipping custom doc with unsafe slug: %s", describe(e));
          continue;
        }
        valid.emplace_back(slug + ".md", doc["content"].get<std::string>());
      }
      // The folder ends up holding exactly these documents; unchanged ones
      // are not written again.
      std::set<std::string> keep;
      for (const auto& [name, content] : valid) keep.insert(name);
      if (cache_files::is_real_dir(scope_dir)) {
        for (const auto& e : cache_files::list_dir(scope_dir))
          if (!keep.count(e.name) || e.type != cache_files::EntryType::file)
            cache_files::remove_entry(scope_dir, e.name);
      } else {
        cache_files::remove_tree(scope_dir);  // a link or a file in its place
      }
      utils::make_dirs(scope_dir);
      for (const auto& [name, content] : valid) cache_files::write_if_changed(scope_dir / name, content);
    }
  });
}

std::vector<agents::AdapterPtr> skill_adapters(const fs::path& repo_root) noexcept {
  const agents::AdapterPtr active = utils::best_effort_or(
      agents::AdapterPtr(), "Active adapter detection failed (non-fatal)",
      {.audible = false, .detail = utils::Detail::none}, [] { return agents::detect_active_agent(); });
  std::vector<agents::AdapterPtr> adapters;
  utils::best_effort("Config-based adapter lookup failed (non-fatal)",
                     {.audible = false, .detail = utils::Detail::none}, [&] {
                       const json::Value config = shared::load_local_config(repo_root);
                       const auto& names = member(config, "agents");
                       if (names.is_array())
                         for (const auto& name : names)
                           if (name.is_string())
                             if (auto adapter = agents::get_adapter_by_name(name.get<std::string>()))
                               adapters.push_back(adapter);
                     });
  if (adapters.empty() && active) adapters.push_back(active);
  return adapters;
}

void cache_memories(const fs::path& repo_root, const std::string& project_id, const std::string& api_key,
                    const std::string& api_url) noexcept {
  utils::best_effort("Memory fetch/cache failed (non-fatal)", {.audible = false, .detail = utils::Detail::reason}, [&] {
    const auto answer = protocol::http_client::fetch_memories(project_id, api_key, api_url);
    json::Value memories = json::Value::array();
    if (answer.is_array())
      memories = answer;
    else if (answer.is_object() && answer.contains("memories"))
      memories = answer["memories"];
    else if (answer.is_object() && answer.contains("data"))
      memories = answer["data"];
    if (!memories.is_array() || memories.empty()) return;  // the file stays as it is
    cache_files::write_if_changed(paths::memories_file(repo_root), json::dumps(memories, {.indent = 2}));
  });
}

}  // namespace brenik::services::tolvern::detail
