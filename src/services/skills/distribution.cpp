#include "services/skills/distribution.hpp"

#include <optional>
#include <set>
#include <string>

#include "hooks/agent_guidance.hpp"
#include "utils/best_effort.hpp"
#include "utils/logging.hpp"

namespace brenik::services::tolvern::detail {

namespace guidance = hooks::agent_guidance;

namespace {

std::optional<std::string> slug_or_none(const json::Value& skill) {
  try {
    return guidance::extract_slug(skill);
  } catch (const guidance::UnsafeSlugError&) {
    return std::nullopt;
  }
}

bool is_platform(const json::Value& skill) {
  if (!skill.is_object()) return false;
  auto it = skill.find("source");
  return it != skill.end() && it->is_string() && it->get_ref<const std::string&>() == "platform";
}

json::Value joined(const json::Value& a, const json::Value& b) {
  json::Value out = a;
  for (const auto& v : b) out.push_back(v);
  return out;
}

}  // namespace

void distribute_skills(const std::filesystem::path& repo_root, const json::Value& skills_list,
                       const std::vector<agents::AdapterPtr>& adapters) {
  // Not guarded: a failure to read the installer's skills reaches the caller.
  const json::Value installed = guidance::read_platform_skills_from_npx(repo_root);
  const bool installer_present = installed.is_array() && !installed.empty();

  json::Value server_platform = json::Value::array();
  json::Value custom = json::Value::array();
  if (skills_list.is_array())
    for (const auto& skill : skills_list) (is_platform(skill) ? server_platform : custom).push_back(skill);

  std::set<std::string> custom_slugs;
  for (const auto& skill : custom)
    if (auto slug = slug_or_none(skill); slug && !slug->empty()) custom_slugs.insert(*slug);

  // The installer's package is canonical; the server's platform feed only
  // stands in when it is absent. A custom skill wins over either.
  json::Value platform_set = json::Value::array();
  for (const auto& skill : installer_present ? installed : server_platform) {
    const auto slug = slug_or_none(skill);
    if (slug && custom_slugs.count(*slug)) continue;
    platform_set.push_back(skill);
  }

  for (const auto& adapter : adapters) {
    if (!adapter) continue;
    // Not guarded: the coverage question's failure reaches the caller too.
    const bool covered = adapter->npx_covers_skills(repo_root);
    utils::best_effort(logging::format("Skill distribution skipped for %s", {logging::arg(adapter->name())}),
                       {.audible = false, .detail = utils::Detail::none},
                       [&] { adapter->write_skills(repo_root, covered ? custom : joined(custom, platform_set)); });
  }

  utils::best_effort("Cursor/Windsurf skill distribution skipped (best-effort)",
                     {.audible = false, .detail = utils::Detail::none}, [&] {
                       const json::Value all = joined(custom, platform_set);
                       guidance::write_cursor_skills(repo_root, all);
                       guidance::write_windsurf_skills(repo_root, all);
                     });
}

}  // namespace brenik::services::tolvern::detail
